// The wordwise line kernel, for processors that store aligned words only:
// lines are put together in registers. A word holds W bytes; a line starts
// at byte R of a word (its phase), the next one at (R + LINE) % W, so the
// phases repeat every four lines. Each line is compiled for its phase, so
// that each of its pieces is shifted into its words with constant shifts;
// the word a line ends in is carried into the next line.
#include <cstdint>
#include <cstring>
#include <utility>

#include "kernels/kernels.h"
#include "kernels/words.h"

#ifdef HEXCAT_WORDWISE

namespace hexcat {
namespace {
using namespace words;

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
            cell[b] = word{CELLSPACE} | word{static_cast<unsigned char>(HEX.pair[b][0])} << 8 |
                      word{static_cast<unsigned char>(HEX.pair[b][1])} << 16;
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
constexpr bool PRESHIFT = W == 8 && BYTEWISE; // a table built only where the kernel is chosen
template <bool> struct shifted {
    static constexpr shiftedtable table{};
};

// The state a line leaves to the next.
struct state {
    aliased *out;                  // the word this line starts in
    word carry;                    // its bytes before the line
    const unsigned char *p;        // the line's block
    std::uint32_t low;             // an offset in the line's 256
    word digits[OFFSETDIGITS / W]; // its offset digits
    // The tables, through pointers that the compiler keeps in registers
    // (see the portable kernel for why).
    const word *cells;
    const word (*preshifted)[W];
    charmasks<word> masks;
};

// Digit by digit, not from HEX's pairs: the pair table's address costs the
// loops a register on 32-bit ARM (docs/performance.md).
inline void offsetwords(state &st)
{
    char s[OFFSETDIGITS];
    std::uint32_t low = st.low;
    for (std::size_t i = OFFSETDIGITS; i-- > 0; low >>= 4)
        s[i] = DIGITS[low & 15];
    std::memcpy(st.digits, s, OFFSETDIGITS);
}

// The next line's digit in place of this one's: one up, from '9' to 'A';
// after 'F', the digits of the next 256 of the offset, worked out anew.
// Both happen only after lines of an odd digit: CHECK is false where the
// line's digit is known to be even.
template <bool CHECK> inline void nextline(state &st)
{
    constexpr unsigned at = LINEDIGIT - OFFSET, shift = 8 * (BIGENDIAN ? W - 1 - at % W : at % W);
    word &d = st.digits[at / W];
    const word digit = d & word{0xFF} << shift;
    if (CHECK && digit == word{'9'} << shift) {
        d += word{8} << shift;
    } else if (CHECK && digit == word{'F'} << shift) [[unlikely]] {
        // The next 256: its line digit 0, the last digit kept, since every
        // line of the batch shares it (offsets need not be multiples of 16).
        st.low = (st.low + 0x100) & ~0xF0U;
        offsetwords(st);
    } else {
        d += word{1} << shift;
    }
}

// The line of phase R (CHECK: see nextline()), its pieces in the order of
// their places; words are stored as soon as a pair of them is complete, so
// that few are live at once (fewer instructions on 32-bit ARM). The first
// line of a batch stores its first word's bytes from the line on, one by
// one. Every index is a constant, so that the words stay in registers.
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
        (put<R + OFFSET + std::size_t{K} * W, W>(st.digits[K]), ...);
    }
    template <unsigned c> INLINE void cell(const unsigned char *p)
    {
        constexpr unsigned A = R + hexcat::cell(c);
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
            return showchars<word>(x, masks);
        };
        (put<R + CHAR0 + std::size_t{K} * W, W>(at(K)), ...);
    }

    INLINE explicit line(state &s) : st(s), w{}
    {
        w[0] = st.carry;
        offset(std::make_integer_sequence<unsigned, OFFSETDIGITS / W>{});
        put<R + COLON, 1>(COLONCHAR);
        cells(st.p, std::make_integer_sequence<unsigned, 16>{});
        put<R + SEPARATOR, 3>(textimage<word>(SEPARATORTEXT));
        chars(st.p, std::make_integer_sequence<unsigned, 16 / W>{});
        put<R + BAR, 2>(textimage<word>(ENDTEXT));
        st.out += N;
        st.carry = w[N];
        st.p += 16;
        nextline<CHECK>(st);
    }
};
#undef INLINE

// The phase of the line k lines after one of phase R. The switch below
// takes four phases to a turn, and a batch's lines the parity of the first.
constexpr unsigned after(unsigned R, unsigned k) { return (R + k * LINE) % W; }
static_assert(after(0, 4) == 0 && LINE % 2 == 0 && OFFSETDIGITS % W == 0);

// n lines, the first of phase after(R, first), the switch's four cases the
// four phases in turn: a function for each parity of R and for each parity
// P of the digit of the lines at the first case (one up a line, four a
// turn). 64-bit processors take four lines between checks of the end; on
// 32-bit ARM that costs spills.
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

inline char *lines(char *d, const unsigned char *p, std::uint32_t low, std::size_t n)
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

} // namespace
// Lines past 4 GiB, of a length other than 78, and blocks that do not start
// at a word, as the portable kernel makes them.
char *lineswordwise(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    if (high.len == 0 && reinterpret_cast<std::uintptr_t>(p) % W == 0)
        return lines(d, p, low, n);
    return linesportable(d, p, low, high, n);
}

} // namespace hexcat

#endif
