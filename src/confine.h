// Confinement at start-up: hexcat only ever reads files and writes its
// standard output and standard error, so before it looks up the first file
// it gives up every other right it can name to the kernel: through a
// seccomp system-call filter, every call a dump does not make, and where
// the kernel refuses the filter, through Landlock, the rights on paths.
#ifndef HEXCAT_CONFINE_H
#define HEXCAT_CONFINE_H

#include <cstddef>
#include <cstdint>

namespace hexcat {

// The newest Landlock ABI known here; ABI 7 adds only audit log flags,
// which confine() leaves alone.
constexpr int CONFINEABI = 7;

// What confine() gave, a field for each layer.
struct confinement {
    // The Landlock ABI version whose rights were given up (1 or more); 0
    // when Landlock was not asked for, the filter being in place, or when
    // the build leaves confinement out (HEXCAT_CONFINE off, or not Linux);
    // or minus the error number of the call that failed when the kernel
    // lacks Landlock or refuses it (ENOSYS, EOPNOTSUPP, EPERM...).
    int landlock;
    // 1 when the system-call filter is in place; 0 when the build has none
    // (as for landlock, or a processor whose calls it does not know) or it
    // was not asked for; or minus the error number of the kernel's refusal
    // (EINVAL without seccomp, and under qemu-user, which refuses a guest's
    // filter).
    int filter;
};

// Sets no_new_privs. Then, when filter is set, installs the system-call
// filter (see FILTERCALLS in confine.cpp): from then on only the calls a
// dump makes are left, opening only for reading, writing only to standard
// output and standard error, and fcntl only for the commands the tool and
// its C library use (the pipe's size on standard output alone); any other
// call fails with ENOSYS, as on a kernel without it, and an open for
// writing, a write to another descriptor or an fcntl command off the list
// with EACCES. Only where the filter is not in place, takes from the
// process, for good, through Landlock the rights to execute, write,
// truncate, create, remove, link or rename files, to use device ioctls on
// files opened later, to bind or connect TCP sockets, to connect to
// abstract Unix sockets outside the process and to signal other processes,
// as far as the running kernel's Landlock ABI knows these rights. Reading
// files and directories stays allowed: under the filter, also those of the
// user's other processes under /proc. Never reports anything and leaves
// errno as it was; where a layer is missing or refused, the process goes on
// without it.
//
// Uses the rights and the ruleset layout of the running kernel's ABI, or of
// ABI newest when that is older: a test confines as an older kernel does.
confinement confine(int newest = CONFINEABI, bool filter = true);

// One instruction of a classic BPF program, as the kernel's struct
// sock_filter lays it out.
struct filterinsn {
    std::uint16_t code;
    std::uint8_t jt;
    std::uint8_t jf;
    std::uint32_t k;
};

// The system-call filter that confine() installs, made when the tool was
// compiled, for the tests' evaluator: its first instruction, and the number
// of instructions in count (0 when the build has no filter).
const filterinsn *filterprogram(std::size_t *count);

} // namespace hexcat

#endif
