// The portable line kernel: plain C++ for every processor. A byte's cell
// and character come from one table entry that a single 32-bit store puts
// down; the offset's digits change once per 16 lines but for one.
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat {

namespace {

constexpr bool BIGENDIAN = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Where the processor has no unaligned loads and stores (ARMv5: Debian's
// armel), the compiler makes every memcpy of a few bytes a call to the C
// library's or a run of byte moves, so the kernel stores bytes itself there.
#if defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)
constexpr bool BYTEWISE = true;
#else
constexpr bool BYTEWISE = false;
#endif

// x as the bytes of its memory image, a load or store of them at any
// address.
template <typename T> inline void put(char *d, T x)
{
    if constexpr (BYTEWISE) {
        for (std::size_t i = 0; i < sizeof x; i++)
            d[i] = static_cast<char>(BIGENDIAN ? x >> (8 * (sizeof x - 1 - i)) : x >> (8 * i));
    } else {
        // A type of no alignment: gcc then stores with the processor's
        // unaligned-store instructions (MIPS: swl and swr), where a memcpy
        // would go through the stack a byte at a time.
        using unaligned [[gnu::aligned(1), gnu::may_alias]] = T;
        *reinterpret_cast<unaligned *>(d) = x;
    }
}

// The number whose memory image is the first sizeof(T) bytes of s.
template <typename T> constexpr T image(const char *s)
{
    T x = 0;
    for (std::size_t i = 0; i < sizeof x; i++) {
        auto b = static_cast<T>(static_cast<unsigned char>(s[i]));
        x |= BIGENDIAN ? b << (8 * (sizeof x - 1 - i)) : b << (8 * i);
    }
    return x;
}

// A byte's cell and character as the four bytes of one 32-bit store, with
// the character in the low byte, where a byte store takes it from:
// little-endian C ' ' H L, stored one byte before the cell; big-endian
// ' ' H L C, stored at the cell. Either way the stray C lands on a byte
// that the next cell stored covers, cells going from last to first on
// little-endian processors and from first to last on big-endian ones.
struct celltable {
    std::uint32_t entry[256];
    constexpr celltable() : entry()
    {
        for (std::uint32_t b = 0; b < 256; b++) {
            std::uint32_t h = static_cast<unsigned char>(DIGITS[b >> 4]);
            std::uint32_t l = static_cast<unsigned char>(DIGITS[b & 15]);
            std::uint32_t c = b >= 0x20 && b <= 0x7E ? b : '.';
            entry[b] = BIGENDIAN ? ' ' << 24 | h << 16 | l << 8 | c : l << 24 | h << 16 | ' ' << 8 | c;
        }
    }
};
inline constexpr celltable CELLS;

// On these processors one rotate-and-mask instruction takes a byte out of
// a word already scaled as a table index, where a load of the byte would
// need a shift as well: the block's bytes are loaded eight at a time.
#if defined(__s390x__) || defined(__powerpc64__)
constexpr bool EXTRACT = true;
#else
constexpr bool EXTRACT = false;
#endif

// The 16 cells of the line at d, and their characters. tab is the table's
// own entries, in a register of its own: gcc for 32-bit ARM otherwise
// addresses it from an anchor shared with other tables and adds the two
// for every byte.
inline void cells(char *d, const unsigned char *p, const std::uint32_t *tab)
{
    std::uint64_t w[2] = {};
    if constexpr (EXTRACT) {
        std::memcpy(w, p, 16);
    }
    auto one = [&](int c) {
        unsigned b;
        if constexpr (EXTRACT) {
            const int k = BIGENDIAN ? 7 - c % 8 : c % 8;
            b = static_cast<unsigned>(w[c / 8] >> (8 * k)) & 0xFF;
        } else {
            b = p[c];
        }
        std::uint32_t e = tab[b];
        put(d + (BIGENDIAN ? 9 : 8) + 3 * c, e);
        d[60 + c] = static_cast<char>(e);
    };
    if constexpr (BIGENDIAN)
        for (int c = 0; c < 16; c++)
            one(c);
    else
        for (int c = 15; c >= 0; c--)
            one(c);
}

// The eight digits of an offset's low 32 bits, as the memory image of two
// words.
struct digits8 {
    std::uint32_t first, second;
};
inline digits8 offsetdigits(std::uint32_t low)
{
    char s[8];
    for (int i = 7; i >= 0; i--, low >>= 4)
        s[i] = DIGITS[low & 15];
    digits8 w;
    std::memcpy(&w.first, s, 4);
    std::memcpy(&w.second, s + 4, 4);
    return w;
}

// The lines from one multiple of 256 of the offset to the next share all
// their offset digits but the second-last, which counts the line. Each run
// of them is stored with one offset word pair and that digit.
// h comes by value: the stores of the lines cannot change a copy of its
// own, so its length stays in a register for the whole run.
template <bool WIDE>
char *portablerun(char *d, const unsigned char *p, std::uint32_t low, std::size_t n, const highpart h)
{
    // The high digits, loaded once.
    std::uint32_t high0 = 0, high1 = 0;
    std::memcpy(&high0, h.digits, 4);
    std::memcpy(&high1, h.digits + 4, 4);
    const std::uint32_t *tab = CELLS.entry;
#ifdef __GNUC__
    asm("" : "+r"(tab));
#endif
    while (n > 0) {
        std::uint32_t line = (low >> 4) & 15;
        std::size_t m = 16 - line < n ? 16 - line : n;
        n -= m;
        const digits8 od = offsetdigits(low);
        low += static_cast<std::uint32_t>(16 * m);
        for (; m > 0; m--, line++, p += 16) {
            if (WIDE) {
                put(d, high0); // the line overwrites what is not a digit
                put(d + 4, high1);
                d += h.len;
            }
            put(d, od.first);
            put(d + 4, od.second);
            d[6] = DIGITS[line];
            // Little-endian cells end before "  |", and the first character
            // covers the fourth byte; big-endian ones put a stray byte there.
            if constexpr (!BIGENDIAN)
                put(d + 57, image<std::uint32_t>("  | "));
            cells(d, p, tab);
            if constexpr (BIGENDIAN) {
                put(d + 57, image<std::uint16_t>("  "));
                d[59] = '|';
            }
            d[8] = ':';
            put(d + 76, image<std::uint16_t>("|\n"));
            d += LINE;
        }
    }
    return d;
}

} // namespace

char *linesportable(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? portablerun<true>(d, p, low, n, high) : portablerun<false>(d, p, low, n, high);
}

} // namespace hexcat
