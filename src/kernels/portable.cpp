// The portable line kernel: plain C++ for every processor. A byte's cell
// and character come from one table entry that a single 32-bit store puts
// down, or, on 64-bit processors with fast unaligned stores, two cells
// from a pair of tables in one 8-byte store, and the characters in one
// 16-byte vector; the offset's digits change once per 16 lines but for
// one. And the wordwise kernel, which stores aligned words only.
#include <cstdint>
#include <cstring>
#include <utility>

#include "kernels/kernels.h"

namespace hexcat {

namespace {

constexpr bool BIGENDIAN = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Where the processor has no unaligned loads and stores (ARMv5: Debian's
// armel) or may trap on them (RISC-V, whose Debian baseline promises
// nothing of them), the compiler makes every small memcpy a call to the C
// library's or a run of byte moves. There lines of offsets below 4 GiB are
// put together in registers and stored as aligned words (see wordwise), and
// the rest is stored a byte at a time.
#ifdef HEXCAT_STRICTALIGN
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

// The number whose memory image is the sizeof(T) bytes at p.
template <typename T> inline T load(const unsigned char *p)
{
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
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

// x with its memory image moved k bytes later or earlier, zeros coming in.
template <typename T> constexpr T later(T x, unsigned k) { return BIGENDIAN ? x >> (8 * k) : x << (8 * k); }
template <typename T> constexpr T earlier(T x, unsigned k) { return BIGENDIAN ? x << (8 * k) : x >> (8 * k); }

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

// The character column of sizeof(T) bytes at once: each byte outside
// 0x20..0x7E becomes '.'.
// The constants it takes, which a caller may hold in registers.
template <typename T> struct charmasks {
    T ones = ~T{0} / 0xFF, low7 = ones * 0x7F, above = ones * 0x60, dots = ones * '.';
};
template <typename T> inline T shown(T x, const charmasks<T> &k = {})
{
    T low7 = x & k.low7;
    // The high bit of each byte: low7 >= 0x20 in the first sum, low7 ==
    // 0x7F in the second; no sum carries out of its byte. They differ just
    // where 0x20 <= low7 <= 0x7E.
    T ok = ((low7 + k.above) ^ (low7 + k.ones)) & ~x;
    T mask = ((ok >> 7) & k.ones) * 0xFF;
    return ((x ^ k.dots) & mask) ^ k.dots;
}

// 64-bit processors with fast unaligned stores put two cells down with one
// 8-byte store, the characters with two: fewer stores, which bound the
// kernel there. Not s390x, where joining the pairs costs more instructions
// (113 a line for the whole tool under qemu, against 81) than the stores
// it saves.
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
            const char h = DIGITS[b >> 4], l = DIGITS[b & 15];
            const char one[8] = {' ', h, l, 0, 0, 0, 0, 0};
            const char two[8] = {0, 0, 0, ' ', h, l, ' ', ' '};
            first[b] = image<std::uint64_t>(one);
            second[b] = image<std::uint64_t>(two);
        }
    }
};
inline constexpr pairtable PAIRCELLS;

// On these processors one rotate instruction takes a byte out of
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
inline void cells(char *d, const unsigned char *p, const std::uint32_t *tab, const pairtable *pairs)
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
        auto pair = [&](std::size_t c) { return pairs->first[byte(c)] | pairs->second[byte(c + 1)]; };
        put(d + 8, later(pair(0), 1) | image<std::uint64_t>(":\0\0\0\0\0\0\0"));
        for (std::size_t c = 2; c < 14; c += 2)
            put(d + 9 + 3 * c, pair(c));
        put(d + 52, earlier(pair(14), 1) | image<std::uint64_t>("\0\0\0\0\0\0\0|"));
        // The characters in one vector, which the processors with pairs
        // all have.
        using bytes16 [[gnu::vector_size(16)]] = signed char;
        bytes16 x;
        std::memcpy(&x, p, 16);
        const bytes16 ok = (x > 0x1F) & (x < 0x7F);
        const bytes16 r = (x & ok) | ((bytes16{} + '.') & ~ok);
        std::memcpy(d + 60, &r, 16);
        return;
    }
    auto one = [&](std::size_t c) {
        std::uint32_t e = tab[byte(c)];
        put(d + (BIGENDIAN ? 9 : 8) + 3 * c, e);
        d[60 + c] = static_cast<char>(e);
    };
    if constexpr (BIGENDIAN)
        for (std::size_t c = 0; c < 16; c++)
            one(c);
    else
        for (std::size_t c = 16; c-- > 0;)
            one(c);
}

