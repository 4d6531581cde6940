// Vector line kernels for x86: SSSE3 (one line per step) and AVX2 (two
// lines per step, one in each 128-bit lane). Both are compiled for their
// instruction set with target attributes and chosen at run time, so one
// binary runs on any x86-64 processor.
//
// Past 4 GiB a line starts with the offset's digits above the low eight,
// the same for the whole run: they are stored as one 8-byte word, and the
// line proper starts after them, overwriting what is not theirs.
//
// A line of a full block is five 16-byte chunks (the last two bytes of the
// fifth are scratch that the next line overwrites):
//
//   chunk 0   offset digits, ':', cells 0-1      (offset and digits D0)
//   chunk 1   cells 2-7, first digit of cell 7   (digits D0)
//   chunk 2   rest of cell 7, cells 8-12         (digits D0 and D1)
//   chunk 3   cells 13-15, "  |", chars 0-3      (digits D1 and chars)
//   chunk 4   chars 4-15, "|\n"                  (chars)
//
// D0 and D1 hold the two hex digits of bytes 0-7 and 8-15. Each chunk is one
// byte shuffle of its source (two sources are joined with an align first)
// with the fixed spaces and bars or-ed in.
#include <cstring>

#include "kernels/kernels.h"

#ifdef HEXCAT_X86

#include <immintrin.h>

namespace hexcat {

namespace {

constexpr char Z = static_cast<char>(0x80); // shuffle index that yields 0

#define SHUF0 0, 1, 2, 3, 4, 5, 6, 7, Z, Z, 8, 9, Z, 10, 11, Z
#define FILL0 0, 0, 0, 0, 0, 0, 0, 0, ':', ' ', 0, 0, ' ', 0, 0, ' '
#define SHUF1 4, 5, Z, 6, 7, Z, 8, 9, Z, 10, 11, Z, 12, 13, Z, 14
#define FILL1 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0
#define SHUF2 0, Z, 1, 2, Z, 3, 4, Z, 5, 6, Z, 7, 8, Z, 9, 10
#define FILL2 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0
#define SHUF3 Z, 0, 1, Z, 2, 3, Z, 4, 5, Z, Z, Z, 6, 7, 8, 9
#define FILL3 ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', ' ', '|', 0, 0, 0, 0
#define SHUF4 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, Z, Z, Z, Z
#define FILL4 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '|', '\n', 0, 0
#define HEXDIGITS '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'

// The offset's bytes, most significant first, so that its nibbles come out
// in the order they are printed.
inline std::uint32_t bigendian(std::uint32_t v) { return __builtin_bswap32(v); }

// Starts a line: past 4 GiB, the high digits, and the line proper after
// them. Call it only once the previous line is stored, since its last
// store runs two bytes into this line.
template <bool WIDE> inline char *startline(char *d, const highpart &h)
{
    if (!WIDE)
        return d;
    std::memcpy(d, h.digits, 8);
    return d + h.len;
}

template <bool WIDE>
__attribute__((target("ssse3"))) char *ssse3run(char *d, const unsigned char *p, std::uint32_t offset,
                                                std::size_t n, const highpart &h)
{
    const __m128i digits = _mm_setr_epi8(HEXDIGITS);
    const __m128i nib = _mm_set1_epi8(0x0F);
    const __m128i lowbound = _mm_set1_epi8(0x1F);
    const __m128i highbound = _mm_set1_epi8(0x7F);
    const __m128i dot = _mm_set1_epi8('.');
    const __m128i s0 = _mm_setr_epi8(SHUF0), f0 = _mm_setr_epi8(FILL0);
    const __m128i s1 = _mm_setr_epi8(SHUF1), f1 = _mm_setr_epi8(FILL1);
    const __m128i s2 = _mm_setr_epi8(SHUF2), f2 = _mm_setr_epi8(FILL2);
    const __m128i s3 = _mm_setr_epi8(SHUF3), f3 = _mm_setr_epi8(FILL3);
    const __m128i s4 = _mm_setr_epi8(SHUF4), f4 = _mm_setr_epi8(FILL4);
    for (; n > 0; n--, p += 16, offset += 16, d += LINE) {
        d = startline<WIDE>(d, h);
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hi = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), nib));
        __m128i lo = _mm_shuffle_epi8(digits, _mm_and_si128(x, nib));
        __m128i d0 = _mm_unpacklo_epi8(hi, lo);
        __m128i d1 = _mm_unpackhi_epi8(hi, lo);
        __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(x, lowbound), _mm_cmpgt_epi8(highbound, x));
        __m128i chars = _mm_or_si128(_mm_and_si128(ok, x), _mm_andnot_si128(ok, dot));
        __m128i o = _mm_cvtsi32_si128(static_cast<int>(bigendian(offset)));
        o = _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(o, 4), nib), _mm_and_si128(o, nib));
        o = _mm_shuffle_epi8(digits, o);
        __m128i c0 = _mm_or_si128(_mm_shuffle_epi8(_mm_unpacklo_epi64(o, d0), s0), f0);
        __m128i c1 = _mm_or_si128(_mm_shuffle_epi8(d0, s1), f1);
        __m128i c2 = _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(d1, d0, 15), s2), f2);
        __m128i c3 = _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(chars, d1, 10), s3), f3);
        __m128i c4 = _mm_or_si128(_mm_shuffle_epi8(chars, s4), f4);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), c0);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16), c1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 32), c2);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 48), c3);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64), c4);
    }
    return d;
}

