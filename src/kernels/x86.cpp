// Vector line kernels for x86: the line template (lines.h) over SSSE3's
// operations and over AVX2's (a line in each 128-bit lane, stored as pairs
// of chunks). Both are compiled for their instruction set by target
// attributes and chosen at run time. The registers are wrapped: a bare
// 32-byte vector cannot be passed to or from a function that is not
// compiled for AVX (its calling convention differs).
#include "kernels/kernels.h"

#ifdef HEXCAT_X86
#include <immintrin.h>

#include "kernels/lines.h"

namespace hexcat {
namespace {
#define SSSE3 __attribute__((target("ssse3")))
#define AVX2 __attribute__((target("avx2")))

struct xmm {
    __m128i v;
};
struct ymm {
    __m256i v;
};

// A step's offsets, in a lane's low four bytes (SSSE3: the second in the
// next four), most significant byte first.
constexpr char OFFSETBYTES[16] = {3, 2, 1, 0, 7, 6, 5, 4, -1, -1, -1, -1, -1, -1, -1, -1};

// The operations of both, by the prefix of their intrinsics (MM) and the
// suffix of their bitwise ones (SI).
#define HEXCAT_X86OPS(R, MM, SI, TARGET)                                                                     \
    using reg = R;                                                                                           \
    static TARGET R splat(char b) { return {MM##_set1_epi8(b)}; }                                            \
    static TARGET R shuffle(R r, R index) { return {MM##_shuffle_epi8(r.v, index.v)}; }                      \
    template <int n> static TARGET R alignr(R a, R b) { return {MM##_alignr_epi8(b.v, a.v, n)}; }            \
    static TARGET R ziplo(R a, R b) { return {MM##_unpacklo_epi8(a.v, b.v)}; }                               \
    static TARGET R ziphi(R a, R b) { return {MM##_unpackhi_epi8(a.v, b.v)}; }                               \
    static TARGET R zip64(R a, R b) { return {MM##_unpacklo_epi64(a.v, b.v)}; }                              \
    static TARGET R low(R r) { return {MM##_and_##SI(r.v, splat(0x0F).v)}; }                                 \
    static TARGET R high(R r) { return low({MM##_srli_epi16(r.v, 4)}); }                                     \
    static TARGET R either(R a, R b) { return {MM##_or_##SI(a.v, b.v)}; }                                    \
    static TARGET R shown(R x)                                                                               \
    {                                                                                                        \
        const R above{MM##_cmpgt_epi8(x.v, splat(FIRSTPRINTABLE - 1).v)};                                    \
        return select({MM##_and_##SI(above.v, MM##_cmpgt_epi8(splat(LASTPRINTABLE + 1).v, x.v))}, x,         \
                      splat(DOT));                                                                           \
    }                                                                                                        \
    static TARGET R next(R o) { return {MM##_add_epi32(o.v, MM##_set1_epi32(32))}; }                         \
    static TARGET R nibbles(R o)                                                                             \
    {                                                                                                        \
        const R be = shuffle(o, table(OFFSETBYTES));                                                         \
        return ziplo(high(be), low(be));                                                                     \
    }

struct sse {
    HEXCAT_X86OPS(xmm, _mm, si128, SSSE3)
    static SSSE3 xmm block(const void *p) { return {_mm_loadu_si128(static_cast<const __m128i *>(p))}; }
    static SSSE3 xmm table(const void *t) { return block(t); }
    template <int at> static SSSE3 void store(char *d, xmm r)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + at), r.v);
    }
    // a's bytes where mask is all ones, b's where it is zero.
    static SSSE3 xmm select(xmm mask, xmm a, xmm b)
    {
        return {_mm_or_si128(_mm_and_si128(mask.v, a.v), _mm_andnot_si128(mask.v, b.v))};
    }
    static SSSE3 xmm first(std::uint32_t low) { return {_mm_setr_epi32(int(low), int(low + 16), 0, 0)}; }
};

// A line in each lane: a step's lines are its two blocks, offsets and
// digits in the low and the high lane.
struct avx {
    HEXCAT_X86OPS(ymm, _mm256, si256, AVX2)
    static AVX2 ymm block(const void *p) { return {_mm256_loadu_si256(static_cast<const __m256i *>(p))}; }
    static AVX2 ymm table(const void *t)
    {
        return {_mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i *>(t)))};
    }
    static AVX2 ymm select(ymm mask, ymm a, ymm b) { return {_mm256_blendv_epi8(b.v, a.v, mask.v)}; }
    static AVX2 ymm first(std::uint32_t low)
    {
        return {_mm256_setr_epi32(int(low), 0, 0, 0, int(low + 16), 0, 0, 0)};
    }
};
#undef HEXCAT_X86OPS

// AVX2's own step: chunks 0-1 and 2-3 of each line in one 32-byte store
// each, a pair shuffled from one register that gathers its two windows,
// then chunk 4 of either line from its lane.
static_assert(lines::CHUNKS == 5);
struct avx2step : lines::step<avx> {
    ymm index2[2], fill2[2]; // of chunks 2j and 2j + 1, in the low and the high lane
    static AVX2 ymm pair(const unsigned char (&t)[lines::CHUNKS][16], int k)
    {
        return {_mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(t[k + 1]),
                                    reinterpret_cast<const __m128i *>(t[k]))};
    }
    AVX2 explicit avx2step(const highpart &h)
        : step(h), index2{pair(lines::TABLES.index, 0), pair(lines::TABLES.index, 2)},
          fill2{pair(lines::TABLES.fill, 0), pair(lines::TABLES.fill, 2)}
    {
    }
    // Chunks k and k + 1 of the line of the low lane (lanes 0x20) or the high one (0x31).
    template <int k, int lanes> AVX2 __m256i chunks(const stream &s) const
    {
        const __m256i w = _mm256_permute2x128_si256(window<lines::PLAN.part[k].window>(s).v,
                                                    window<lines::PLAN.part[k + 1].window>(s).v, lanes);
        return avx::either(avx::shuffle({w}, index2[k / 2]), fill2[k / 2]).v;
    }
    template <bool WIDE, bool SECOND>
    AVX2 char *lane(char *d, const stream &s, __m256i tails, const highpart &h) const
    {
        constexpr int lanes = SECOND ? 0x31 : 0x20;
        if constexpr (WIDE) {
            prefix(d);
            d += h.len;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), chunks<0, lanes>(s));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 32), chunks<2, lanes>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64),
                         _mm256_extracti128_si256(tails, SECOND ? 1 : 0));
        return d + LINE;
    }
    template <bool WIDE> AVX2 char *two(char *d, const unsigned char *p, ymm od, const highpart &h) const
    {
        const stream s = streamat<false>(p, od);
        const __m256i tails = chunk<4>(s).v;
        return lane<WIDE, true>(lane<WIDE, false>(d, s, tails, h), s, tails, h);
    }
};

} // namespace
SSSE3 char *linesssse3(char *d, const unsigned char *p, std::uint32_t low, const highpart &high,
                       std::size_t n)
{
    return lines::run<lines::step<sse>>(d, p, low, high, n);
}

// A last odd line by SSSE3.
AVX2 char *linesavx2(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    d = lines::run<avx2step>(d, p, low, high, n & ~std::size_t{1});
    return n % 2 != 0 ? linesssse3(d, p + 16 * (n - 1), low + 16 * static_cast<std::uint32_t>(n - 1), high, 1)
                      : d;
}

bool havessse3() { return __builtin_cpu_supports("ssse3"); }
bool haveavx2() { return __builtin_cpu_supports("avx2"); }

} // namespace hexcat

#endif
