// Vector line kernels for x86: SSSE3 (one line per step) and AVX2 (two
// lines per step, one in each 128-bit lane). Both are compiled for their
// instruction set with target attributes and chosen at run time, so one
// binary runs on any x86-64 processor.
//
// A line of a full block is stored as 16-byte chunks, each one byte shuffle
// of one source register with the fixed characters or-ed in. The sources
// are four registers, read as one 64-byte stream:
//
//   T   the eight offset digits, then the digits of bytes 0-3
//   D0  the two hex digits of bytes 0-7
//   D1  the two hex digits of bytes 8-15
//   C   the character column
//
// and a chunk's source is one of them or a 16-byte window across two
// neighbours (an align). Below 4 GiB a line is 78 bytes in five chunks (the
// last two bytes of the fifth are scratch that the next line overwrites).
// Past 4 GiB a line starts with the offset's digits above the low eight,
// the same for the whole run: the kernel is compiled once for each count
// of them (1 to 8), with every chunk's window, shuffle and fill worked out
// at compile time for the shifted line, and the digits themselves are part
// of the first chunk's fill, set once per run. A wide line of up to two
// such digits (offsets below 1 TiB) takes the same five chunks as a narrow
// one; from three digits on it needs a sixth.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "kernels/kernels.h"

#ifdef HEXCAT_X86

#include <immintrin.h>

