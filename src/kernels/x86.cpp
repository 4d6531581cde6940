// Vector line kernels for x86, the line template (lines.h) over SSSE3's
// operations (two lines a step) and over AVX2's (two lines a step, one in
// each 128-bit lane, stored as pairs of chunks in 32-byte stores). Both are
// compiled for their instruction set with target attributes and chosen at
// run time, so one binary runs on any x86 processor. The operations are
// wrapped because a bare 32-byte vector cannot be passed to or from a
// function that is not compiled for AVX (its calling convention differs).
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

struct sse : lines::defaults<sse> {
    using reg = xmm;
    static SSSE3 xmm block(const void *p) { return {_mm_loadu_si128(static_cast<const __m128i *>(p))}; }
    static SSSE3 xmm table(const void *t) { return block(t); }
    template <int at> static SSSE3 void store(char *d, xmm r) { _mm_storeu_si128((__m128i *)(d + at), r.v); }
    static SSSE3 xmm splat(char b) { return {_mm_set1_epi8(b)}; }
    static SSSE3 xmm shuffle(xmm r, xmm index) { return {_mm_shuffle_epi8(r.v, index.v)}; }
    template <int n> static SSSE3 xmm alignr(xmm a, xmm b) { return {_mm_alignr_epi8(b.v, a.v, n)}; }
    static SSSE3 xmm ziplo(xmm a, xmm b) { return {_mm_unpacklo_epi8(a.v, b.v)}; }
    static SSSE3 xmm ziphi(xmm a, xmm b) { return {_mm_unpackhi_epi8(a.v, b.v)}; }
    static SSSE3 xmm zip64(xmm a, xmm b) { return {_mm_unpacklo_epi64(a.v, b.v)}; }
    static SSSE3 xmm low(xmm r) { return {_mm_and_si128(r.v, splat(0x0F).v)}; }
    static SSSE3 xmm high(xmm r) { return low({_mm_srli_epi16(r.v, 4)}); }
    static SSSE3 xmm either(xmm a, xmm b) { return {_mm_or_si128(a.v, b.v)}; }
    static SSSE3 xmm shown(xmm x)
    {
        const __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(x.v, splat(FIRSTPRINTABLE - 1).v),
                                         _mm_cmpgt_epi8(splat(LASTPRINTABLE + 1).v, x.v));
        return {_mm_or_si128(_mm_and_si128(ok, x.v), _mm_andnot_si128(ok, splat(DOT).v))};
    }
    static SSSE3 xmm first(std::uint32_t low) { return {_mm_setr_epi32(int(low), int(low + 16), 0, 0)}; }
    static SSSE3 xmm next(xmm o) { return {_mm_add_epi32(o.v, _mm_set1_epi32(32))}; }
    static SSSE3 xmm bigendian(xmm o)
    {
        return shuffle(o, {_mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, -1, -1, -1, -1, -1, -1, -1, -1)});
    }
};

// A line in each lane: a step's lines are its two blocks, offsets and
// digits in the low and the high lane.
struct avx : lines::defaults<avx> {
    using reg = ymm;
    static AVX2 ymm block(const void *p) { return {_mm256_loadu_si256(static_cast<const __m256i *>(p))}; }
    static AVX2 ymm table(const void *t)
    {
        return {_mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i *>(t)))};
    }
    static AVX2 ymm splat(char b) { return {_mm256_set1_epi8(b)}; }
    static AVX2 ymm shuffle(ymm r, ymm index) { return {_mm256_shuffle_epi8(r.v, index.v)}; }
    template <int n> static AVX2 ymm alignr(ymm a, ymm b) { return {_mm256_alignr_epi8(b.v, a.v, n)}; }
    static AVX2 ymm ziplo(ymm a, ymm b) { return {_mm256_unpacklo_epi8(a.v, b.v)}; }
    static AVX2 ymm ziphi(ymm a, ymm b) { return {_mm256_unpackhi_epi8(a.v, b.v)}; }
    static AVX2 ymm zip64(ymm a, ymm b) { return {_mm256_unpacklo_epi64(a.v, b.v)}; }
    static AVX2 ymm low(ymm r) { return {_mm256_and_si256(r.v, splat(0x0F).v)}; }
    static AVX2 ymm high(ymm r) { return low({_mm256_srli_epi16(r.v, 4)}); }
    static AVX2 ymm either(ymm a, ymm b) { return {_mm256_or_si256(a.v, b.v)}; }
    static AVX2 ymm shown(ymm x)
    {
        const __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi8(x.v, splat(FIRSTPRINTABLE - 1).v),
                                            _mm256_cmpgt_epi8(splat(LASTPRINTABLE + 1).v, x.v));
        return {_mm256_blendv_epi8(splat(DOT).v, x.v, ok)};
    }
    static AVX2 ymm first(std::uint32_t low)
    {
        return {_mm256_setr_epi32(int(low), 0, 0, 0, int(low + 16), 0, 0, 0)};
    }
    static AVX2 ymm next(ymm o) { return {_mm256_add_epi32(o.v, _mm256_set1_epi32(32))}; }
    static AVX2 ymm bigendian(ymm o)
    {
        return shuffle(o, {_mm256_setr_epi8(3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
                                            3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)});
    }
};