// The eight digits of an offset's low 32 bits, as the memory image of two
// words; and of one, with the digit that counts the line left zero.
struct digits8 {
    std::uint32_t first, second;
    std::uint64_t all;
};
inline digits8 offsetdigits(std::uint32_t low)
{
    char s[8];
    for (int i = 7; i >= 0; i--, low >>= 4)
        s[i] = DIGITS[low & 15];
    digits8 w;
    std::memcpy(&w.first, s, 4);
    std::memcpy(&w.second, s + 4, 4);
    s[6] = 0;
    std::memcpy(&w.all, s, 8);
    return w;
}

// The digit that counts the line, in the place of its word.
struct linedigits {
    std::uint64_t image[16];
    constexpr linedigits() : image()
    {
        for (unsigned k = 0; k < 16; k++)
            image[k] = later(std::uint64_t{static_cast<unsigned char>(DIGITS[k])}, 6);
    }
};
inline constexpr linedigits LINEDIGIT;

// The lines from one multiple of 256 of the offset to the next share all
// their offset digits but the second-last, which counts the line. Each run
// of them is stored with one offset word pair and that digit (with pairs:
// one word, or-ed with the digit's word from a table).
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
    const pairtable *pairs = &PAIRCELLS;
#ifdef __GNUC__
    asm("" : "+r"(tab), "+r"(pairs));