namespace hexcat {

namespace {

constexpr char Z = static_cast<char>(0x80); // shuffle index that yields 0
#define HEXDIGITS '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'

// The chunks of a line that starts with highlen high digits, and the
// window of each: chunk k is shuffled from the 16 bytes of the stream
// T D0 D1 C from window[k] on (window 0 is T).
struct shape {
    int chunks;
    int window[6];
};

// Where each byte of a line comes from, for a line that starts with highlen
// high digits: chunk k of the line is shuffle(source, shuf[k]) | fill[k],
// the source being the chunk's window. The high digits themselves are left
// as zeros here.
struct plan : shape {
    char shuf[6][16];
    char fill[6][16];
    bool fits; // every chunk's bytes lie within its window
};

// The stream position of byte j of a narrow line, or -1 for a fixed
// character, which goes to fixed.
constexpr int streampos(int j, char &fixed)
{
    fixed = 0;
    if (j < 8)
        return j; // offset digit, in T
    if (j == 8) {
        fixed = ':';
        return -1;
    }
    if (j < 57) {
        int cell = (j - 9) / 3, r = (j - 9) % 3;
        if (r == 0) {
            fixed = ' ';
            return -1;
        }
        return 16 + 2 * cell + r - 1; // D0 then D1
    }
    if (j < 60) {
        fixed = j == 59 ? '|' : ' ';
        return -1;
    }
    if (j < 76)
        return 48 + j - 60;                                        // C
    fixed = static_cast<char>(j == 76 ? '|' : j == 77 ? '\n' : 0); // 78 on: scratch
    return -1;
}

// The stream position of byte i of chunk k of a line with highlen high
// digits, or -1 for a fixed character (in fill) or a high digit.
constexpr int sourcepos(int k, int i, int highlen, char &fill)
{
    fill = 0;
    int j = 16 * k + i - highlen;
    if (j < 0)
        return -1;
    int pos = streampos(j, fill);
    // The first digits of D0 are in T too.
    return k == 0 && pos >= 16 ? pos - 8 : pos;
}

// The shape of a line of highlen high digits: as many chunks as it takes,
// each shuffled from one register where that holds all the chunk's bytes,
// else from the window that starts at the first byte it needs.
constexpr shape shapeof(int highlen)
{
    shape sh{};
    sh.chunks = (static_cast<int>(LINE) + highlen + 15) / 16;
    for (int k = 0; k < sh.chunks; k++) {
        int lo = 64, hi = -1;
        for (int i = 0; i < 16; i++) {
            char fill = 0;
            int pos = sourcepos(k, i, highlen, fill);
            if (pos >= 0) {
                lo = std::min(lo, pos);
                hi = std::max(hi, pos);
            }
        }
        sh.window[k] = hi < 0 ? 48 : k == 0 ? 0 : lo / 16 == hi / 16 ? lo / 16 * 16 : lo;
    }
    return sh;
}

// The plan of a line of highlen high digits in the chunks and windows of
// sh, which may be another line's (it fits only where those windows hold
// every byte the line needs).
constexpr plan makeplan(int highlen, shape sh)
{
    plan pl{sh, {}, {}, true};
    for (int k = 0; k < pl.chunks; k++) {
        const int w = pl.window[k];
        for (int i = 0; i < 16; i++) {
            int pos = sourcepos(k, i, highlen, pl.fill[k][i]);
            if (pos >= 0 && (pos < w || pos >= w + 16 || (k == 0 && pos >= 16)))
                pl.fits = false;
            pl.shuf[k][i] = pos < 0 ? Z : static_cast<char>(pos - w);
        }
    }
    return pl;
}

template <int W> inline constexpr plan PLAN = makeplan(W, shapeof(W));

// Lines of one high digit (79 bytes) go in pairs: the first line's last
// chunk runs a byte into the second line, onto its high digit, which is
// fixed and so a fill byte, and the second line is stored from its second
// byte on, which is a narrow line, 80 bytes after the first. So every
// store of a pair lands at the parity of the pair's start, which moves by
// an even 158 bytes, as for narrow lines; a run that starts at an odd
// address takes one line alone first. On some processors (AMD Zen 3)
// stores of lines at every other address, or at odd ones, cost about a
// tenth more. For AVX2 the second line is shuffled in the first's windows.
inline constexpr plan SECOND = makeplan(0, shapeof(1));

// The window of the stream T D0 D1 C that starts at byte at, in one
// instruction at most (per 128-bit lane for AVX2).
template <int at>
__attribute__((target("ssse3"))) inline __m128i window(__m128i t, __m128i d0, __m128i d1, __m128i c)
{
    static_assert(at >= 0 && at <= 48);
    const __m128i r[4] = {t, d0, d1, c};
    if constexpr (at % 16 == 0)
        return r[at / 16];
    else
        return _mm_alignr_epi8(r[at / 16 + 1], r[at / 16], at % 16);
}

template <int at>
__attribute__((target("avx2"))) inline __m256i window(__m256i t, __m256i d0, __m256i d1, __m256i c)
{
    static_assert(at >= 0 && at <= 48);
    const __m256i r[4] = {t, d0, d1, c};
    if constexpr (at % 16 == 0)
        return r[at / 16];
    else
        return _mm256_alignr_epi8(r[at / 16 + 1], r[at / 16], at % 16);
}

__attribute__((target("ssse3"))) inline __m128i load16(const char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Two chunks' shuffles or fills, lo in the low lane.
__attribute__((target("avx2"))) inline __m256i load32(const char (&hi)[16], const char (&lo)[16])
{
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(hi), reinterpret_cast<const __m128i *>(lo));
}

// The high digits as the first W bytes of a register, the rest zero.
template <int W> __attribute__((target("ssse3"))) inline __m128i prefix(const highpart &h)
{
    char b[16] = {};
    std::memcpy(b, h.digits, W);
    return load16(b);
}

// The offset's bytes, most significant first, so that its nibbles come out
// in the order they are printed.
inline std::uint32_t bigendian(std::uint32_t v) { return __builtin_bswap32(v); }

// Whether d is odd, where the stores of a pair would not land (see SECOND).
inline bool oddaddress(const char *d) { return (reinterpret_cast<std::uintptr_t>(d) & 1) != 0; }

// One line's chunk shuffles and fills, for the plan of W high digits.
struct chunks {
    __m128i s[6], f[6];
};

template <int W> __attribute__((target("ssse3"))) inline chunks loadchunks(const highpart &h)
{
    constexpr const plan &P = PLAN<W>;
    chunks c;
    for (int k = 0; k < P.chunks; k++) {
        c.s[k] = load16(P.shuf[k]);
        c.f[k] = load16(P.fill[k]);
    }
    c.f[0] = _mm_or_si128(c.f[0], prefix<W>(h));
    return c;
}

// Formats the block at p as the line of W high digits and low offset
// offset, stored at d with the chunks ch.
template <int W>
__attribute__((target("ssse3"))) inline void ssse3line(char *d, const unsigned char *p, std::uint32_t offset,
                                                       const chunks &ch)
{
    constexpr const plan &P = PLAN<W>;
    static_assert(P.fits);
    const __m128i digits = _mm_setr_epi8(HEXDIGITS);
    const __m128i nib = _mm_set1_epi8(0x0F);
    const __m128i lowbound = _mm_set1_epi8(0x1F);
    const __m128i highbound = _mm_set1_epi8(0x7F);
    const __m128i dot = _mm_set1_epi8('.');
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hi = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), nib));
    __m128i lo = _mm_shuffle_epi8(digits, _mm_and_si128(x, nib));
    __m128i d0 = _mm_unpacklo_epi8(hi, lo);
    __m128i d1 = _mm_unpackhi_epi8(hi, lo);
    __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(x, lowbound), _mm_cmpgt_epi8(highbound, x));
    __m128i c = _mm_or_si128(_mm_and_si128(ok, x), _mm_andnot_si128(ok, dot));
    __m128i o = _mm_cvtsi32_si128(static_cast<int>(bigendian(offset)));
    o = _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(o, 4), nib), _mm_and_si128(o, nib));
    o = _mm_shuffle_epi8(digits, o);
    __m128i t = _mm_unpacklo_epi64(o, d0);
    constexpr int last = P.window[5] < 48 ? 48 : P.window[5]; // unused below six chunks
    __m128i src[6] = {
        window<P.window[0]>(t, d0, d1, c), window<P.window[1]>(t, d0, d1, c),
        window<P.window[2]>(t, d0, d1, c), window<P.window[3]>(t, d0, d1, c),
        window<P.window[4]>(t, d0, d1, c), window<last>(t, d0, d1, c),
    };
    for (int k = 0; k < P.chunks; k++)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * std::ptrdiff_t{k}),
                         _mm_or_si128(_mm_shuffle_epi8(src[k], ch.s[k]), ch.f[k]));
}

