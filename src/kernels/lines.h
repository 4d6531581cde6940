// The line template of the vector kernels, written once over an operations
// struct O of one instruction set, whose registers hold 16 bytes (or lanes
// of 16 bytes each, a line in each lane):
//
//   reg                 the register
//   block(p)            the 16 bytes at p (in every lane: a block a lane)
//   table(t)            the 16 bytes of table t in every lane
//   store<at>(d, r)     r stored at d + at (its first lane)
//   splat(b)            b in every byte
//   shuffle(r, index)   byte index[i] of r, or 0 where it is 0xFF
//   alignr<n>(a, b)     the 16 bytes of a then b from byte n on
//   ziplo(a, b), ziphi  the bytes of the low or high halves interleaved
//   zip64(a, b)         the low 8 bytes of a, then those of b
//   high(r), low(r)     the high or the low nibble of each byte
//   either(a, b)        a or b
//   shown(r)            each byte as the character column shows it
//   first(low), next(o) a step's two offsets, the first at low; the next
//   bigendian(o)        their bytes, most significant first, from byte 0
//                       (or each lane's line's)
//
// It makes the stream of a line (plan.h), each chunk as the default
// chunk (below) or as O's own chunk<k>, and two lines a step, with the
// high digits of lines past 4 GiB stored before each line. A file that
// compiles its kernel for a vector unit by a target pragma includes this
// after the pragma, so that the template is compiled for it too.
#ifndef HEXCAT_KERNELS_LINES_H
#define HEXCAT_KERNELS_LINES_H

#include <cstdint>
#include <utility>

#include "kernels/plan.h"
#include "layout.h"