#endif
    while (n > 0) {
        std::uint32_t line = (low >> 4) & 15;
        std::size_t m = 16 - line < n ? 16 - line : n;
        n -= m;
        const digits8 od = offsetdigits(low);
        low += static_cast<std::uint32_t>(16 * m);
        if constexpr (PAIRS) {
            // The line's digit from a table of words, the end of the run
            // its end in the table.
            const std::uint64_t *digit = LINEDIGIT.image + line, *last = digit + m;
            for (; digit != last; digit++, p += 16) {
                if (WIDE) {
                    put(d, high0); // the line overwrites what is not a digit
                    put(d + 4, high1);
                    d += h.len;
                }
                put(d, od.all | *digit);
                cells(d, p, tab, pairs);
                put(d + 76, image<std::uint16_t>("|\n"));
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
            put(d, od.first);
            put(d + 4, od.second);
            d[6] = DIGITS[line];
            // Little-endian single cells end before "  |", and the first
            // character covers the fourth byte; big-endian ones put a stray
            // byte there.
            if constexpr (!BIGENDIAN)
                put(d + 57, image<std::uint32_t>("  | "));
            cells(d, p, tab, pairs);
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

// Lines put together in registers, for processors that store aligned
// words only. A word holds W bytes; a line starts at byte R of a word (its
// phase) and, being 78 bytes long, the next one at byte (R + 78) % W, so
// the phases repeat every four lines. Each line is compiled for its phase:
// where every piece of it (the offset's digits, each cell, eight or four
// characters, the fixed characters) falls in which word is known, and
// every piece is shifted into its words with constant shifts. The word a
// line ends in is carried into the next line.
#ifdef HEXCAT_WORDWISE
namespace wordwise {

#if UINTPTR_MAX > 0xFFFFFFFFu
using word = std::uint64_t;
#else
using word = std::uint32_t;
#endif
constexpr unsigned W = sizeof(word);
// Stored through a type that may alias the characters of the queue.
using aliased [[gnu::may_alias]] = word;

// A byte's cell, " HL", in its low three bytes.
struct celltable {
    word cell[256];
    constexpr celltable() : cell()
    {
        for (unsigned b = 0; b < 256; b++)
            cell[b] = word{' '} | word{static_cast<unsigned char>(DIGITS[b >> 4])} << 8 |
                      word{static_cast<unsigned char>(DIGITS[b & 15])} << 16;
    }
};
inline constexpr celltable CELLS;

// The cell shifted to each byte of a word at which it fits whole, so that
// a 64-bit processor with no shift in its loads (RISC-V) need not shift it.
struct shiftedtable {
    word cell[256][W];
    constexpr shiftedtable() : cell()
    {
        for (unsigned b = 0; b < 256; b++)
            for (unsigned s = 0; s + 3 <= W; s++)
                cell[b][s] = CELLS.cell[b] << (8 * s);
    }
};
constexpr bool PRESHIFT = W == 8;
template <bool> struct shifted {
    static constexpr shiftedtable table{};
};

// The state a line leaves to the next.
struct state {
    aliased *out;           // the word this line starts in
    word carry;             // its bytes before the line
    const unsigned char *p; // the line's block
    std::uint32_t low;      // an offset in the line's 256
    word digits[8 / W];     // its offset digits
    // The tables, through pointers that the compiler keeps in registers
    // (see cells() above for why).
    const word *cells;
    const word (*preshifted)[W];
    charmasks<word> masks;
};

inline void offsetwords(state &st)
{
    char s[8];
    std::uint32_t low = st.low;
    for (int i = 7; i >= 0; i--, low >>= 4)
        s[i] = DIGITS[low & 15];
    std::memcpy(st.digits, s, 8);
}

// The next line's digit in place of this one's: one up, from '9' to 'A';
// after 'F', the digits of the next 256 of the offset, worked out anew.
// Both happen only after lines of an odd digit: CHECK is false where the
// line's digit is known to be even.
template <bool CHECK> inline void nextline(state &st)
{
    constexpr unsigned shift = 8 * (BIGENDIAN ? W - 1 - 6 % W : 6 % W);
    word &d = st.digits[6 / W];
    const word digit = d & word{0xFF} << shift;
    if (CHECK && digit == word{'9'} << shift) {
        d += word{8} << shift;
    } else if (CHECK && digit == word{'F'} << shift) [[unlikely]] {
        // The next 256: its line digit 0, the last digit kept, since every
        // line of the run shares it (offsets need not be multiples of 16).
        st.low = (st.low + 0x100) & ~0xF0U;
        offsetwords(st);
    } else {
        d += word{1} << shift;
    }
}

// The line of phase R (CHECK: see nextline()). Its pieces are put down in the order of their
// places, each shifted into the words it falls in, and words are stored
// as soon as a pair of them is complete, so that few are live at once
// (one at a time, or more than two, takes more instructions on 32-bit
// ARM). The first line of a run stores the bytes of its first word from
// the line on, one by one: the bytes before them are not the kernel's.
// Every index is a constant, so that the words stay in registers.
#define INLINE [[gnu::always_inline]] inline
template <unsigned R, bool FIRST, bool CHECK = true> struct line {
    static constexpr unsigned G = 2;
    static constexpr unsigned N = (R + LINE) / W; // words the line completes
    state &st;
    word w[N + 1];

    // Piece v, its LEN bytes in its low bytes and zero above them, at byte
    // A of the words; shifted is v already shifted into its first word.
    template <unsigned A, unsigned LEN> INLINE void place(word v, word shifted)
    {
        constexpr unsigned i = A / W, s = A % W;
        w[i] |= shifted;
        if constexpr (s + LEN > W)
            w[i + 1] |= v >> (8 * (W - s));
        if constexpr (s + LEN >= W) {
            if constexpr (FIRST && R > 0 && i == 0) {
                auto *first = reinterpret_cast<char *>(st.out);
                for (unsigned b = R; b < W; b++)
                    first[b] = static_cast<char>(w[0] >> (8 * b));
            } else if constexpr (i % G == G - 1 || i + 1 == N) {
                for (unsigned k = i - i % G; k <= i; k++)
                    if (!(FIRST && R > 0 && k == 0))
                        st.out[k] = w[k];
            }
        }
    }
    template <unsigned A, unsigned LEN> INLINE void put(word v) { place<A, LEN>(v, v << (8 * (A % W))); }

    template <unsigned... K> INLINE void offset(std::integer_sequence<unsigned, K...> /*indices*/)
    {
        (put<R + K * W, W>(st.digits[K]), ...);
    }
    template <unsigned c> INLINE void cell(const unsigned char *p)
    {
        constexpr unsigned A = R + 9 + 3 * c;
        if constexpr (PRESHIFT && A % W + 3 <= W)
            place<A, 3>(0, st.preshifted[p[c]][A % W]);
        else
            put<A, 3>(st.cells[p[c]]);
    }
    template <unsigned... C>
    INLINE void cells(const unsigned char *p, std::integer_sequence<unsigned, C...> /*indices*/)
    {
        (cell<C>(p), ...);
    }
    template <unsigned... K>
    INLINE void chars(const unsigned char *p, std::integer_sequence<unsigned, K...> /*indices*/)
    {
        auto at = [p, &masks = st.masks](unsigned k) {
            word x;
            std::memcpy(&x, __builtin_assume_aligned(p + std::size_t{k} * W, W), W);
            return shown<word>(x, masks);
        };
        (put<R + 60 + K * W, W>(at(K)), ...);
    }

    INLINE explicit line(state &s) : st(s), w{}
    {
        w[0] = st.carry;
        offset(std::make_integer_sequence<unsigned, 8 / W>{});
        put<R + 8, 1>(':');
        cells(st.p, std::make_integer_sequence<unsigned, 16>{});
        put<R + 57, 3>(image<word>("  |\0\0\0\0\0"));
        chars(st.p, std::make_integer_sequence<unsigned, 16 / W>{});
        put<R + 76, 2>(image<word>("|\n\0\0\0\0\0\0"));
        st.out += N;
        st.carry = w[N];
        st.p += 16;
        nextline<CHECK>(st);
    }
};
#undef INLINE

// The phase of the line k lines after one of phase R.
constexpr unsigned after(unsigned R, unsigned k) { return (R + k * LINE) % W; }

// n lines, the first of phase after(R, first): the four cases of the
// switch are the four phases in turn. One function for each parity of R
// (the lines of a run all have the parity of the first), and for each
// parity P of the digit of the lines at the first case (the digit goes up
// by one a line, by four a turn of the cycle). With registers to spare
// (64-bit processors), four lines at a time go without a check of the end
// between them; on 32-bit ARM that costs spills.
constexpr bool GROUPED = W == 8;

template <unsigned R, unsigned P> [[gnu::noinline]] state cycle(state st, std::size_t n, unsigned first)
{
#ifdef __GNUC__
    asm("" : "+r"(st.masks.ones), "+r"(st.masks.low7), "+r"(st.masks.above), "+r"(st.masks.dots));
#endif
    // The line count as the block where the lines end.
    const unsigned char *const end = st.p + 16 * n;
    switch (first) {
        for (;;) {
        case 0:
            for (; GROUPED && end - st.p >= 64;) {
                line<R, false, P == 1>{st};
                line<after(R, 1), false, (P + 1) % 2 == 1>{st};
                line<after(R, 2), false, (P + 2) % 2 == 1>{st};
                line<after(R, 3), false, (P + 3) % 2 == 1>{st};
            }
            if (st.p == end)
                return st;
            line<R, false, P == 1>{st};
            [[fallthrough]];
        case 1:
            if (st.p == end)
                return st;
            line<after(R, 1), false, (P + 1) % 2 == 1>{st};
            [[fallthrough]];
        case 2:
            if (st.p == end)
                return st;
            line<after(R, 2), false, (P + 2) % 2 == 1>{st};
            [[fallthrough]];
        case 3:
            if (st.p == end)
                return st;
            line<after(R, 3), false, (P + 3) % 2 == 1>{st};
        }
    default:
        return st;
    }
}

// The first line, at phase R; then the rest.
template <unsigned R> state start(state st, std::size_t n)
{
    const unsigned next = ((st.low >> 4) + 1) & 15; // the next line's digit
    line<R, true>{st};
    constexpr unsigned base = R % 2;
    constexpr unsigned k = [] {
        unsigned j = 0;
        while (after(base, j) != after(R, 1))
            j++;
        return j;
    }();
    // The parity of the digit of lines at the cycle's first phase.
    return (next + k) % 2 == 1 ? cycle<base, 1>(st, n - 1, k) : cycle<base, 0>(st, n - 1, k);
}

inline char *run(char *d, const unsigned char *p, std::uint32_t low, std::size_t n)
{
    if (n == 0)
        return d;
    const auto r = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(d) % W);
    state st{reinterpret_cast<aliased *>(d - r), 0, p, low, {}, CELLS.cell, nullptr, {}};
    if constexpr (PRESHIFT)
        st.preshifted = shifted<PRESHIFT>::table.cell;
#ifdef __GNUC__
    asm("" : "+r"(st.cells), "+r"(st.preshifted));
#endif
    offsetwords(st);
    [&]<unsigned... R>(std::integer_sequence<unsigned, R...> /*phases*/)
    {
        ((r == R ? void(st = start<R>(st, n)) : void()), ...);
    }
    (std::make_integer_sequence<unsigned, W>{});
    *st.out = st.carry; // the last word: its bytes past the end are slack
    return d + n * LINE;
}

} // namespace wordwise
#endif

} // namespace

char *linesportable(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? portablerun<true>(d, p, low, n, high) : portablerun<false>(d, p, low, n, high);
}

#ifdef HEXCAT_WORDWISE
// Lines past 4 GiB, of a length other than 78, and blocks that do not start
// at a word, as the portable kernel makes them.
char *lineswordwise(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    if (high.len == 0 && reinterpret_cast<std::uintptr_t>(p) % wordwise::W == 0)
        return wordwise::run(d, p, low, n);
    return linesportable(d, p, low, high, n);
}
#endif

} // namespace hexcat
