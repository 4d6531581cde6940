// Vector line kernels for x86: SSSE3 (one line per step, or two for lines
// of one high digit, which go in pairs: see SECOND) and AVX2 (two lines per
// step, one in each 128-bit lane). Both are compiled for their instruction
// set with target attributes and chosen at run time, so one binary runs on
// any x86 processor.
//
// A line of a full block is stored as 16-byte chunks, each one byte shuffle
// of its window of the line's stream T D0 D1 C with the fixed characters
// or-ed in (plan.h). Below 4 GiB a line is 78 bytes in five chunks (the
// last two bytes of the fifth are scratch that the next line overwrites).
// Past 4 GiB a line starts with the offset's digits above the low eight,
// the same for the whole batch: the kernel is compiled once for each count
// of them (1 to 8), with every chunk's window, shuffle and fill worked out
// at compile time for the shifted line, and the digits themselves are part
// of the first chunk's fill, set once per batch. A wide line of up to two
// such digits (offsets below 1 TiB) takes the same five chunks as a narrow
// one; from three digits on it needs a sixth.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "kernels/kernels.h"
#include "kernels/plan.h"

#ifdef HEXCAT_X86

#include <immintrin.h>

namespace hexcat {

namespace {

constexpr char NOBYTE = static_cast<char>(0x80); // shuffle index that yields 0

// A line's chunks (plan.h) as the kernels load them: chunk k of the line
// is shuffle(window[k], shuf[k]) | fill[k]. The high digits themselves are
// left as zeros here.
struct plan {
    int chunks;
    int window[6];
    char shuf[6][16];
    char fill[6][16];
    bool fits; // every chunk's bytes lie within its window
};

// The plan of a line of highlen high digits in the windows of a line of
// shapeof high digits.
constexpr plan makeplan(int highlen, int shapeof)
{
    const chunks::line line = chunks::plan(highlen, shapeof);
    plan pl{line.chunks, {}, {}, {}, line.fits};
    for (int k = 0; k < line.chunks; k++) {
        pl.window[k] = line.part[k].window;
        for (int i = 0; i < 16; i++) {
            const int from = line.part[k].from[i];
            pl.shuf[k][i] = from < 0 ? NOBYTE : static_cast<char>(from);
            pl.fill[k][i] = line.part[k].fixed[i];
        }
    }
    return pl;
}

template <int highlen> inline constexpr plan PLAN = makeplan(highlen, highlen);

// Lines of one high digit (79 bytes) go in pairs: the first line's last
// chunk runs a byte into the second line, onto its high digit, which is
// fixed and so a fill byte, and the second line is stored from its second
// byte on, which is a narrow line, 80 bytes after the first. So every
// store of a pair lands at the parity of the pair's start, which moves by
// an even 158 bytes, as for narrow lines; a batch that starts at an odd
// address takes one line alone first. Stores at odd addresses cost more
// on some processors (docs/performance.md). SSSE3 formats a pair's second line by PLAN<0>; AVX2, which
// shuffles both lines of a step from the same windows, by SECOND: the
// narrow line's plan in the shape of the first line's.
inline constexpr plan SECOND = makeplan(0, 1);

#define SSSE3 __attribute__((target("ssse3")))
#define AVX2 __attribute__((target("avx2")))

// A register of 16 bytes (SSSE3) or of two 16-byte lanes (AVX2). What the
// two kernels do within a lane is written once, in templates over these
// that are compiled for neither instruction set and always inlined into
// the kernels; the operations below are compiled for theirs. The vectors
// are wrapped because a bare 32-byte one cannot be passed to or from a
// function that is not compiled for AVX (its calling convention differs).
struct xmm {
    __m128i v;
    SSSE3 static xmm splat(char b) { return {_mm_set1_epi8(b)}; }
    SSSE3 static xmm hexdigits() { return {_mm_loadu_si128(reinterpret_cast<const __m128i *>(DIGITS))}; }
};
struct ymm {
    __m256i v;
    AVX2 static ymm splat(char b) { return {_mm256_set1_epi8(b)}; }
    AVX2 static ymm hexdigits()
    {
        return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(DIGITS)))};
    }
};

