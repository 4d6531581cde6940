// Line kernels written once in GCC's generic vectors (16 bytes,
// vector_size) and compiled for each vector unit whose shuffles take two
// 16-byte registers: VSX on POWER8 and later (always there on ppc64el) and
// the z13 vector facility on s390x (chosen at run time). Two lines per
// step, as the AArch64 kernel does.
//
// Each line is stored as five 16-byte chunks (the last two bytes of the
// fifth are scratch that the next line overwrites), each chunk a constant
// two-register shuffle of a window of the line's sources and a register of
// the chunk's fixed characters. The sources, read as one 64-byte stream:
//
//   T   the line's eight offset digits, then the digits of bytes 0-3
//   D0  the two hex digits of bytes 0-7
//   D1  the two hex digits of bytes 8-15
//   C   the character column
//
// A chunk's window is one of them or the 16 bytes across two neighbours
// that start at the first byte it needs. The windows, the shuffles and the
// fixed characters are worked out at compile time.
//
// Where the port's baseline lacks the unit, everything from the kernel on
// is compiled for it by a target pragma, after every header: all of it has
// internal linkage but the entry point, so nothing built for the unit can
// be taken for a baseline function of the same name elsewhere, and the
// entry point is called only once the unit is found.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels/kernels.h"

#ifdef HEXCAT_VECTOR

#ifdef HEXCAT_VX
#include <sys/auxv.h>

#pragma GCC push_options
#pragma GCC target("arch=z13")
#endif

