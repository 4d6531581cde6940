// The table of line kernels and the choice among them.
#include <cstring>
#include <string_view>

#include "kernels/kernels.h"

namespace hexcat {

bool always() { return true; }

namespace {

constexpr kernel LIST[] = {
#define HEXCAT_KERNEL(fn, name, check) {name, lines##fn, check},
#include "kernels/list.h"
#undef HEXCAT_KERNEL
};

#ifdef HEXCAT_STRICTALIGN
constexpr bool STRICTALIGN = true;
#else
constexpr bool STRICTALIGN = false;
#endif

// The list's order, but where unaligned stores are fast the wordwise
// kernel, built there to be tested, goes after the portable one.
constexpr bool last(const kernel &k) { return !STRICTALIGN && std::string_view(k.name) == "wordwise"; }
struct ordered {
    kernel k[std::size(LIST)];
    constexpr ordered() : k()
    {
        std::size_t n = 0;
        for (const kernel &x : LIST)
            if (!last(x))
                k[n++] = x;
        for (const kernel &x : LIST)
            if (last(x))
                k[n++] = x;
    }
};
constexpr ordered TABLE;

} // namespace

std::span<const kernel> kernels() { return TABLE.k; }

const kernel *findkernel(const char *name)
{
    for (const kernel &k : TABLE.k)
        if ((name == nullptr || std::strcmp(k.name, name) == 0) && k.supported())
            return &k;
    return nullptr;
}

} // namespace hexcat