SSSE3 inline xmm operator&(xmm a, xmm b) { return {_mm_and_si128(a.v, b.v)}; }
AVX2 inline ymm operator&(ymm a, ymm b) { return {_mm256_and_si256(a.v, b.v)}; }
// Each 16-bit word shifted right by 4 bits.
SSSE3 inline xmm shr4(xmm a) { return {_mm_srli_epi16(a.v, 4)}; }
AVX2 inline ymm shr4(ymm a) { return {_mm256_srli_epi16(a.v, 4)}; }
// For each byte of index, the byte of table (in its lane) that it selects.
SSSE3 inline xmm shuffle(xmm table, xmm index) { return {_mm_shuffle_epi8(table.v, index.v)}; }
AVX2 inline ymm shuffle(ymm table, ymm index) { return {_mm256_shuffle_epi8(table.v, index.v)}; }
// The bytes of the low (unpacklo8) or high halves of a and b, interleaved;
// the low 8 bytes of a, then those of b (unpacklo64). Per lane.
SSSE3 inline xmm unpacklo8(xmm a, xmm b) { return {_mm_unpacklo_epi8(a.v, b.v)}; }
AVX2 inline ymm unpacklo8(ymm a, ymm b) { return {_mm256_unpacklo_epi8(a.v, b.v)}; }
SSSE3 inline xmm unpackhi8(xmm a, xmm b) { return {_mm_unpackhi_epi8(a.v, b.v)}; }
AVX2 inline ymm unpackhi8(ymm a, ymm b) { return {_mm256_unpackhi_epi8(a.v, b.v)}; }
SSSE3 inline xmm unpacklo64(xmm a, xmm b) { return {_mm_unpacklo_epi64(a.v, b.v)}; }
AVX2 inline ymm unpacklo64(ymm a, ymm b) { return {_mm256_unpacklo_epi64(a.v, b.v)}; }
// All ones in each byte where a's is greater than b's, as signed bytes.
SSSE3 inline xmm greater(xmm a, xmm b) { return {_mm_cmpgt_epi8(a.v, b.v)}; }
AVX2 inline ymm greater(ymm a, ymm b) { return {_mm256_cmpgt_epi8(a.v, b.v)}; }
// a's bytes where mask is all ones, b's where it is zero.
SSSE3 inline xmm select(xmm mask, xmm a, xmm b)
{
    return {_mm_or_si128(_mm_and_si128(mask.v, a.v), _mm_andnot_si128(mask.v, b.v))};
}
AVX2 inline ymm select(ymm mask, ymm a, ymm b) { return {_mm256_blendv_epi8(b.v, a.v, mask.v)}; }
// The 16 bytes from byte n of lo on, running into hi (per lane).
template <int n> SSSE3 inline xmm alignr(xmm hi, xmm lo) { return {_mm_alignr_epi8(hi.v, lo.v, n)}; }
template <int n> AVX2 inline ymm alignr(ymm hi, ymm lo) { return {_mm256_alignr_epi8(hi.v, lo.v, n)}; }

// The stream T D0 D1 C of a line, per lane.
template <class R> struct stream {
    R t, d0, d1, c;
};

// The stream of the line of block x, but for the offset digits at the
// start of T, which withoffset() puts in.
template <class R> [[gnu::always_inline]] inline stream<R> streamof(const R &x)
{
    const R digits = R::hexdigits();
    const R nib = R::splat(0x0F);
    // Each byte's two hex digits, the high one first.
    const R hi = shuffle(digits, shr4(x) & nib);
    const R lo = shuffle(digits, x & nib);
    const R d0 = unpacklo8(hi, lo);
    const R d1 = unpackhi8(hi, lo);
    // A printable byte shows as itself, any other as a dot.
    const R ok = greater(x, R::splat(FIRSTPRINTABLE - 1)) & greater(R::splat(LASTPRINTABLE + 1), x);
    const R c = select(ok, x, R::splat(DOT));
    return {d0, d0, d1, c};
}