namespace hexcat {

namespace {

using u8x16 = unsigned char __attribute__((vector_size(16)));
using u32x4 = std::uint32_t __attribute__((vector_size(16)));

// How a register is stored: byte i of the 16 in memory is its element
// i ^ SWAPPED. POWER8 in little-endian mode stores vectors with their two
// halves swapped, unless each store is preceded by a swap; the kernel
// stores chunks so and shuffles them into that order, at no cost.
#ifdef HEXCAT_VSX
constexpr int SWAPPED = 8;
#else
constexpr int SWAPPED = 0;
#endif

// Where a byte of a chunk comes from: index i < 16 is byte i of the
// chunk's window, 16 + i byte i of its fixed characters. Element i of the
// chunk's register takes byte index[i] (in the order it is stored).
struct chunk {
    int window; // stream position of the window's first byte
    int index[16];
    unsigned char fixed[16];
};

struct plan {
    chunk chunks[5];
};

// The stream position of byte j of a line (0 to 79), or -1 for a fixed
// character, which goes to fixed (0 for the scratch bytes past the line).
constexpr int streampos(int j, unsigned char &fixed)
{
    fixed = 0;
    if (j < 8)
        return j; // offset digit, in T
    if (j == 8) {
        fixed = ':';
        return -1;
    }
    if (j < 57) {
        const int cell = (j - 9) / 3, r = (j - 9) % 3;
        if (r == 0) {
            fixed = ' ';
            return -1;
        }
        const int pos = 16 + 2 * cell + r - 1; // D0 then D1
        return j < 16 ? pos - 8 : pos;         // the first cells also lie in T
    }
    if (j < 60) {
        fixed = j == 59 ? '|' : ' ';
        return -1;
    }
    if (j < 76)
        return 48 + j - 60; // C
    fixed = static_cast<unsigned char>(j == 76 ? '|' : j == 77 ? '\n' : 0);
    return -1;
}

constexpr plan makeplan()
{
    plan pl{};
    for (int k = 0; k < 5; k++) {
        chunk &c = pl.chunks[k];
        int lo = 64, hi = -1;
        for (int i = 0; i < 16; i++) {
            unsigned char fixed = 0;
            const int pos = streampos(16 * k + i, fixed);
            if (pos >= 0) {
                lo = pos < lo ? pos : lo;
                hi = pos > hi ? pos : hi;
            }
        }
        c.window = lo / 16 == hi / 16 ? lo / 16 * 16 : lo;
        // Where the window's bytes run on in order into the fixed
        // characters (the last chunk: chars 4-15, then "|\n"), the fixed
        // ones are placed so that the shuffle is one byte rotation of the
        // two registers; elsewhere fixed byte i of the chunk is fixed[i].
        int shift = 0; // data byte i of a rotation is byte i + shift of the window
        for (int i = 0; i < 16; i++) {
            unsigned char fixed = 0;
            const int pos = streampos(16 * k + i, fixed);
            if (pos >= 0)
                shift = pos - c.window - i;
        }
        bool rotation = shift > 0;
        for (int i = 0; i < 16; i++) {
            unsigned char fixed = 0;
            const int pos = streampos(16 * k + i, fixed);
            rotation =
                rotation && (pos >= 0 ? pos - c.window == i + shift : i + shift >= 16 && i + shift < 32);
        }
        for (int i = 0; i < 16; i++) {
            unsigned char fixed = 0;
            const int pos = streampos(16 * k + i, fixed);
            const int at = rotation ? i + shift : 16 + i;
            if (pos >= 0) {
                c.index[i ^ SWAPPED] = pos - c.window;
            } else {
                c.index[i ^ SWAPPED] = at;
                c.fixed[at - 16] = fixed;
            }
        }
    }
    return pl;
}

inline constexpr plan PLAN = makeplan();

// Every window within its two registers, every index within its chunk.
constexpr bool planfits()
{
    for (const chunk &c : PLAN.chunks) {
        if (c.window < 0 || c.window > 48)
            return false;
        for (int i : c.index)
            if (i < 0 || i >= 32)
                return false;
    }
    return true;
}
static_assert(planfits());

template <class V> [[gnu::always_inline]] inline V load(const void *p)
{
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Stores a chunk: byte i of v at d + at + (i ^ SWAPPED).
template <int at> [[gnu::always_inline]] inline void store(char *d, u8x16 v)
{
#ifdef HEXCAT_VSX
    // The store takes an index register: one for each at, set once.
    __builtin_vsx_st_elemrev_v2di((__vector signed long long)v, at, reinterpret_cast<long long *>(d));
#else
    __builtin_memcpy(d + at, &v, sizeof v);
#endif
}

template <class V> [[gnu::always_inline]] inline V splat(unsigned char b)
{
    return V{b, b, b, b, b, b, b, b, b, b, b, b, b, b, b, b};
}

// The 16 bytes of a and b (as one 32-byte row) that index selects.
template <const int (&index)[16], std::size_t... i>
[[gnu::always_inline]] inline u8x16 shuffle(u8x16 a, u8x16 b, std::index_sequence<i...> /*bytes*/)
{
    return __builtin_shufflevector(a, b, index[i]...);
}

template <int at, std::size_t... i>
[[gnu::always_inline]] inline u8x16 rotate(u8x16 a, u8x16 b, std::index_sequence<i...> /*bytes*/)
{
    return __builtin_shufflevector(a, b, (at + static_cast<int>(i))...);
}

// The uppercase hex digit of each nibble n (0 to 15): a lookup in a table
// of the 16 digits, which GCC makes one byte shuffle by a variable index.
[[gnu::always_inline]] inline u8x16 hexdigit(u8x16 n)
{
    const u8x16 digits = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    return __builtin_shuffle(digits, n);
}

// The stream T D0 D1 C of a line.
struct stream {
    u8x16 r[4];
};

// The window of the stream from byte at on.
template <int at> [[gnu::always_inline]] inline u8x16 window(const stream &s)
{
    static_assert(at >= 0 && at <= 48);
    if constexpr (at % 16 == 0)
        return s.r[at / 16];
    else
        return rotate<at % 16>(s.r[at / 16], s.r[at / 16 + 1], std::make_index_sequence<16>());
}

template <int k> [[gnu::always_inline]] inline u8x16 chunkof(const stream &s, u8x16 fixed)
{
    constexpr const chunk &c = PLAN.chunks[k];
    return shuffle<c.index>(window<c.window>(s), fixed, std::make_index_sequence<16>());
}

// The fixed characters of the five chunks.
struct constants {
    u8x16 fixed[5];
};

[[gnu::always_inline]] inline constants fixedchars()
{
    constants k;
    for (int c = 0; c < 5; c++)
        k.fixed[c] = load<u8x16>(PLAN.chunks[c].fixed);
    return k;
}

// Writes the line of block x at d: 80 bytes, the last two scratch. Of the
// offset digits od, the line's are the first eight (second false) or the
// last eight (second true).
template <bool second> [[gnu::always_inline]] inline void line(const constants &k, char *d, u8x16 x, u8x16 od)
{
    const u8x16 hi = hexdigit(x >> 4);
    const u8x16 lo = hexdigit(x & splat<u8x16>(0x0F));
    stream s;
    s.r[1] = __builtin_shufflevector(hi, lo, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    s.r[2] = __builtin_shufflevector(hi, lo, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    // A byte from 0x20 to 0x7E shows as itself, any other as a dot.
    s.r[3] = x - splat<u8x16>(0x20) < splat<u8x16>(0x7F - 0x20) ? x : splat<u8x16>('.');
    constexpr int o = second ? 8 : 0;
    s.r[0] = __builtin_shufflevector(od, s.r[1], o, o + 1, o + 2, o + 3, o + 4, o + 5, o + 6, o + 7, 16, 17,
                                     18, 19, 20, 21, 22, 23);
    store<0>(d, chunkof<0>(s, k.fixed[0]));
    store<16>(d, chunkof<1>(s, k.fixed[1]));
    store<32>(d, chunkof<2>(s, k.fixed[2]));
    store<48>(d, chunkof<3>(s, k.fixed[3]));
    store<64>(d, chunkof<4>(s, k.fixed[4]));
}

// The offset digits of the two lines of a step, whose offsets are lanes 0
// and 1 of offsets: the first line's in bytes 0-7, the second's in 8-15.
[[gnu::always_inline]] inline u8x16 offsetdigits(u32x4 offsets)
{
    const auto b = (u8x16)offsets;
    // Each offset's bytes, most significant first; then their nibbles, the
    // high ones of both offsets first.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const u8x16 be = __builtin_shufflevector(b, b, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4);
#else
    const u8x16 be = b;
#endif
    const u8x16 n = __builtin_shufflevector(be >> 4, be & splat<u8x16>(0x0F), 0, 1, 2, 3, 4, 5, 6, 7, 16, 17,
                                            18, 19, 20, 21, 22, 23);
    const u8x16 h = hexdigit(n);
    return __builtin_shufflevector(h, h, 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
}

// Offsets of 4 GiB and above (wide) put their high digits before each line.
// That prefix is stored after the previous line, whose scratch bytes it
// overwrites. h comes by value, so that the stores cannot change it.
template <bool wide>
[[gnu::always_inline]] inline char *lines(char *d, const unsigned char *p, std::uint32_t low,
                                          const highpart h, std::size_t n)
{
    const constants k = fixedchars();
    u32x4 offsets = {low, low + 16, 0, 0};
    const u32x4 step = {32, 32, 0, 0};
    for (; n >= 2; n -= 2, p += 32) {
        const u8x16 od = offsetdigits(offsets);
        offsets += step;
        if constexpr (wide) {
            __builtin_memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<false>(k, d, load<u8x16>(p), od);
        d += LINE;
        if constexpr (wide) {
            __builtin_memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<true>(k, d, load<u8x16>(p + 16), od);
        d += LINE;
    }
    if (n > 0) {
        if constexpr (wide) {
            __builtin_memcpy(d, h.digits, 8);
            d += h.len;
        }
        line<false>(k, d, load<u8x16>(p), offsetdigits(offsets));
        d += LINE;
    }
    return d;
}

[[gnu::always_inline]] inline char *anylines(char *d, const unsigned char *p, std::uint32_t low,
                                             const highpart &high, std::size_t n)
{
    return high.len > 0 ? lines<true>(d, p, low, high, n) : lines<false>(d, p, low, high, n);
}

} // namespace

#ifdef HEXCAT_VSX
char *linesvsx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return anylines(d, p, low, high, n);
}
#endif

#ifdef HEXCAT_VX
char *linesvx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return anylines(d, p, low, high, n);
}

#endif

} // namespace hexcat

#ifdef HEXCAT_VX
#pragma GCC pop_options

// The check for the unit, compiled for the baseline.
namespace hexcat {
bool havevx() { return (getauxval(AT_HWCAP) & HWCAP_S390_VXRS) != 0; }
} // namespace hexcat
#endif

#endif