// One line, out of the way of the loops.
template <int W>
__attribute__((target("ssse3"), noinline)) char *ssse3one(char *d, const unsigned char *p,
                                                          std::uint32_t offset, const highpart &h)
{
    ssse3line<W>(d, p, offset, loadchunks<W>(h));
    return d + LINE + W;
}

// Lines whose offsets have W high digits (0 below 4 GiB).
template <int W>
__attribute__((target("ssse3"))) char *ssse3run(char *d, const unsigned char *p, std::uint32_t offset,
                                                const highpart &h, std::size_t n)
{
    chunks ch = loadchunks<W>(h);
    if constexpr (W == 1) {
        // Pairs of lines, the second as a narrow line (see SECOND), from
        // an even address on.
        if (n > 0 && oddaddress(d)) {
            d = ssse3one<1>(d, p, offset, h);
            n--, p += 16, offset += 16;
        }
        const __m128i high = _mm_slli_si128(prefix<1>(h), 15);
        ch.f[4] = _mm_or_si128(ch.f[4], high);
        const chunks narrow = loadchunks<0>(h);
        for (; n >= 2; n -= 2, p += 32, offset += 32, d += 2 * (LINE + 1)) {
            ssse3line<1>(d, p, offset, ch);
            ssse3line<0>(d + (LINE + 1) + 1, p + 16, offset + 16, narrow);
        }
    }
    for (; n > 0; n--, p += 16, offset += 16, d += LINE + W)
        ssse3line<W>(d, p, offset, ch);
    return d;
}