// AVX2's own step: chunks 0-1 and 2-3 of each line in one 32-byte store
// each, a pair shuffled from one register that gathers its two windows,
// then chunk 4 of either line from its lane; a last odd line by SSSE3.
static_assert(lines::CHUNKS == 5);
struct avx2step : lines::step<avx> {
    ymm index01, index23, fill01, fill23;
    // The tables of chunks a and b, in the low and the high lane.
    static AVX2 ymm pair(const unsigned char (&a)[16], const unsigned char (&b)[16])
    {
        return {
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(b), reinterpret_cast<const __m128i *>(a))};
    }
    AVX2 explicit avx2step(const highpart &h)
        : step(h), index01(pair(lines::TABLES.index[0], lines::TABLES.index[1])),
          index23(pair(lines::TABLES.index[2], lines::TABLES.index[3])),
          fill01(pair(lines::TABLES.fill[0], lines::TABLES.fill[1])),
          fill23(pair(lines::TABLES.fill[2], lines::TABLES.fill[3]))
    {
    }
    // Chunks k and k + 1 of the line in the low lane (lanes 0x20) or the high one (0x31).
    template <int k, int lanes> AVX2 __m256i chunks(const stream &s, ymm index, ymm fill) const
    {
        const __m256i w = _mm256_permute2x128_si256(window<lines::PLAN.part[k].window>(s).v,
                                                    window<lines::PLAN.part[k + 1].window>(s).v, lanes);
        return avx::either(avx::shuffle({w}, index), fill).v;
    }
    // The line of the low lane (SECOND false) or the high one.
    template <bool WIDE, bool SECOND>
    AVX2 char *lane(char *d, const stream &s, __m256i tails, const highpart &h) const
    {
        constexpr int lanes = SECOND ? 0x31 : 0x20;
        if constexpr (WIDE) {
            __builtin_memcpy(d, high, 8);
            d += h.len;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), chunks<0, lanes>(s, index01, fill01));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 32), chunks<2, lanes>(s, index23, fill23));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64),
                         _mm256_extracti128_si256(tails, SECOND ? 1 : 0));
        return d + LINE;
    }
    template <bool WIDE> AVX2 char *two(char *d, const unsigned char *p, ymm od, const highpart &h) const
    {
        const stream s = streamat<false>(p, od);
        const __m256i tails = chunk<4>(s).v;
        d = lane<WIDE, false>(d, s, tails, h);
        return lane<WIDE, true>(d, s, tails, h);
    }
    template <bool WIDE> AVX2 char *last(char *d, const unsigned char *p, ymm o, const highpart &h) const
    {
        return linesssse3(d, p, static_cast<std::uint32_t>(_mm256_cvtsi256_si32(o.v)), h, 1);
    }
};

} // namespace

SSSE3 char *linesssse3(char *d, const unsigned char *p, std::uint32_t low, const highpart &high,
                       std::size_t n)
{
    return lines::run<lines::step<sse>>(d, p, low, high, n);
}

AVX2 char *linesavx2(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return lines::run<avx2step>(d, p, low, high, n);
}

bool havessse3() { return __builtin_cpu_supports("ssse3"); }
bool haveavx2() { return __builtin_cpu_supports("avx2"); }

} // namespace hexcat

#endif
