// Line kernel for AArch64 Advanced SIMD (NEON), which every AArch64
// processor has: the line template (lines.h) over its operations, one-
// register table lookups (TBL) and joins (EXT): GCC copies the registers of
// a multi-register table before every lookup (docs/performance.md).
#include "kernels/kernels.h"

#ifdef HEXCAT_NEON
#include <arm_neon.h>

#include "kernels/lines.h"

namespace hexcat {
namespace {
struct neon {
    using reg = uint8x16_t;
    static uint8x16_t block(const void *p) { return vld1q_u8(static_cast<const unsigned char *>(p)); }
    static uint8x16_t table(const void *t) { return block(t); }
    template <int at> static void store(char *d, uint8x16_t r)
    {
        vst1q_u8(reinterpret_cast<unsigned char *>(d + at), r);
    }
    static uint8x16_t splat(unsigned char b) { return vdupq_n_u8(b); }
    static uint8x16_t shuffle(uint8x16_t r, uint8x16_t index) { return vqtbl1q_u8(r, index); }
    template <int n> static uint8x16_t alignr(uint8x16_t a, uint8x16_t b) { return vextq_u8(a, b, n); }
    static uint8x16_t ziplo(uint8x16_t a, uint8x16_t b) { return vzip1q_u8(a, b); }
    static uint8x16_t ziphi(uint8x16_t a, uint8x16_t b) { return vzip2q_u8(a, b); }
    static uint8x16_t zip64(uint8x16_t a, uint8x16_t b)
    {
        return vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
    }
    static uint8x16_t high(uint8x16_t r) { return vshrq_n_u8(r, 4); }
    static uint8x16_t low(uint8x16_t r) { return vandq_u8(r, splat(0x0F)); }
    static uint8x16_t either(uint8x16_t a, uint8x16_t b) { return vorrq_u8(a, b); }
    static uint8x16_t shown(uint8x16_t x)
    {
        const uint8x16_t ok =
            vcltq_u8(vsubq_u8(x, splat(FIRSTPRINTABLE)), splat(LASTPRINTABLE + 1 - FIRSTPRINTABLE));
        return vbslq_u8(ok, x, splat(DOT));
    }
    static uint8x16_t first(std::uint32_t low)
    {
        return vreinterpretq_u8_u32(vsetq_lane_u32(low + 16, vdupq_n_u32(low), 1));
    }
    static uint8x16_t next(uint8x16_t o)
    {
        return vreinterpretq_u8_u32(vaddq_u32(vreinterpretq_u32_u8(o), vdupq_n_u32(32)));
    }
    // Each byte, most significant first, twice: shifted to its high nibble, then its low.
    static uint8x16_t nibbles(uint8x16_t o)
    {
        constexpr unsigned char spread[16] = {3, 3, 2, 2, 1, 1, 0, 0, 7, 7, 6, 6, 5, 5, 4, 4};
        constexpr signed char shift[16] = {-4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0};
        return low(vshlq_u8(vqtbl1q_u8(o, vld1q_u8(spread)), vld1q_s8(shift)));
    }
};

} // namespace
char *linesneon(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return lines::run<lines::step<neon>>(d, p, low, high, n);
}

} // namespace hexcat

#endif
