// The line template of the vector kernels, over the operations struct O of
// an instruction set, whose registers hold 16 bytes (or 16-byte lanes, a
// line in each):
//
//   reg                 the register
//   block(p)            the 16 bytes at p (in every lane: a block a lane)
//   table(t)            the 16 bytes of table t in every lane
//   store<at>(d, r)     r stored at d + at (its first lane)
//   shuffle(r, index)   byte index[i] of r, or 0 where it is 0xFF
//   alignr<n>(a, b)     the 16 bytes of a then b from byte n on
//   ziplo(a, b), ziphi  the bytes of the low or high halves interleaved
//   zip64(a, b)         the low 8 bytes of a, then those of b
//   high(r), low(r)     the high or the low nibble of each byte
//   either(a, b)        a or b
//   shown(r)            each byte as the character column shows it
//   first(low), next(o) a step's two offsets, the first at low; the next
//   nibbles(o)          their nibbles, most significant first, from byte 0
//                       (or each lane's line's)
//
// and chunk<k>(window, fill) where step::chunk's default does not serve. A file that compiles its
// kernel by a target pragma includes this after it, to compile it alike.
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

// The lines by the operations O (first() and next() among them), with
// constants set up once per batch.
template <class O> struct step : O {
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

    // The stream T D0 D1 C of the block at p, T with the first (SECOND
    // false) or the second line's digits of od.
    struct stream {
        R r[4];
    };
    template <bool SECOND> [[gnu::always_inline]] stream streamat(const unsigned char *p, R od) const
    {
        const R x = O::block(p), hi = O::shuffle(digits, O::high(x)), lo = O::shuffle(digits, O::low(x));
        stream s{{od, O::ziplo(hi, lo), O::ziphi(hi, lo), O::shown(x)}};
        if constexpr (SECOND)
            s.r[0] = O::template alignr<8>(od, s.r[1]);
        else
            s.r[0] = O::zip64(od, s.r[1]);
        return s;
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
    // Chunk k: O's own, or by the tables.
    template <int k> [[gnu::always_inline]] R chunk(const stream &s) const
    {
        constexpr chunks::chunk c = PLAN.part[k];
        const R w = window<c.window>(s);
        if constexpr (requires { O::template chunk<k>(w, w); })
            return O::template chunk<k>(w, fill[k]);
        else if constexpr (c.rotate > 0)
            return O::template alignr<c.rotate>(w, fill[k]);
        else
            return O::either(O::shuffle(w, index[k]), fill[k]);
    }
    // The offset digits of a step's two lines, the first's in bytes 0-7 and
    // the second's in 8-15 (or each lane's line's in its bytes 0-7).
    [[gnu::always_inline]] R digitsof(R o) const { return O::shuffle(digits, O::nibbles(o)); }
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

    [[gnu::always_inline]] void prefix(char *d) const { __builtin_memcpy(d, high, HIGHDIGITS); }
};

// Two lines a step, over a step S (step<O>, or a kernel's own): S s(h), set
// up once per batch; s.first(low), s.next(o), a step's two offsets and the
// next step's; s.digitsof(o), their digits od; s.prefix(d), the high digits
// at d; s.line<SECOND>(d, p, od), the line of the block at p at d, with the
// second line's digits of od or the first's, and up to SLACK bytes of
// scratch; s.two<WIDE>(d, p, od, h), where S stores a step's two lines its
// own way (for an even count of lines). Lines past 4 GiB (WIDE) start with
// the high digits, stored over the previous line's scratch. h comes by
// value: the stores cannot change a copy, so its length stays in a register.
template <class S, bool WIDE> struct loop {
    static constexpr bool OWN = requires(const S &s)
    {
        s.template two<WIDE>(nullptr, nullptr, s.digitsof(s.first(0)), {});
    };
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
            if constexpr (OWN) {
                d = s.template two<WIDE>(d, p, od, h);
            } else {
                d = one<false>(s, d, p, od, h);
                d = one<true>(s, d, p + 16, od, h);
            }
        }
        if constexpr (!OWN)
            d = n > 0 ? one<false>(s, d, p, s.digitsof(o), h) : d;
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