template <int W>
__attribute__((target("avx2"))) char *avx2run(char *d, const unsigned char *p, std::uint32_t offset,
                                              const highpart &h, std::size_t n)
{
    constexpr const plan &P = PLAN<W>;
    static_assert(P.fits);
    const __m256i digits = _mm256_setr_epi8(HEXDIGITS, HEXDIGITS);
    const __m256i nib = _mm256_set1_epi8(0x0F);
    const __m256i lowbound = _mm256_set1_epi8(0x1F);
    const __m256i highbound = _mm256_set1_epi8(0x7F);
    const __m256i dot = _mm256_set1_epi8('.');
    const __m256i bigend = _mm256_setr_epi8(3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, //
                                            3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
    // A line is stored as chunks 0-1 and 2-3 in one 32-byte store each, each
    // pair shuffled from one register that gathers the pair's two sources;
    // then chunk 4 alone, or chunks 4-5 as a third pair. The second line of
    // a step is shuffled by Q: the same plan but for lines of one high
    // digit, stored in pairs (see SECOND).
    constexpr bool paired = W == 1;
    constexpr const plan &Q = paired ? SECOND : P;
    static_assert(Q.fits);
    if (paired && n > 0 && oddaddress(d)) {
        d = ssse3one<W>(d, p, offset, h);
        n--, p += 16, offset += 16;
    }
    const __m128i high = paired ? _mm_slli_si128(prefix<W>(h), 15) : _mm_setzero_si128();
    const __m256i s01 = load32(P.shuf[1], P.shuf[0]);
    const __m256i s23 = load32(P.shuf[3], P.shuf[2]);
    const __m256i t01 = load32(Q.shuf[1], Q.shuf[0]);
    const __m256i t23 = load32(Q.shuf[3], Q.shuf[2]);
    const __m256i s45 = load32(P.chunks > 5 ? P.shuf[5] : Q.shuf[4], P.shuf[4]);
    const __m256i f01 = _mm256_set_m128i(load16(P.fill[1]), _mm_or_si128(load16(P.fill[0]), prefix<W>(h)));
    const __m256i f23 = load32(P.fill[3], P.fill[2]);
    const __m256i g01 = paired ? load32(Q.fill[1], Q.fill[0]) : f01;
    const __m256i g23 = load32(Q.fill[3], Q.fill[2]);
    const __m256i f45 =
        _mm256_set_m128i(load16(P.chunks > 5 ? P.fill[5] : Q.fill[4]), _mm_or_si128(load16(P.fill[4]), high));
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
        __m256i c = _mm256_blendv_epi8(dot, x, ok);
        __m256i o = _mm256_shuffle_epi8(offsets, bigend);
        offsets = _mm256_add_epi32(offsets, step);
        o = _mm256_unpacklo_epi8(_mm256_and_si256(_mm256_srli_epi16(o, 4), nib), _mm256_and_si256(o, nib));
        o = _mm256_shuffle_epi8(digits, o);
        __m256i t = _mm256_unpacklo_epi64(o, d0);
        __m256i w0 = window<P.window[0]>(t, d0, d1, c);
        __m256i w1 = window<P.window[1]>(t, d0, d1, c);
        __m256i w2 = window<P.window[2]>(t, d0, d1, c);
        __m256i w3 = window<P.window[3]>(t, d0, d1, c);
        __m256i w4 = window<P.window[4]>(t, d0, d1, c);
        // Gather each line's sources of a pair into one register.
        __m256i a0 = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w0, w1, 0x20), s01), f01);
        __m256i a1 = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w0, w1, 0x31), t01), g01);
        __m256i b0 = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w2, w3, 0x20), s23), f23);
        __m256i b1 = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w2, w3, 0x31), t23), g23);
        // The first line's last chunk runs into the second line, so the
        // first line is stored first.
        char *e = d + LINE + W + (paired ? 1 : 0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 32), b0);
        if constexpr (P.chunks == 5) {
            __m256i c4 = _mm256_or_si256(_mm256_shuffle_epi8(w4, s45), f45);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64), _mm256_castsi256_si128(c4));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), a1);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 32), b1);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(e + 64), _mm256_extracti128_si256(c4, 1));
        } else {
            __m256i w5 = window<P.window[5]>(t, d0, d1, c);
            __m256i c0 =
                _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w4, w5, 0x20), s45), f45);
            __m256i c1 =
                _mm256_or_si256(_mm256_shuffle_epi8(_mm256_permute2x128_si256(w4, w5, 0x31), s45), f45);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 64), c0);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), a1);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 32), b1);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 64), c1);
        }
        d += 2 * (LINE + W);
    }
    if (n > 0)
        d = ssse3run<W>(d, p, offset, h, n);
    return d;
}

// Both kernels' runs, indexed by the count of high digits of the lines
// they format (at most eight).
struct runs {
    linesfn ssse3, avx2;
};
template <int... highlen>
constexpr std::array<runs, sizeof...(highlen)> runtable(std::integer_sequence<int, highlen...>)
{
    return {{{ssse3run<highlen>, avx2run<highlen>}...}};
}
constexpr auto RUNS = runtable(std::make_integer_sequence<int, 9>());

} // namespace

char *linesssse3(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return RUNS[std::min<std::size_t>(high.len, 8)].ssse3(d, p, low, high, n);
}

char *linesavx2(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return RUNS[std::min<std::size_t>(high.len, 8)].avx2(d, p, low, high, n);
}

bool havessse3() { return __builtin_cpu_supports("ssse3"); }
bool haveavx2() { return __builtin_cpu_supports("avx2"); }

} // namespace hexcat

#endif
