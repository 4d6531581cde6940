// The line kernels: each formats a batch of full 16-byte blocks as dump lines,
// byte for byte as the general formatter would, with the instructions of
// one processor family. One list names them, best first (list.h).
#ifndef HEXCAT_KERNELS_H
#define HEXCAT_KERNELS_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "layout.h"

// HEXCAT_PORTABLE builds only the portable kernel, as on other processors.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(HEXCAT_PORTABLE)
#define HEXCAT_X86 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ &&              \
    !defined(HEXCAT_PORTABLE)
#define HEXCAT_NEON 1
#endif
// The generic-vector kernels (vector.cpp), VSX (ppc64el, POWER8 on) and
// the z13 vector facility (s390x, checked at run time), take GCC, the
// ports' compiler, for its shuffles by a variable index; other compilers
// build the portable kernel there. NEON on armhf is checked at run time.
#if defined(__powerpc64__) && defined(__VSX__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ &&               \
    defined(__GNUC__) && !defined(__clang__) && !defined(HEXCAT_PORTABLE)
#define HEXCAT_VSX 1
#endif
#if defined(__s390x__) && defined(__GNUC__) && !defined(__clang__) && !defined(HEXCAT_PORTABLE)
#define HEXCAT_VX 1
#endif
#if defined(__arm__) && !defined(__aarch64__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7 &&                   \
    defined(__ARM_PCS_VFP) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && !defined(HEXCAT_PORTABLE)
#define HEXCAT_NEON32 1
#endif
#if defined(HEXCAT_VSX) || defined(HEXCAT_VX)
#define HEXCAT_VECTOR 1
#endif

// The kernel that stores aligned words only, for processors without
// unaligned stores or where they may trap (HEXCAT_STRICTALIGN, which a build
// may also set, to run those paths on any processor); built on every
// little-endian one, so that it is tested everywhere (its place: list.h).
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define HEXCAT_WORDWISE 1
#endif
#if ((defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)) || defined(__riscv)) &&                         \
    !defined(HEXCAT_STRICTALIGN)
#define HEXCAT_STRICTALIGN 1
#endif

namespace hexcat {

// A line kernel formats n full 16-byte blocks at p as n dump lines at d,
// the first at the offset whose low 32 bits are low and whose digits above
// them are high (highdigits()). The caller keeps the batch below one
// multiple of 2^32, so every line is high's digits, then LINE bytes.
// Offsets need not be multiples of 16; n may be 0. Returns the end of the
// last line; may write up to SLACK bytes beyond it.
using linesfn = char *(*)(char *d, const unsigned char *p, std::uint32_t low, const highpart &high,
                          std::size_t n);

struct kernel {
    const char *name;
    linesfn fn;
    bool (*supported)(); // whether this processor has the instructions it uses
};

// Every kernel built in, best first; the last one runs everywhere.
std::span<const kernel> kernels();

// The first kernel called name (any name when nullptr) that this processor
// runs, or nullptr.
const kernel *findkernel(const char *name);

// The kernels (list.h), and whether this processor runs each.
#define HEXCAT_KERNEL(fn, name, check)                                                                       \
    char *lines##fn(char *d, const unsigned char *p, std::uint32_t low, const highpart &high,                \
                    std::size_t n);                                                                          \
    bool check();
#include "kernels/list.h"
#undef HEXCAT_KERNEL

} // namespace hexcat

#endif
