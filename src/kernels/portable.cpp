// The portable line kernel: plain C++ for every processor. A byte's cell
// and character come from one table entry that a single 32-bit store puts
// down, or, on 64-bit processors with fast unaligned stores, two cells
// from a pair of tables in one 8-byte store, and the characters in one
// 16-byte vector; the offset's digits change once per 16 lines but for
// one.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/kernels.h"
#include "kernels/words.h"

namespace hexcat {
namespace {
using namespace words;

// A byte's cell and character as one 32-bit store, the character in the low
// byte for a byte store: little-endian C ' ' H L one byte before the cell,
// big-endian ' ' H L C at it; the stray C lands where the next cell stored
// covers it (cells go last to first on little-endian processors).
struct celltable {
    std::uint32_t entry[256];
    constexpr celltable() : entry()
    {
        for (std::uint32_t b = 0; b < 256; b++) {
            const std::uint32_t h = static_cast<unsigned char>(HEX.pair[b][0]);
            const std::uint32_t l = static_cast<unsigned char>(HEX.pair[b][1]);
            const std::uint32_t c = static_cast<unsigned char>(shown(static_cast<unsigned char>(b)));
            const std::uint32_t s = CELLSPACE;
            entry[b] = BIGENDIAN ? s << 24 | h << 16 | l << 8 | c : l << 24 | h << 16 | s << 8 | c;
        }
    }
};

// 64-bit processors with fast unaligned stores put two cells down with one
// 8-byte store, the characters with two; not s390x, where joining the pairs
// costs more instructions than it saves (docs/performance.md).
#if defined(__x86_64__) || defined(__aarch64__) || defined(__powerpc64__)
constexpr bool PAIRS = true;
#else
constexpr bool PAIRS = false;
#endif

// Two cells as one 8-byte store at the first: " HL HL  ", the last two
// bytes covered by the next pair (or, after the last, the "  " before the
// bar). The entries of the first and of the second cell, or-ed.
struct pairtable {
    std::uint64_t first[256], second[256];
    constexpr pairtable() : first(), second()
    {
        for (unsigned b = 0; b < 256; b++) {
            const char h = HEX.pair[b][0], l = HEX.pair[b][1];
            const char one[8] = {CELLSPACE, h, l, 0, 0, 0, 0, 0};
            const char two[8] = {0, 0, 0, CELLSPACE, h, l, SEPARATORTEXT[0], SEPARATORTEXT[1]};
            first[b] = image<std::uint64_t>(one);
            second[b] = image<std::uint64_t>(two);
        }
    }
};

// The table of this processor's cells, and no other: one byte's or a pair's.
using celltables = std::conditional_t<PAIRS, pairtable, celltable>;
inline constexpr celltables CELLS;

// On these processors one rotate instruction takes a byte out of
// a word already scaled as a table index, where a load of the byte would
// need a shift as well: the block's bytes are loaded eight at a time.
#if defined(__s390x__) || defined(__powerpc64__)
constexpr bool EXTRACT = true;
#else
constexpr bool EXTRACT = false;
#endif

// The 16 cells of the line at d, and their characters. tab is the table,
// in a register of its own: gcc for 32-bit ARM otherwise addresses it from
// an anchor shared with other tables and adds the two for every byte.
template <class Table> inline void cells(char *d, const unsigned char *p, const Table *tab)
{
    std::uint64_t w[2] = {};
    if constexpr (EXTRACT) {
        std::memcpy(w, p, 16);
    }
    auto byte = [&](std::size_t c) -> unsigned {
        if constexpr (EXTRACT) {
            const std::size_t k = BIGENDIAN ? 7 - c % 8 : c % 8;
            return static_cast<unsigned>(w[c / 8] >> (8 * k)) & 0xFF;
        } else {
            return p[c];
        }
    };
    if constexpr (PAIRS) {
        // The first pair goes one byte early, after the ':' that starts its
        // word, and the last one a byte late, before the '|' that ends it;
        // the pair before it puts the ' ' it leaves out.
        auto pair = [&](std::size_t c) { return tab->first[byte(c)] | tab->second[byte(c + 1)]; };
        static_assert(COLON == cell(0) - 1 && SEPARATOR + 2 == cell(14) + 8);
        put(d + COLON, later(pair(0), 1) | byteimage<std::uint64_t>(COLONCHAR, 0));
        for (std::size_t c = 2; c < 14; c += 2)
            put(d + cell(c), pair(c));
        put(d + cell(14) + 1, earlier(pair(14), 1) | byteimage<std::uint64_t>(SEPARATORTEXT[2], 7));
        // The characters in one vector, which the processors with pairs
        // all have.
        using bytes16 [[gnu::vector_size(16)]] = signed char;
        bytes16 x;
        std::memcpy(&x, p, 16);
        const bytes16 ok = (x >= FIRSTPRINTABLE) & (x <= LASTPRINTABLE);
        const bytes16 r = (x & ok) | ((bytes16{} + DOT) & ~ok);
        std::memcpy(d + CHAR0, &r, 16);
    } else {
        auto one = [&](std::size_t c) {
            std::uint32_t e = tab->entry[byte(c)];
            put(d + cell(c) - (BIGENDIAN ? 0 : 1), e);
            d[character(c)] = static_cast<char>(e);
        };
        if constexpr (BIGENDIAN)
            for (std::size_t c = 0; c < 16; c++)
                one(c);
        else
            for (std::size_t c = 16; c-- > 0;)
                one(c);
    }
}

// The eight digits of an offset's low 32 bits, as the memory image of two
// words; and of one, with the digit that counts the line left zero.
struct digits8 {
    std::uint32_t first, second;
    std::uint64_t all;
};
inline digits8 offsetdigits(std::uint32_t low)
{
    char s[OFFSETDIGITS];
    for (std::size_t i = 4; i-- > 0; low >>= 8)
        std::memcpy(s + 2 * i, HEX.pair[low & 0xFF], 2);
    digits8 w;
    std::memcpy(&w.first, s, 4);
    std::memcpy(&w.second, s + 4, 4);
    s[LINEDIGIT - OFFSET] = 0;
    std::memcpy(&w.all, s, 8);
    return w;
}

// The digit that counts the line, in the place of its word.
struct linedigits {
    std::uint64_t image[16];
    constexpr linedigits() : image()
    {
        for (unsigned k = 0; k < 16; k++)
            image[k] = later(std::uint64_t{static_cast<unsigned char>(DIGITS[k])}, LINEDIGIT - OFFSET);
    }
};
inline constexpr linedigits LINEDIGITS;

// The lines from one multiple of 256 of the offset to the next share all
// their offset digits but the second-last, which counts the line. Each batch
// of them is stored with one offset word pair and that digit (with pairs:
// one word, or-ed with the digit's word from a table).
// h comes by value: the stores of the lines cannot change a copy of its
// own, so its length stays in a register for the whole batch.
template <bool WIDE>
char *portablelines(char *d, const unsigned char *p, std::uint32_t low, std::size_t n, const highpart h)
{
    // The high digits, loaded once.
    std::uint32_t high0 = 0, high1 = 0;
    std::memcpy(&high0, h.digits, 4);
    std::memcpy(&high1, h.digits + 4, 4);
    const celltables *tab = &CELLS;
#ifdef __GNUC__
    asm("" : "+r"(tab));
#endif
    while (n > 0) {
        std::uint32_t line = (low >> 4) & 15;
        std::size_t m = 16 - line < n ? 16 - line : n;
        n -= m;
        const digits8 od = offsetdigits(low);
        low += static_cast<std::uint32_t>(16 * m);
        if constexpr (PAIRS) {
            // The line's digit from a table of words, the end of the batch
            // its end in the table.
            const std::uint64_t *digit = LINEDIGITS.image + line, *last = digit + m;
            for (; digit != last; digit++, p += 16) {
                if (WIDE) {
                    put(d, high0); // the line overwrites what is not a digit
                    put(d + 4, high1);
                    d += h.len;
                }
                put(d, od.all | *digit);
                cells(d, p, tab);
                put(d + BAR, textimage<std::uint16_t>(ENDTEXT));
                d += LINE;
            }
            continue;
        }
        for (; m > 0; m--, line++, p += 16) {
            if (WIDE) {
                put(d, high0); // the line overwrites what is not a digit
                put(d + 4, high1);
                d += h.len;
            }
            put(d + OFFSET, od.first);
            put(d + OFFSET + 4, od.second);
            d[LINEDIGIT] = DIGITS[line];
            // Little-endian single cells end before "  |", and the first
            // character covers the fourth byte; big-endian ones put a stray
            // byte there.
            if constexpr (!BIGENDIAN)
                put(d + SEPARATOR, textimage<std::uint32_t>(SEPARATORTEXT));
            cells(d, p, tab);
            if constexpr (BIGENDIAN) {
                put(d + SEPARATOR, textimage<std::uint16_t>(SEPARATORTEXT));
                d[SEPARATOR + 2] = SEPARATORTEXT[2];
            }
            d[COLON] = COLONCHAR;
            put(d + BAR, textimage<std::uint16_t>(ENDTEXT));
            d += LINE;
        }
    }
    return d;
}

} // namespace
char *linesportable(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? portablelines<true>(d, p, low, n, high) : portablelines<false>(d, p, low, n, high);
}

} // namespace hexcat