// Puts the line's offset digits in s, from the bytes of its low offset,
// most significant first, in the low four bytes of o.
template <class R> [[gnu::always_inline]] inline void withoffset(stream<R> &s, const R &o)
{
    const R digits = R::hexdigits();
    const R nib = R::splat(0x0F);
    s.t = unpacklo64(shuffle(digits, unpacklo8(shr4(o) & nib, o & nib)), s.d0);
}

// The window of stream s that starts at byte at, in one instruction at
// most.
template <int at, class R> [[gnu::always_inline]] inline R window(const stream<R> &s)
{
    static_assert(at >= 0 && at <= 48);
    const R r[4] = {s.t, s.d0, s.d1, s.c};
    if constexpr (at % 16 == 0)
        return r[at / 16];
    else
        return alignr<at % 16>(r[at / 16 + 1], r[at / 16]);
}

SSSE3 inline __m128i load16(const char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// Two chunks' shuffles or fills, lo in the low lane.
AVX2 inline __m256i load32(const char (&hi)[16], const char (&lo)[16])
{
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(hi), reinterpret_cast<const __m128i *>(lo));
}

// The high digits as the first highlen bytes of a register, the rest zero.
template <int highlen> SSSE3 inline __m128i prefix(const highpart &h)
{
    char b[16] = {};
    std::memcpy(b, h.digits, highlen);
    return load16(b);
}

// The offset's bytes, most significant first, so that its nibbles come out
// in the order they are printed.
inline std::uint32_t bigendian(std::uint32_t v) { return __builtin_bswap32(v); }

// Whether d is odd, where the stores of a pair would not land (see SECOND).
inline bool oddaddress(const char *d) { return (reinterpret_cast<std::uintptr_t>(d) & 1) != 0; }

// A line's chunk shuffles and fills in registers.
struct masks {
    __m128i shuf[6], fill[6];
};

// The masks of the plan of highlen high digits, the digits h in the fill.
template <int highlen> SSSE3 inline masks loadmasks(const highpart &h)
{
    constexpr const plan &lineplan = PLAN<highlen>;
    masks m;
    for (int k = 0; k < lineplan.chunks; k++) {
        m.shuf[k] = load16(lineplan.shuf[k]);
        m.fill[k] = load16(lineplan.fill[k]);
    }
    m.fill[0] = _mm_or_si128(m.fill[0], prefix<highlen>(h));
    return m;
}

// Formats the block at p as the line of highlen high digits and low
// offset low, stored at d with the masks m.
template <int highlen>
SSSE3 inline void ssse3line(char *d, const unsigned char *p, std::uint32_t low, const masks &m)
{
    constexpr const plan &lineplan = PLAN<highlen>;
    static_assert(lineplan.fits);
    const xmm x{_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))};
    stream<xmm> s = streamof(x);
    withoffset(s, xmm{_mm_cvtsi32_si128(static_cast<int>(bigendian(low)))});
    constexpr int last = lineplan.window[5] < 48 ? 48 : lineplan.window[5]; // unused below six chunks
    const __m128i src[6] = {
        window<lineplan.window[0]>(s).v, window<lineplan.window[1]>(s).v, window<lineplan.window[2]>(s).v,
        window<lineplan.window[3]>(s).v, window<lineplan.window[4]>(s).v, window<last>(s).v,
    };
    for (int k = 0; k < lineplan.chunks; k++)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * std::ptrdiff_t{k}),
                         _mm_or_si128(_mm_shuffle_epi8(src[k], m.shuf[k]), m.fill[k]));
}

// One line, out of the way of the loops.
template <int highlen>
[[gnu::noinline]] SSSE3 char *ssse3one(char *d, const unsigned char *p, std::uint32_t low, const highpart &h)
{
    ssse3line<highlen>(d, p, low, loadmasks<highlen>(h));
    return d + LINE + highlen;
}

