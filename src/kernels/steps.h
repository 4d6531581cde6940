// The loop of the kernels that format two lines a step (vector.cpp,
// neon.cpp, neon32.cpp), written once over each kernel's step S:
//
//   S s(h)                    the step's constants, set up once per batch
//   s.first(low)              the offsets of a step's two lines, the first
//                             at low (in the kernel's own registers)
//   s.next(o)                 those of the next step
//   s.digitsof(o)               the offset digits of both lines
//   s.prefix(d)               stores the high digits at d (eight bytes,
//                             those past h.len overwritten by the line)
//   s.line<SECOND>(d, p, od)  stores the line of the block at p at d, the
//                             second of the step's offset digits od or
//                             the first, and up to SLACK bytes of scratch
//
// A file that compiles its kernel for a vector unit by a target pragma
// includes this after the pragma, so that the loop is compiled for it too.
#ifndef HEXCAT_KERNELS_STEPS_H
#define HEXCAT_KERNELS_STEPS_H

#include "layout.h"

namespace hexcat::steps {

// Offsets of 4 GiB and above (WIDE) put their high digits before each line.
// That prefix is stored after the previous line, whose scratch bytes it
// overwrites. h comes by value: the stores of the lines cannot change a
// copy of its own, so its length stays in a register for the whole batch.
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

    static char *lines(char *d, const unsigned char *p, std::uint32_t low, const highpart h, std::size_t n)
    {
        const S s(h);
        auto o = s.first(low);
        for (; n >= 2; n -= 2, p += 32) {
            const auto od = s.digitsof(o);
            o = s.next(o);
            d = one<false>(s, d, p, od, h);
            d = one<true>(s, d, p + 16, od, h);
        }
        if (n > 0)
            d = one<false>(s, d, p, s.digitsof(o), h);
        return d;
    }
};

// The lines of a batch, as the line kernel of step S.
template <class S>
[[gnu::always_inline]] inline char *lines(char *d, const unsigned char *p, std::uint32_t low,
                                          const highpart &high, std::size_t n)
{
    return high.len > 0 ? loop<S, true>::lines(d, p, low, high, n)
                        : loop<S, false>::lines(d, p, low, high, n);
}

} // namespace hexcat::steps

#endif
