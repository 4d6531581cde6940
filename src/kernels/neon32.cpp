// Line kernel for NEON on 32-bit ARM (armhf), whose baseline does not
// require it: compiled for NEON by a target pragma and chosen at run time;
// two lines a step (lines.h's loop). Its lookup (VTBL) yields 8 bytes from
// neighbouring 8-byte registers, which GCC copies to make so, so the line is
// stored in pieces, the cells with VST3, which interleaves three 8-byte
// registers (spaces, high digits, low digits) into eight cells at once:
//
//   OFFSET     the eight offset digits            8 bytes
//   COLON      ':'                                8 bytes, the rest overwritten
//   cell(0)    cells 0-7, each ' ' and two digits 24 bytes
//   cell(8)    cells 8-15                         24 bytes
//   SEPARATOR  "  |"                              8 bytes, the rest overwritten
//   CHAR0      the 16 characters                  16 bytes
//   BAR        "|\n"                              8 bytes, 6 past the line
//
// each piece stored after the ones it overwrites. The six bytes past the
// line are overwritten by the next line, or lie in the slack.
#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

#ifdef HEXCAT_NEON32

#include <arm_neon.h> // which enables NEON for its own functions
#include <sys/auxv.h>

// From here to the check for NEON all is compiled for NEON, after every
// header, with internal linkage but the kernel.
#pragma GCC push_options
#pragma GCC target("fpu=neon")

#include "kernels/lines.h"

namespace hexcat {
namespace {
// The fixed characters, each at the start of an 8-byte register.
struct fixedtext {
    unsigned char colon[8], separator[8], end[8];
    constexpr fixedtext() : colon{COLONCHAR}, separator(), end()
    {
        for (std::size_t i = 0; i < CHAR0 - SEPARATOR; i++)
            separator[i] = static_cast<unsigned char>(SEPARATORTEXT[i]);
        for (std::size_t i = 0; i < LINE - BAR; i++)
            end[i] = static_cast<unsigned char>(ENDTEXT[i]);
    }
};
constexpr fixedtext FIXED;
// Each piece is stored after the ones it overwrites.
static_assert(COLON + 8 > CELL0 && SEPARATOR + 8 > CHAR0 && cell(8) == cell(0) + 24);

struct step {
    uint8x8x2_t digits;
    uint8x8_t colon, separator, end, space, high;
    uint8x16_t nib, firstprintable, printable, dot;
    explicit step(const highpart &h)
        : digits{{vld1_u8(reinterpret_cast<const unsigned char *>(DIGITS)),
                  vld1_u8(reinterpret_cast<const unsigned char *>(DIGITS) + 8)}},
          colon(vld1_u8(FIXED.colon)), separator(vld1_u8(FIXED.separator)), end(vld1_u8(FIXED.end)),
          space(vdup_n_u8(CELLSPACE)), high(vld1_u8(reinterpret_cast<const unsigned char *>(h.digits))),
          nib(vdupq_n_u8(0x0F)), firstprintable(vdupq_n_u8(FIRSTPRINTABLE)),
          printable(vdupq_n_u8(LASTPRINTABLE + 1 - FIRSTPRINTABLE)), dot(vdupq_n_u8(DOT))
    {
    }

    // The hex digit of each nibble of n.
    uint8x8_t hex(uint8x8_t n) const { return vtbl2_u8(digits, n); }

    static uint32x2_t first(std::uint32_t low) { return uint32x2_t{low, low + 16}; }
    static uint32x2_t next(uint32x2_t o) { return vadd_u32(o, vdup_n_u32(32)); }
    // The offset digits of the two lines of a step, from their low offsets.
    uint8x8x2_t digitsof(uint32x2_t offsets) const
    {
        // Each offset's bytes, most significant first, then each byte's two
        // nibbles, the high one first.
        const uint8x8_t b = vrev32_u8(vreinterpret_u8_u32(offsets));
        const uint8x8x2_t n = vzip_u8(vshr_n_u8(b, 4), vand_u8(b, vget_low_u8(nib)));
        return {{hex(n.val[0]), hex(n.val[1])}};
    }
    void prefix(char *d) const { vst1_u8(reinterpret_cast<unsigned char *>(d), high); }

    // Stores the line of the block at p at d, the first or the second of
    // the offset digits od: 84 bytes, the last six scratch.
    template <bool SECOND> void line(char *d, const unsigned char *p, uint8x8x2_t od) const
    {
        auto *o = reinterpret_cast<unsigned char *>(d);
        const uint8x16_t x = vld1q_u8(p);
        const uint8x16_t hi = vshrq_n_u8(x, 4);
        const uint8x16_t lo = vandq_u8(x, nib);
        const uint8x16_t chars = vbslq_u8(vcltq_u8(vsubq_u8(x, firstprintable), printable), x, dot);
        vst1_u8(o + OFFSET, od.val[SECOND ? 1 : 0]);
        vst1_u8(o + COLON, colon);
        const uint8x8x3_t first = {{space, hex(vget_low_u8(hi)), hex(vget_low_u8(lo))}};
        vst3_u8(o + cell(0), first);
        const uint8x8x3_t second = {{space, hex(vget_high_u8(hi)), hex(vget_high_u8(lo))}};
        vst3_u8(o + cell(8), second);
        vst1_u8(o + SEPARATOR, separator);
        vst1q_u8(o + CHAR0, chars);
        vst1_u8(o + BAR, end);
    }
};

} // namespace
char *linesneon32(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return lines::run<step>(d, p, low, high, n);
}

} // namespace hexcat

#pragma GCC pop_options

// The check for NEON, compiled for the baseline.
namespace hexcat {
bool haveneon32() { return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0; }
} // namespace hexcat

#endif