// Lines whose offsets have highlen high digits (0 below 4 GiB).
template <int highlen>
SSSE3 char *ssse3lines(char *d, const unsigned char *p, std::uint32_t low, const highpart &h, std::size_t n)
{
    masks m = loadmasks<highlen>(h);
    if constexpr (highlen == 1) {
        // Pairs of lines, the second as a narrow line (see SECOND), from
        // an even address on.
        if (n > 0 && oddaddress(d)) {
            d = ssse3one<1>(d, p, low, h);
            n--, p += 16, low += 16;
        }
        // The first line's last chunk ends on the second's high digit. The
        // lines after the pairs, one at a time, keep that fill: there the
        // byte is the one past the line, where the next line stores the
        // same digit, or in the slack after the last line.
        m.fill[4] = _mm_or_si128(m.fill[4], _mm_slli_si128(prefix<1>(h), 15));
        const masks narrow = loadmasks<0>(h);
        for (; n >= 2; n -= 2, p += 32, low += 32, d += 2 * (LINE + 1)) {
            ssse3line<1>(d, p, low, m);
            ssse3line<0>(d + (LINE + 1) + 1, p + 16, low + 16, narrow);
        }
    }
    for (; n > 0; n--, p += 16, low += 16, d += LINE + highlen)
        ssse3line<highlen>(d, p, low, m);
    return d;
}

