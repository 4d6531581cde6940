// The table of line kernels and the choice among them.
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat {

namespace {

bool always() { return true; }

constexpr kernel TABLE[] = {
#ifdef HEXCAT_X86
    {"avx2", linesavx2, haveavx2},
    {"ssse3", linesssse3, havessse3},
#endif
#ifdef HEXCAT_NEON
    {"neon", linesneon, always},
#endif
#ifdef HEXCAT_VSX
    {"vsx", linesvsx, always},
#endif
#ifdef HEXCAT_VX
    {"vx", linesvx, havevx},
#endif
#ifdef HEXCAT_NEON32
    {"neon", linesneon32, haveneon32},
#endif
#if defined(HEXCAT_WORDWISE) && defined(HEXCAT_STRICTALIGN)
    {"wordwise", lineswordwise, always},
#endif
    {"portable", linesportable, always},
#if defined(HEXCAT_WORDWISE) && !defined(HEXCAT_STRICTALIGN)
    {"wordwise", lineswordwise, always},
#endif
};

} // namespace

std::span<const kernel> kernels() { return TABLE; }

const kernel *findkernel(const char *name)
{
    for (const kernel &k : TABLE)
        if ((name == nullptr || std::strcmp(k.name, name) == 0) && k.runs())
            return &k;
    return nullptr;
}

} // namespace hexcat
