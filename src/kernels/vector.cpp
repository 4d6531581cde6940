// Line kernels in GCC's generic vectors (vector_size): the line template
// (lines.h) over the operations of a vector unit whose shuffles take two
// registers, VSX on POWER8 and later (ppc64el's baseline) and the z13
// vector facility on s390x (chosen at run time); each chunk is one
// constant shuffle of its window and its fixed characters. Where the
// baseline lacks the unit, all from the kernel on is compiled for it by a
// target pragma, after every header, with internal linkage but the entry
// point, which is called only once the unit is found.
#include <cstdint>

#include "kernels/kernels.h"

#ifdef HEXCAT_VECTOR
#ifdef HEXCAT_VX
#include <sys/auxv.h>

#pragma GCC push_options
#pragma GCC target("arch=z13")
#endif
#include "kernels/lines.h"

namespace hexcat {
namespace {
using u8x16 = unsigned char __attribute__((vector_size(16)));
using u32x4 = std::uint32_t __attribute__((vector_size(16)));

// The bytes from a then b (one 32-byte row) that the constant mask selects.
inline u8x16 pick(u8x16 a, u8x16 b, u8x16 mask) { return __builtin_shuffle(a, b, mask); }
constexpr u8x16 RAMP = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

template <class V> struct generic {
    using reg = u8x16;
    static u8x16 block(const void *p)
    {
        u8x16 v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static u8x16 table(const void *t) { return block(t); }
    static u8x16 splat(unsigned char b) { return u8x16{} + b; }
    static u8x16 shuffle(u8x16 r, u8x16 index) { return __builtin_shuffle(r, index); }
    template <int n> static u8x16 alignr(u8x16 a, u8x16 b)
    {
        return pick(a, b, RAMP + static_cast<unsigned char>(n));
    }
    static u8x16 ziplo(u8x16 a, u8x16 b) { return pick(a, b, RAMP / 2 + (RAMP & 1) * 16); }
    static u8x16 ziphi(u8x16 a, u8x16 b) { return pick(a, b, RAMP / 2 + (RAMP & 1) * 16 + 8); }
    static u8x16 zip64(u8x16 a, u8x16 b) { return pick(a, b, RAMP + (RAMP & 8)); }
    static u8x16 high(u8x16 r) { return r >> 4; }
    static u8x16 low(u8x16 r) { return r & 0x0F; }
    static u8x16 shown(u8x16 x)
    {
        return x - splat(FIRSTPRINTABLE) < splat(LASTPRINTABLE + 1 - FIRSTPRINTABLE) ? x : splat(DOT);
    }
    static u8x16 first(std::uint32_t low) { return (u8x16)u32x4{low, low + 16}; }
    static u8x16 next(u8x16 o) { return (u8x16)((u32x4)o + 32); }
    // Each offset's bytes reversed where the processor puts its low byte
    // first.
    static u8x16 nibbles(u8x16 o)
    {
        constexpr u8x16 reversed = {3, 2, 1, 0, 7, 6, 5, 4, 8, 9, 10, 11, 12, 13, 14, 15};
        const u8x16 be = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? pick(o, o, reversed) : o;
        return ziplo(high(be), low(be));
    }

    // Chunk k as one shuffle of its window and its fixed characters (fill):
    // index i < 16 is byte i of the window, 16 + i byte i of fill; element i
    // stored at i ^ V::SWAPPED.
    struct masks {
        unsigned char at[lines::CHUNKS][16];
        constexpr masks() : at()
        {
            for (int k = 0; k < lines::CHUNKS; k++) {
                const chunks::chunk &c = lines::PLAN.part[k];
                for (int i = 0; i < 16; i++)
                    at[k][i ^ V::SWAPPED] = static_cast<unsigned char>(c.from[i] >= 0 ? c.from[i]
                                                                       : c.rotate > 0 ? i + c.rotate
                                                                                      : 16 + i);
            }
        }
    };
    static constexpr masks MASKS{};
    template <int k> static u8x16 chunk(u8x16 window, u8x16 fill)
    {
        return pick(window, fill, block(MASKS.at[k]));
    }
};

#ifdef HEXCAT_VSX
// POWER8 in little-endian mode stores vectors with their two halves
// swapped, unless each store is preceded by a swap: the chunks are
// shuffled into that order, at no cost. The store takes an index register:
// one for each at, set once.
struct vsx : generic<vsx> {
    static constexpr int SWAPPED = 8;
    template <int at> static void store(char *d, u8x16 v)
    {
        __builtin_vsx_st_elemrev_v2di((__vector signed long long)v, at, reinterpret_cast<long long *>(d));
    }
};
} // namespace
char *linesvsx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return lines::run<lines::step<vsx>>(d, p, low, high, n);
}
#endif

#ifdef HEXCAT_VX
struct vx : generic<vx> {
    static constexpr int SWAPPED = 0;
    template <int at> static void store(char *d, u8x16 v) { __builtin_memcpy(d + at, &v, 16); }
};
} // namespace
char *linesvx(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return lines::run<lines::step<vx>>(d, p, low, high, n);
}

} // namespace hexcat

#pragma GCC pop_options

// The check for the unit, compiled for the baseline.
namespace hexcat {
bool havevx() { return (getauxval(AT_HWCAP) & HWCAP_S390_VXRS) != 0; }
#endif

} // namespace hexcat

#endif
