// The table of line kernels and the choice among them.
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat {

bool always() { return true; }

constexpr kernel TABLE[] = {
#define HEXCAT_KERNEL(fn, name, check) {name, lines##fn, check},
#include "kernels/list.h"
#undef HEXCAT_KERNEL
};

std::span<const kernel> kernels() { return TABLE; }

const kernel *findkernel(const char *name)
{
    for (const kernel &k : TABLE)
        if ((name == nullptr || std::strcmp(k.name, name) == 0) && k.supported())
            return &k;
    return nullptr;
}

} // namespace hexcat
