// Line kernel for NEON on 32-bit ARM (armhf), whose baseline, ARMv7 with
// VFPv3-D16, does not require it: compiled for NEON by a target pragma and
// chosen at run time. Two lines per step.
//
// 32-bit NEON has no byte shuffle of a 16-byte register: its lookup (VTBL)
// yields 8 bytes from up to four 8-byte registers, which must be
// neighbours, and GCC copies registers to make them so. So the line is
// not shuffled together but stored in pieces, the hex cells with VST3,
// which interleaves three 8-byte registers (a space, the high digits, the
// low digits) into eight cells " HH" at once:
//
//   0   the eight offset digits            8 bytes
//   8   ':'                                8 bytes, 9-15 overwritten
//   9   cells 0-7, each ' ' and two digits 24 bytes
//   33  cells 8-15                         24 bytes
//   57  "  |"                              8 bytes, 60-64 overwritten
//   60  the 16 characters                  16 bytes
//   76  "|\n"                              8 bytes, 6 past the line
//
// each piece stored after the ones it overwrites. The six bytes past the
// line are overwritten by the next line, or lie in the slack.
#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

#ifdef HEXCAT_NEON32

#include <arm_neon.h> // which enables NEON for its own functions
#include <sys/auxv.h>

// Everything from here to the check for NEON has internal linkage but the
// kernel, and is compiled for NEON after every header, so that nothing
// built for NEON can be taken for baseline code of the same name.
#pragma GCC push_options
#pragma GCC target("fpu=neon")

namespace hexcat {

namespace {

constexpr unsigned char HEXDIGITS[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
constexpr unsigned char COLON[8] = {':'};
constexpr unsigned char BARS[8] = {' ', ' ', '|'};
constexpr unsigned char END[8] = {'|', '\n'};

struct constants {
    uint8x8x2_t digits;
    uint8x8_t colon, bars, end, space;
    uint8x16_t nib, low, printable, dot;
    constants()
        : digits{{vld1_u8(HEXDIGITS), vld1_u8(HEXDIGITS + 8)}}, colon(vld1_u8(COLON)), bars(vld1_u8(BARS)),
          end(vld1_u8(END)), space(vdup_n_u8(' ')), nib(vdupq_n_u8(0x0F)), low(vdupq_n_u8(0x20)),
          printable(vdupq_n_u8(0x7F - 0x20)), dot(vdupq_n_u8('.'))
    {
    }
};

// The hex digit of each nibble of n.
inline uint8x8_t digits(const constants &k, uint8x8_t n) { return vtbl2_u8(k.digits, n); }

// The offset digits of the two lines of a step, from their low offsets.
inline uint8x8x2_t offsetdigits(const constants &k, uint32x2_t offsets)
{
    // Each offset's bytes, most significant first, then each byte's two
    // nibbles, the high one first.
    const uint8x8_t b = vrev32_u8(vreinterpret_u8_u32(offsets));
    const uint8x8x2_t n = vzip_u8(vshr_n_u8(b, 4), vand_u8(b, vget_low_u8(k.nib)));
    return {{digits(k, n.val[0]), digits(k, n.val[1])}};
}

// Stores the line of the block at p at d, its offset digits od: 84 bytes,
// the last six scratch.
inline void line(const constants &k, char *d, const unsigned char *p, uint8x8_t od)
{
    auto *o = reinterpret_cast<unsigned char *>(d);
    const uint8x16_t x = vld1q_u8(p);
    const uint8x16_t hi = vshrq_n_u8(x, 4);
    const uint8x16_t lo = vandq_u8(x, k.nib);
    // A byte from 0x20 to 0x7E shows as itself, any other as a dot.
    const uint8x16_t chars = vbslq_u8(vcltq_u8(vsubq_u8(x, k.low), k.printable), x, k.dot);
    vst1_u8(o, od);
    vst1_u8(o + 8, k.colon);
    const uint8x8x3_t first = {{k.space, digits(k, vget_low_u8(hi)), digits(k, vget_low_u8(lo))}};
    vst3_u8(o + 9, first);
    const uint8x8x3_t second = {{k.space, digits(k, vget_high_u8(hi)), digits(k, vget_high_u8(lo))}};
    vst3_u8(o + 33, second);
    vst1_u8(o + 57, k.bars);
    vst1q_u8(o + 60, chars);
    vst1_u8(o + 76, k.end);
}

// Offsets of 4 GiB and above (wide) put their high digits before each line.
// That prefix is stored after the previous line, whose scratch bytes it
// overwrites. h comes by value, so that the stores cannot change it.
template <bool wide>
char *lines(char *d, const unsigned char *p, std::uint32_t low, const highpart h, std::size_t n)
{
    const constants k;
    const uint8x8_t high = vld1_u8(reinterpret_cast<const unsigned char *>(h.digits));
    uint32x2_t offsets = {low, low + 16};
    const uint32x2_t step = vdup_n_u32(32);
    for (; n >= 2; n -= 2, p += 32) {
        const uint8x8x2_t od = offsetdigits(k, offsets);
        offsets = vadd_u32(offsets, step);
        if constexpr (wide) {
            vst1_u8(reinterpret_cast<unsigned char *>(d), high);
            d += h.len;
        }
        line(k, d, p, od.val[0]);
        d += LINE;
        if constexpr (wide) {
            vst1_u8(reinterpret_cast<unsigned char *>(d), high);
            d += h.len;
        }
        line(k, d, p + 16, od.val[1]);
        d += LINE;
    }
    if (n > 0) {
        if constexpr (wide) {
            vst1_u8(reinterpret_cast<unsigned char *>(d), high);
            d += h.len;
        }
        line(k, d, p, offsetdigits(k, offsets).val[0]);
        d += LINE;
    }
    return d;
}

} // namespace

char *linesneon32(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? lines<true>(d, p, low, high, n) : lines<false>(d, p, low, high, n);
}

} // namespace hexcat

#pragma GCC pop_options

// The check for NEON, compiled for the baseline.
namespace hexcat {
bool haveneon32() { return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0; }
} // namespace hexcat

#endif
