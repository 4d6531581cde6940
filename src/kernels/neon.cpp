// Line kernel for AArch64 Advanced SIMD (NEON), which every AArch64
// processor has: two lines per step.
//
// A line of a full block is five 16-byte chunks (the last two bytes of the
// fifth are scratch that the next line overwrites):
//
//   chunk 0   offset digits, ':', cells 0-1      (offset digits and D0)
//   chunk 1   cells 2-7, first digit of cell 7   (D0)
//   chunk 2   rest of cell 7, cells 8-12         (D0 and D1)
//   chunk 3   cells 13-15, "  |", chars 0-3      (D1 and chars)
//   chunk 4   chars 4-15, "|\n"                  (chars)
//
// D0 and D1 hold the two hex digits of bytes 0-7 and 8-15. Chunks 0-3 are a
// table lookup (TBL) in one register, joined from two with EXT where needed,
// with the fixed spaces and bars or-ed in; chunk 4 is a single EXT. Only
// one-register lookups are used: GCC 12 copies the registers of a multi-
// register table before every lookup, which costs more than the joins.
#include "kernels/kernels.h"

#ifdef HEXCAT_NEON

#include <arm_neon.h>
#include <cstring>

namespace hexcat {

namespace {

constexpr unsigned char Z = 0xFF; // table index that yields 0

constexpr unsigned char HEXDIGITS[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
// The lookups of chunks 0-3 and what is or-ed into them. Chunk 0's source
// is the line's eight offset digits, then D0's first eight bytes.
constexpr unsigned char SHUF[4][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, Z, Z, 8, 9, Z, 10, 11, Z},
    {4, 5, Z, 6, 7, Z, 8, 9, Z, 10, 11, Z, 12, 13, Z, 14},
    {0, Z, 1, 2, Z, 3, 4, Z, 5, 6, Z, 7, 8, Z, 9, 10},
    {Z, 0, 1, Z, 2, 3, Z, 4, 5, Z, Z, Z, 6, 7, 8, 9},
};
constexpr unsigned char FILL[4][16] = {
    {0, 0, 0, 0, 0, 0, 0, 0, ':', ' ', 0, 0, ' ', 0, 0, ' '},
    {0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0},
    {0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0},
    {' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', ' ', '|', 0, 0, 0, 0},
};
// Chunk 4 is chars 4-15 followed by the first four of these.
constexpr unsigned char END[16] = {'|', '\n'};
// The two offsets of a step are 32-bit lanes 0 and 1. Each byte of each
// offset, most significant first, goes to two bytes: high nibble, then low.
constexpr unsigned char SPREAD[16] = {3, 3, 2, 2, 1, 1, 0, 0, 7, 7, 6, 6, 5, 5, 4, 4};
constexpr signed char NIBBLESHIFT[16] = {-4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0, -4, 0};
constexpr std::uint32_t FIRSTTWO[4] = {0, 16, 0, 0};
constexpr std::uint32_t STEP[4] = {32, 32, 0, 0};

struct constants {
    uint8x16_t digits, nib, space, printable, dot, end, spread;
    int8x16_t nibshift;
    uint8x16_t s0, s1, s2, s3, f0, f1, f2, f3;
    constants()
        : digits(vld1q_u8(HEXDIGITS)), nib(vdupq_n_u8(0x0F)), space(vdupq_n_u8(0x20)),
          printable(vdupq_n_u8(0x7F - 0x20)), dot(vdupq_n_u8('.')), end(vld1q_u8(END)),
          spread(vld1q_u8(SPREAD)), nibshift(vld1q_s8(NIBBLESHIFT)), s0(vld1q_u8(SHUF[0])),
          s1(vld1q_u8(SHUF[1])), s2(vld1q_u8(SHUF[2])), s3(vld1q_u8(SHUF[3])), f0(vld1q_u8(FILL[0])),
          f1(vld1q_u8(FILL[1])), f2(vld1q_u8(FILL[2])), f3(vld1q_u8(FILL[3]))
    {
    }
};

// The offset digits of the two lines of a step: the first line's in bytes
// 0-7, the second's in bytes 8-15.
inline uint8x16_t offsetdigits(const constants &k, uint32x4_t offsets)
{
    uint8x16_t b = vqtbl1q_u8(vreinterpretq_u8_u32(offsets), k.spread);
    return vqtbl1q_u8(k.digits, vandq_u8(vshlq_u8(b, k.nibshift), k.nib));
}

// Writes the line of block x at d: 80 bytes, the last two scratch. Of the
// offset digits od, the line's are the first eight bytes (second false) or
// the last eight (second true).
template <bool second> inline void line(const constants &k, char *d, uint8x16_t x, uint8x16_t od)
{
    uint8x16_t hi = vqtbl1q_u8(k.digits, vshrq_n_u8(x, 4));
    uint8x16_t lo = vqtbl1q_u8(k.digits, vandq_u8(x, k.nib));
    uint8x16_t d0 = vzip1q_u8(hi, lo);
    uint8x16_t d1 = vzip2q_u8(hi, lo);
    uint8x16_t chars = vbslq_u8(vcltq_u8(vsubq_u8(x, k.space), k.printable), x, k.dot);
    uint8x16_t t0;
    if constexpr (second)
        t0 = vextq_u8(od, d0, 8);
    else
        t0 = vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(od), vreinterpretq_u64_u8(d0)));
    auto *o = reinterpret_cast<unsigned char *>(d);
    vst1q_u8(o, vorrq_u8(vqtbl1q_u8(t0, k.s0), k.f0));
    vst1q_u8(o + 16, vorrq_u8(vqtbl1q_u8(d0, k.s1), k.f1));
    vst1q_u8(o + 32, vorrq_u8(vqtbl1q_u8(vextq_u8(d0, d1, 15), k.s2), k.f2));
    vst1q_u8(o + 48, vorrq_u8(vqtbl1q_u8(vextq_u8(d1, chars, 10), k.s3), k.f3));
    vst1q_u8(o + 64, vextq_u8(chars, k.end, 4));
}

// Offsets of 4 GiB and above (wide) put their high digits before each line.
// That prefix is stored after the previous line, whose scratch bytes it
// overwrites.
// h comes by value: the stores of the lines cannot change a copy of its
// own, so its length stays in a register for the whole run.
template <bool wide>
char *lines(char *d, const unsigned char *p, std::uint32_t low, const highpart h, std::size_t n)
{
    const constants k;
    uint32x4_t offsets = vaddq_u32(vdupq_n_u32(low), vld1q_u32(FIRSTTWO));
    const uint32x4_t step = vld1q_u32(STEP);
    for (; n >= 2; n -= 2, p += 32) {
        uint8x16_t od = offsetdigits(k, offsets);
        offsets = vaddq_u32(offsets, step);
        if constexpr (wide) {
            std::memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<false>(k, d, vld1q_u8(p), od);
        d += LINE;
        if constexpr (wide) {
            std::memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<true>(k, d, vld1q_u8(p + 16), od);
        d += LINE;
    }
    if (n > 0) {
        if constexpr (wide) {
            std::memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<false>(k, d, vld1q_u8(p), offsetdigits(k, offsets));
        d += LINE;
    }
    return d;
}

} // namespace

char *linesneon(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? lines<true>(d, p, low, high, n) : lines<false>(d, p, low, high, n);
}

} // namespace hexcat

#endif
