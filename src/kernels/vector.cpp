// Line kernels written once in GCC's generic vectors (16 bytes,
// vector_size) and compiled for each vector unit whose shuffles take two
// 16-byte registers: VSX on POWER8 and later (always there on ppc64el) and
// the z13 vector facility on s390x (chosen at run time). Two lines per
// step, as the AArch64 kernel does.
//
// Each line is stored as five 16-byte chunks (the last two bytes of the
// fifth are scratch that the next line overwrites), each chunk a constant
// two-register shuffle of its window of the line's stream (plan.h) and a
// register of the chunk's fixed characters.
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
#include "kernels/plan.h"

#ifdef HEXCAT_VECTOR

#ifdef HEXCAT_VX
#include <sys/auxv.h>

#pragma GCC push_options
#pragma GCC target("arch=z13")
#endif

#include "kernels/steps.h"

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

// Chunk k of a line as one two-register shuffle: index i < 16 is byte i
// of the chunk's window, 16 + i byte i of its register of fixed characters.
// Element i of the chunk's register takes byte index[i] (in the order it is
// stored).
struct chunk {
    int window; // stream position of the window's first byte
    int index[16];
    unsigned char fixed[16];
};

constexpr chunk chunkof(int k)
{
    const chunks::chunk &c = chunks::PLAN<0>.part[k];
    chunk v{c.window, {}, {}};
    for (int i = 0; i < 16; i++) {
        v.index[i ^ SWAPPED] = c.from[i] >= 0 ? c.from[i] : c.rotate > 0 ? i + c.rotate : 16 + i;
        v.fixed[i] = static_cast<unsigned char>(c.rotate > 0 ? c.after[i] : c.fixed[i]);
    }
    return v;
}

struct plan {
    chunk chunks[5];
};
inline constexpr plan PLAN = {{chunkof(0), chunkof(1), chunkof(2), chunkof(3), chunkof(4)}};
static_assert(chunks::PLAN<0>.chunks == 5 && chunks::PLAN<0>.fits);

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
[[gnu::always_inline]] inline u8x16 hexdigit(u8x16 n) { return __builtin_shuffle(load<u8x16>(DIGITS), n); }

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

template <int k> [[gnu::always_inline]] inline u8x16 chunkat(const stream &s, u8x16 fixed)
{
    constexpr const chunk &c = PLAN.chunks[k];
    return shuffle<c.index>(window<c.window>(s), fixed, std::make_index_sequence<16>());
}

template <std::size_t... k>
[[gnu::always_inline]] inline void storechunks(char *d, const stream &s, const u8x16 (&fixed)[5],
                                               std::index_sequence<k...> /*chunks*/)
{
    (store<16 * k>(d, chunkat<k>(s, fixed[k])), ...);
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

// Two lines a step (steps.h), with the fixed characters of the five
// chunks in registers.
struct step {
    u8x16 fixed[5];
    char high[8];
    [[gnu::always_inline]] explicit step(const highpart &h)
    {
        for (int c = 0; c < 5; c++)
            fixed[c] = load<u8x16>(PLAN.chunks[c].fixed);
        __builtin_memcpy(high, h.digits, 8);
    }
    [[gnu::always_inline]] static u32x4 first(std::uint32_t low) { return u32x4{low, low + 16, 0, 0}; }
    [[gnu::always_inline]] static u32x4 next(u32x4 o) { return o + u32x4{32, 32, 0, 0}; }
    [[gnu::always_inline]] static u8x16 digitsof(u32x4 o) { return offsetdigits(o); }
    [[gnu::always_inline]] void prefix(char *d) const { __builtin_memcpy(d, high, 8); }

    // The line of the block at p at d: 80 bytes, the last two scratch. Of
    // the offset digits od, the line's are the first eight (SECOND false)
    // or the last eight.
    template <bool SECOND> [[gnu::always_inline]] void line(char *d, const unsigned char *p, u8x16 od) const
    {
        const u8x16 x = load<u8x16>(p);
        const u8x16 hi = hexdigit(x >> 4);
        const u8x16 lo = hexdigit(x & splat<u8x16>(0x0F));
        stream s;
        s.r[1] = __builtin_shufflevector(hi, lo, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        s.r[2] =
            __builtin_shufflevector(hi, lo, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        s.r[3] = x - splat<u8x16>(FIRSTPRINTABLE) < splat<u8x16>(LASTPRINTABLE + 1 - FIRSTPRINTABLE)
                     ? x
                     : splat<u8x16>(DOT);
        constexpr int o = SECOND ? 8 : 0;
        s.r[0] = __builtin_shufflevector(od, s.r[1], o, o + 1, o + 2, o + 3, o + 4, o + 5, o + 6, o + 7, 16,
                                         17, 18, 19, 20, 21, 22, 23);
        storechunks(d, s, fixed, std::make_index_sequence<5>());
    }
};

} // namespace

#ifdef HEXCAT_VSX
char *linesvsx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return steps::lines<step>(d, p, low, high, n);
}
#endif

#ifdef HEXCAT_VX
char *linesvx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return steps::lines<step>(d, p, low, high, n);
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