namespace hexcat::lines {

using chunks::CHUNKS;
using chunks::PLAN;
// T is a line's offset digits, then D0's first half (zip64, alignr<8>).
static_assert(OFFSETDIGITS == 8);

// The plan as byte tables: chunk k is its window shuffled by index[k] (0xFF
// for a fixed byte: pshufb and TBL both make it 0) with fill[k] or-ed in;
// a chunk that rotates is its window from byte rotate on, then fill[k].
struct tables {
    unsigned char index[CHUNKS][16], fill[CHUNKS][16];
    constexpr tables() : index(), fill()
    {
        for (int k = 0; k < CHUNKS; k++) {
            const chunks::chunk &c = PLAN.part[k];
            for (int i = 0; i < 16; i++) {
                index[k][i] = static_cast<unsigned char>(c.from[i] < 0 ? 0xFF : c.from[i]);
                fill[k][i] = static_cast<unsigned char>(c.rotate > 0 ? c.after[i] : c.fixed[i]);
            }
        }
    }
};
inline constexpr tables TABLES;

// The chunk of a window by the tables, which an operations struct takes
// unless it has its own.
template <class O> struct defaults {
    template <int k, class R> [[gnu::always_inline]] static R chunk(R window, R index, R fill)
    {
        if constexpr (PLAN.part[k].rotate > 0)
            return O::template alignr<PLAN.part[k].rotate>(window, fill);
        else
            return O::either(O::shuffle(window, index), fill);
    }
};

// The lines of one instruction set's operations O. Its constants are set
// up once per batch; h comes by value to the loop: the stores of the lines
// cannot change a copy of its own, so its length stays in a register.
template <class O> struct step {
    using R = typename O::reg;
    R digits, index[CHUNKS], fill[CHUNKS];
    char high[HIGHDIGITS];

    [[gnu::always_inline]] explicit step(const highpart &h) : digits(O::table(DIGITS))
    {
        for (int k = 0; k < CHUNKS; k++) {
            index[k] = O::table(TABLES.index[k]);
            fill[k] = O::table(TABLES.fill[k]);
        }
        __builtin_memcpy(high, h.digits, HIGHDIGITS);
    }

    // The stream T D0 D1 C of the block x, but for T, which comes with the
    // offset digits.
    struct stream {
        R r[4];
    };
    [[gnu::always_inline]] stream streamof(R x) const
    {
        const R hi = O::shuffle(digits, O::high(x)), lo = O::shuffle(digits, O::low(x));
        return {{R{}, O::ziplo(hi, lo), O::ziphi(hi, lo), O::shown(x)}};
    }
    // The window of the stream from byte at on.
    template <int at> [[gnu::always_inline]] static R window(const stream &s)
    {
        static_assert(at >= 0 && at <= chunks::C);
        if constexpr (at % 16 == 0)
            return s.r[at / 16];
        else
            return O::template alignr<at % 16>(s.r[at / 16], s.r[at / 16 + 1]);
    }
    template <int k> [[gnu::always_inline]] R chunk(const stream &s) const
    {
        return O::template chunk<k>(window<PLAN.part[k].window>(s), index[k], fill[k]);
    }

    // The offset digits of a step's two lines, the first's in bytes 0-7 and
    // the second's in 8-15 (or each lane's line's in its bytes 0-7).
    [[gnu::always_inline]] R digitsof(R o) const
    {
        const R be = O::bigendian(o);
        return O::shuffle(digits, O::ziplo(O::high(be), O::low(be)));
    }
    // The stream of the block at p, with the first (SECOND false) or the
    // second line's digits of od.
    template <bool SECOND> [[gnu::always_inline]] stream streamat(const unsigned char *p, R od) const
    {
        stream s = streamof(O::block(p));
        if constexpr (SECOND)
            s.r[0] = O::template alignr<8>(od, s.r[1]);
        else
            s.r[0] = O::zip64(od, s.r[1]);
        return s;
    }
    // The line of the block at p at d, chunk by chunk: 80 bytes, the last
    // two scratch.
    template <int... k>
    [[gnu::always_inline]] void store(char *d, const stream &s,
                                      std::integer_sequence<int, k...> /*chunks*/) const
    {
        (O::template store<16 * k>(d, chunk<k>(s)), ...);
    }
    template <bool SECOND> [[gnu::always_inline]] void line(char *d, const unsigned char *p, R od) const
    {
        store(d, streamat<SECOND>(p, od), std::make_integer_sequence<int, CHUNKS>());
    }

    [[gnu::always_inline]] static R first(std::uint32_t low) { return O::first(low); }
    [[gnu::always_inline]] static R next(R o) { return O::next(o); }
    [[gnu::always_inline]] void prefix(char *d) const { __builtin_memcpy(d, high, HIGHDIGITS); }
};

// Two lines a step, over a step S (step<O>, or a kernel's own) that has
//
//   S s(h)                    the step's constants, set up once per batch
//   s.first(low), s.next(o)   the offsets of a step's two lines, the first
//                             at low, and those of the next step
//   s.digitsof(o)             the offset digits of both lines
//   s.prefix(d)               stores the high digits at d (eight bytes,
//                             those past h.len overwritten by the line)
//   s.line<SECOND>(d, p, od)  stores the line of the block at p at d, the
//                             second of the step's offset digits od or
//                             the first, and up to SLACK bytes of scratch
//
// and may store a step's two lines its own way (s.two<WIDE>(d, p, od, h)),
// or a last odd line (s.last<WIDE>(d, p, o, h)). Lines of 4 GiB and above
// (WIDE) start with the high digits, stored after the previous line, whose
// scratch bytes they overwrite. h comes by value: the stores of the lines
// cannot change a copy of its own, so its length stays in a register.
template <class S, bool WIDE> struct loop {
    template <bool SECOND, class D>
    [[gnu::always_inline]] static char *one(const S &s, char *d, const unsigned char *p, const D &od,
                                            const highpart &h)
    {
        if constexpr (WIDE) {
            s.prefix(d);
            d += h.len;
        }
        s.template line<SECOND>(d, p, od);
        return d + LINE;
    }

    [[gnu::always_inline]] static char *run(char *d, const unsigned char *p, std::uint32_t low,
                                            const highpart h, std::size_t n)
    {
        const S s(h);
        auto o = s.first(low);
        for (; n >= 2; n -= 2, p += 32) {
            const auto od = s.digitsof(o);
            o = s.next(o);
            if constexpr (requires { s.template two<WIDE>(d, p, od, h); }) {
                d = s.template two<WIDE>(d, p, od, h);
            } else {
                d = one<false>(s, d, p, od, h);
                d = one<true>(s, d, p + 16, od, h);
            }
        }
        if constexpr (requires { s.template last<WIDE>(d, p, o, h); })
            d = n > 0 ? s.template last<WIDE>(d, p, o, h) : d;
        else if (n > 0)
            d = one<false>(s, d, p, s.digitsof(o), h);
        return d;
    }
};

// The lines of a batch, as the line kernel of step S.
template <class S>
[[gnu::always_inline]] inline char *run(char *d, const unsigned char *p, std::uint32_t low,
                                        const highpart &high, std::size_t n)
{
    return high.len > 0 ? loop<S, true>::run(d, p, low, high, n) : loop<S, false>::run(d, p, low, high, n);
}

} // namespace hexcat::lines

#endif
