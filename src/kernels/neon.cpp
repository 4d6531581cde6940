// Line kernel for AArch64 Advanced SIMD (NEON), which every AArch64
// processor has: two lines a step (steps.h).
//
// A line of a full block is five 16-byte chunks (plan.h; the last two bytes
// of the fifth are scratch that the next line overwrites). Chunks 0-3 are
// a table lookup (TBL) in one register, the chunk's window of the stream,
// joined from two with EXT where it spans them, with the fixed characters
// or-ed in; chunk 4 is a single EXT of the characters and a register of
// the fixed ones. Only one-register lookups are used: GCC copies the
// registers of a multi-register table before every lookup
// (docs/performance.md).
#include "kernels/kernels.h"

#ifdef HEXCAT_NEON

#include <arm_neon.h>
#include <cstring>

#include "kernels/plan.h"
#include "kernels/steps.h"

namespace hexcat {

namespace {

constexpr const chunks::line &PLAN = chunks::PLAN<0>;
static_assert(PLAN.chunks == 5 && PLAN.fits && PLAN.part[4].rotate > 0);

// The lookups of chunks 0-3 (an index of 16 or more yields 0) and what is
// or-ed into them; the fixed characters that follow chunk 4's window.
struct tables {
    unsigned char shuf[4][16], fill[4][16], after[16];
    constexpr tables() : shuf(), fill(), after()
    {
        for (int k = 0; k < 4; k++)
            for (int i = 0; i < 16; i++) {
                const int from = PLAN.part[k].from[i];
                shuf[k][i] = static_cast<unsigned char>(from < 0 ? 0xFF : from);
                fill[k][i] = static_cast<unsigned char>(PLAN.part[k].fixed[i]);
            }
        for (int i = 0; i < 16; i++)
            after[i] = static_cast<unsigned char>(PLAN.part[4].after[i]);
    }
};
constexpr tables TABLES;

// The two offsets of a step are 32-bit lanes 0 and 1. Each byte of each
// offset, most significant first, goes to two bytes: high nibble, then low.
constexpr unsigned char SPREAD[16] = {3, 3, 2, 2, 1, 1, 0, 0, 7, 7, 6, 6, 5, 5, 4, 4};
constexpr signed char NIBBLESHIFT[16] = {-4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0};
constexpr std::uint32_t FIRSTTWO[4] = {0, 16, 0, 0};
constexpr std::uint32_t STRIDE[4] = {32, 32, 0, 0};

// The window of the stream t0 d0 d1 chars that starts at byte at.
template <int at> inline uint8x16_t window(const uint8x16_t (&r)[4])
{
    if constexpr (at % 16 == 0)
        return r[at / 16];
    else
        return vextq_u8(r[at / 16], r[at / 16 + 1], at % 16);
}

struct step {
    uint8x16_t digits, nib, space, printable, dot, after, spread;
    int8x16_t nibshift;
    uint32x4_t stride;
    uint8x16_t shuf[4], fill[4];
    char high[8];
    explicit step(const highpart &h)
        : digits(vld1q_u8(reinterpret_cast<const unsigned char *>(DIGITS))), nib(vdupq_n_u8(0x0F)),
          space(vdupq_n_u8(FIRSTPRINTABLE)), printable(vdupq_n_u8(LASTPRINTABLE + 1 - FIRSTPRINTABLE)),
          dot(vdupq_n_u8(DOT)), after(vld1q_u8(TABLES.after)), spread(vld1q_u8(SPREAD)),
          nibshift(vld1q_s8(NIBBLESHIFT)),
          stride(vld1q_u32(STRIDE)), shuf{vld1q_u8(TABLES.shuf[0]), vld1q_u8(TABLES.shuf[1]),
                                          vld1q_u8(TABLES.shuf[2]), vld1q_u8(TABLES.shuf[3])},
          fill{vld1q_u8(TABLES.fill[0]), vld1q_u8(TABLES.fill[1]), vld1q_u8(TABLES.fill[2]),
               vld1q_u8(TABLES.fill[3])}
    {
        std::memcpy(high, h.digits, 8);
    }
    static uint32x4_t first(std::uint32_t low) { return vaddq_u32(vdupq_n_u32(low), vld1q_u32(FIRSTTWO)); }
    uint32x4_t next(uint32x4_t o) const { return vaddq_u32(o, stride); }
    // The offset digits of the two lines of a step: the first line's in
    // bytes 0-7, the second's in bytes 8-15.
    uint8x16_t digitsof(uint32x4_t offsets) const
    {
        const uint8x16_t b = vqtbl1q_u8(vreinterpretq_u8_u32(offsets), spread);
        return vqtbl1q_u8(digits, vandq_u8(vshlq_u8(b, nibshift), nib));
    }
    void prefix(char *d) const { std::memcpy(d, high, 8); }

    // The line of the block at p at d: 80 bytes, the last two scratch. Of
    // the offset digits od, the line's are the first eight bytes (SECOND
    // false) or the last eight.
    template <bool SECOND> void line(char *d, const unsigned char *p, uint8x16_t od) const
    {
        const uint8x16_t x = vld1q_u8(p);
        const uint8x16_t hi = vqtbl1q_u8(digits, vshrq_n_u8(x, 4));
        const uint8x16_t lo = vqtbl1q_u8(digits, vandq_u8(x, nib));
        const uint8x16_t d0 = vzip1q_u8(hi, lo);
        uint8x16_t r[4] = {d0, d0, vzip2q_u8(hi, lo),
                           vbslq_u8(vcltq_u8(vsubq_u8(x, space), printable), x, dot)};
        if constexpr (SECOND)
            r[0] = vextq_u8(od, d0, 8);
        else
            r[0] = vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(od), vreinterpretq_u64_u8(d0)));
        auto *o = reinterpret_cast<unsigned char *>(d);
        vst1q_u8(o, vorrq_u8(vqtbl1q_u8(window<PLAN.part[0].window>(r), shuf[0]), fill[0]));
        vst1q_u8(o + 16, vorrq_u8(vqtbl1q_u8(window<PLAN.part[1].window>(r), shuf[1]), fill[1]));
        vst1q_u8(o + 32, vorrq_u8(vqtbl1q_u8(window<PLAN.part[2].window>(r), shuf[2]), fill[2]));
        vst1q_u8(o + 48, vorrq_u8(vqtbl1q_u8(window<PLAN.part[3].window>(r), shuf[3]), fill[3]));
        vst1q_u8(o + 64, vextq_u8(window<PLAN.part[4].window>(r), after, PLAN.part[4].rotate));
    }
};

} // namespace

char *linesneon(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return steps::lines<step>(d, p, low, high, n);
}

} // namespace hexcat

#endif