// Two lines per step, one in each lane; a last odd line as SSSE3 does.
template <int highlen>
AVX2 char *avx2lines(char *d, const unsigned char *p, std::uint32_t low, const highpart &h, std::size_t n)
{
    // A line is stored as chunks 0-1 and 2-3 in one 32-byte store each, each
    // pair shuffled from one register that gathers the pair's two sources;
    // then chunk 4 alone, or chunks 4-5 as a third pair. The second line of
    // a step has a plan of its own where lines of one high digit go in
    // pairs (see SECOND), the first line's otherwise.
    // Each lane's offset bytes, most significant first, in its low dword.
    constexpr char Z = NOBYTE;
    const ymm bigend{_mm256_setr_epi8(3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, //
                                      3, 2, 1, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z)};
    constexpr bool paired = highlen == 1;
    constexpr const plan &firstplan = PLAN<highlen>;
    constexpr const plan &secondplan = paired ? SECOND : firstplan;
    static_assert(firstplan.fits && secondplan.fits);
    if (paired && n > 0 && oddaddress(d)) {
        d = ssse3one<highlen>(d, p, low, h);
        n--, p += 16, low += 16;
    }
    // A pair's second high digit, at the end of the first line's last chunk.
    const __m128i nexthigh = paired ? _mm_slli_si128(prefix<highlen>(h), 15) : _mm_setzero_si128();
    const __m256i firstshuf01 = load32(firstplan.shuf[1], firstplan.shuf[0]);
    const __m256i firstshuf23 = load32(firstplan.shuf[3], firstplan.shuf[2]);
    const __m256i secondshuf01 = load32(secondplan.shuf[1], secondplan.shuf[0]);
    const __m256i secondshuf23 = load32(secondplan.shuf[3], secondplan.shuf[2]);
    // The tail: with five chunks, each line's chunk 4 (the first's in the
    // low lane); with six, chunks 4 and 5 of either line.
    constexpr bool six = firstplan.chunks > 5;
    const __m256i tailshuf = load32(six ? firstplan.shuf[5] : secondplan.shuf[4], firstplan.shuf[4]);
    const __m256i firstfill01 = _mm256_set_m128i(load16(firstplan.fill[1]),
                                                 _mm_or_si128(load16(firstplan.fill[0]), prefix<highlen>(h)));
    const __m256i firstfill23 = load32(firstplan.fill[3], firstplan.fill[2]);
    const __m256i secondfill01 = paired ? load32(secondplan.fill[1], secondplan.fill[0]) : firstfill01;
    const __m256i secondfill23 = load32(secondplan.fill[3], secondplan.fill[2]);
    const __m256i tailfill = _mm256_set_m128i(load16(six ? firstplan.fill[5] : secondplan.fill[4]),
                                              _mm_or_si128(load16(firstplan.fill[4]), nexthigh));
    // The offsets of the two lines of a step, in the low dword of each lane.
    ymm offsets{_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(low)),
                                 _mm256_setr_epi32(0, 0, 0, 0, 16, 0, 0, 0))};
    const __m256i step = _mm256_set1_epi32(32);
    for (; n >= 2; n -= 2, p += 32, low += 32) {
        // Lane 0 works on the first line's block, lane 1 on the second's.
        const ymm x{_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p))};
        stream<ymm> s = streamof(x);
        const ymm o = shuffle(offsets, bigend);
        offsets.v = _mm256_add_epi32(offsets.v, step);
        withoffset(s, o);
        const __m256i w0 = window<firstplan.window[0]>(s).v;
        const __m256i w1 = window<firstplan.window[1]>(s).v;
        const __m256i w2 = window<firstplan.window[2]>(s).v;
        const __m256i w3 = window<firstplan.window[3]>(s).v;
        const __m256i w4 = window<firstplan.window[4]>(s).v;
        // Gather each line's sources of a pair into one register.
        const __m256i first01 = _mm256_or_si256(
            _mm256_shuffle_epi8(_mm256_permute2x128_si256(w0, w1, 0x20), firstshuf01), firstfill01);
        const __m256i second01 = _mm256_or_si256(
            _mm256_shuffle_epi8(_mm256_permute2x128_si256(w0, w1, 0x31), secondshuf01), secondfill01);
        const __m256i first23 = _mm256_or_si256(
            _mm256_shuffle_epi8(_mm256_permute2x128_si256(w2, w3, 0x20), firstshuf23), firstfill23);
        const __m256i second23 = _mm256_or_si256(
            _mm256_shuffle_epi8(_mm256_permute2x128_si256(w2, w3, 0x31), secondshuf23), secondfill23);
        // The first line's last chunk runs into the second line, so the
        // first line is stored first.
        char *e = d + LINE + highlen + (paired ? 1 : 0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), first01);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 32), first23);
        if constexpr (!six) {
            const __m256i tails = _mm256_or_si256(_mm256_shuffle_epi8(w4, tailshuf), tailfill);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 64), _mm256_castsi256_si128(tails));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), second01);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 32), second23);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(e + 64), _mm256_extracti128_si256(tails, 1));
        } else {
            const __m256i w5 = window<firstplan.window[5]>(s).v;
            const __m256i firsttail = _mm256_or_si256(
                _mm256_shuffle_epi8(_mm256_permute2x128_si256(w4, w5, 0x20), tailshuf), tailfill);
            const __m256i secondtail = _mm256_or_si256(
                _mm256_shuffle_epi8(_mm256_permute2x128_si256(w4, w5, 0x31), tailshuf), tailfill);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 64), firsttail);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), second01);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 32), second23);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(e + 64), secondtail);
        }
        d += 2 * (LINE + highlen);
    }
    if (n > 0)
        d = ssse3lines<highlen>(d, p, low, h, n);
    return d;
}

// Both kernels for each count of high digits of the lines they format (at
// most eight).
struct bywidth {
    linesfn ssse3, avx2;
};
template <int... highlen>
constexpr std::array<bywidth, sizeof...(highlen)>
widthtable(std::integer_sequence<int, highlen...> /*counts*/)
{
    return {{{ssse3lines<highlen>, avx2lines<highlen>}...}};
}
constexpr auto BYWIDTH = widthtable(std::make_integer_sequence<int, 9>());

} // namespace

char *linesssse3(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return BYWIDTH[std::min<std::size_t>(high.len, 8)].ssse3(d, p, low, high, n);
}

char *linesavx2(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return BYWIDTH[std::min<std::size_t>(high.len, 8)].avx2(d, p, low, high, n);
}

bool havessse3() { return __builtin_cpu_supports("ssse3"); }
bool haveavx2() { return __builtin_cpu_supports("avx2"); }

} // namespace hexcat

#endif