template <bool WIDE>
__attribute__((target("avx2"))) char *avx2run(char *d, const unsigned char *p, std::uint32_t offset,
                                              std::size_t n, const highpart &h)
{
    const __m256i digits = _mm256_setr_epi8(HEXDIGITS, HEXDIGITS);
    const __m256i nib = _mm256_set1_epi8(0x0F);
    const __m256i lowbound = _mm256_set1_epi8(0x1F);
    const __m256i highbound = _mm256_set1_epi8(0x7F);
    const __m256i dot = _mm256_set1_epi8('.');
    const __m256i bigend = _mm256_setr_epi8(3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, //
                                            3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
    // Chunks 0 and 1 of a line come from one 32-byte source, chunks 2 and 3
    // from another, so a line takes two 32-byte stores and one of 16.
    const __m256i s01 = _mm256_setr_epi8(SHUF0, SHUF1), f01 = _mm256_setr_epi8(FILL0, FILL1);
    const __m256i s23 = _mm256_setr_epi8(SHUF2, SHUF3), f23 = _mm256_setr_epi8(FILL2, FILL3);
    const __m256i s4 = _mm256_setr_epi8(SHUF4, SHUF4), f4 = _mm256_setr_epi8(FILL4, FILL4);
    // The offsets of the two lines of a step, in the low dword of each lane.
    __m256i offsets = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(offset)),
                                       _mm256_setr_epi32(0, 0, 0, 0, 16, 0, 0, 0));
    const __m256i step = _mm256_set1_epi32(32);
    for (; n >= 2; n -= 2, p += 32, offset += 32) {
        // Lane 0 works on the first line's block, lane 1 on the second's.
        __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i hi = _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(x, 4), nib));
        __m256i lo = _mm256_shuffle_epi8(digits, _mm256_and_si256(x, nib));
        __m256i d0 = _mm256_unpacklo_epi8(hi, lo);
        __m256i d1 = _mm256_unpackhi_epi8(hi, lo);
        __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi8(x, lowbound), _mm256_cmpgt_epi8(highbound, x));
        __m256i chars = _mm256_blendv_epi8(dot, x, ok);
        __m256i o = _mm256_shuffle_epi8(offsets, bigend);
        offsets = _mm256_add_epi32(offsets, step);
        o = _mm256_unpacklo_epi8(_mm256_and_si256(_mm256_srli_epi16(o, 4), nib), _mm256_and_si256(o, nib));
        o = _mm256_shuffle_epi8(digits, o);
        __m256i t0 = _mm256_unpacklo_epi64(o, d0);
        __m256i t2 = _mm256_alignr_epi8(d1, d0, 15);
        __m256i t3 = _mm256_alignr_epi8(chars, d1, 10);
        // Gather each line's sources into one register: its chunk-0 and
        // chunk-1 sources, then its chunk-2 and chunk-3 sources.
        __m256i a0 = _mm256_permute2x128_si256(t0, d0, 0x20);
        __m256i a1 = _mm256_permute2x128_si256(t0, d0, 0x31);
        __m256i b0 = _mm256_permute2x128_si256(t2, t3, 0x20);
        __m256i b1 = _mm256_permute2x128_si256(t2, t3, 0x31);
        a0 = _mm256_or_si256(_mm256_shuffle_epi8(a0, s01), f01);
        a1 = _mm256_or_si256(_mm256_shuffle_epi8(a1, s01), f01);
        b0 = _mm256_or_si256(_mm256_shuffle_epi8(b0, s23), f23);
        b1 = _mm256_or_si256(_mm256_shuffle_epi8(b1, s23), f23);
        __m256i c4 = _mm256_or_si256(_mm256_shuffle_epi8(chars, s4), f4);
        // The first line's last chunk runs two bytes into the second line,
        // so the first line is stored first.
        d = startline<WIDE>(d, h);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 32), b0);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64), _mm256_castsi256_si128(c4));
        char *e = startline<WIDE>(d + LINE, h);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), a1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 32), b1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(e + 64), _mm256_extracti128_si256(c4, 1));
        d = e + LINE;
    }
    if (n > 0)
        d = ssse3run<WIDE>(d, p, offset, n, h);
    return d;
}

} // namespace

char *linesssse3(char *d, const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    const highpart h = highdigits(offset);
    auto low = static_cast<std::uint32_t>(offset);
    return h.len > 0 ? ssse3run<true>(d, p, low, n, h) : ssse3run<false>(d, p, low, n, h);
}

char *linesavx2(char *d, const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    const highpart h = highdigits(offset);
    auto low = static_cast<std::uint32_t>(offset);
    return h.len > 0 ? avx2run<true>(d, p, low, n, h) : avx2run<false>(d, p, low, n, h);
}

bool havessse3() { return __builtin_cpu_supports("ssse3"); }
bool haveavx2() { return __builtin_cpu_supports("avx2"); }

} // namespace hexcat

#endif
