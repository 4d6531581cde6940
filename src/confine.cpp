// Confinement at start-up with Landlock (see confine.h).
#include "confine.h"

#if defined(__linux__) && defined(HEXCAT_CONFINE) && __has_include(<linux/landlock.h>)
#define HEXCAT_LANDLOCK 1
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// The calls have the numbers of the generic table everywhere, after the
// base of the ABI on MIPS; headers older than Linux 5.13 lack them.
#ifndef SYS_landlock_create_ruleset
#ifdef __NR_Linux
#define SYS_landlock_create_ruleset (__NR_Linux + 444)
#define SYS_landlock_restrict_self (__NR_Linux + 446)
#else
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_restrict_self 446
#endif
#endif

// What the kernel's later ABIs added, for older headers (Linux 6.1's knows
// ABI 2): a build anywhere confines as fully as the running kernel allows.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13) // ABI 2
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14) // ABI 3
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0) // ABI 4
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15) // ABI 5
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0) // ABI 6
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#endif

namespace hexcat {

#ifdef HEXCAT_LANDLOCK
namespace {

// The kernel's struct landlock_ruleset_attr as of ABI 6. Each ABI reads the
// fields it knows, and is given only those: 8 bytes up to ABI 3, 16 up to
// ABI 5, 24 from ABI 6 on.
struct rulesetattr {
    std::uint64_t fs;
    std::uint64_t net;
    std::uint64_t scoped;
};
static_assert(sizeof(rulesetattr) == 24);

int landlock(int newest)
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0)
        return -errno;
    if (abi > newest)
        abi = newest;
    // Every right of ABI 1 but reading files and directories.
    rulesetattr attr{
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
            LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
            LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
            LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM,
        0, 0};
    if (abi >= 2)
        attr.fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        attr.fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 4)
        attr.net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (abi >= 5)
        attr.fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    if (abi >= 6)
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    std::size_t size = abi >= 6   ? sizeof attr
                       : abi >= 4 ? offsetof(rulesetattr, scoped)
                                  : offsetof(rulesetattr, net);

    // No rules: nothing of what the ruleset handles is granted anywhere.
    // Without no_new_privs an unprivileged process may not restrict itself.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -errno;
    long fd = syscall(SYS_landlock_create_ruleset, &attr, size, 0);
    if (fd < 0)
        return -errno;
    int result = syscall(SYS_landlock_restrict_self, fd, 0) == 0 ? static_cast<int>(abi) : -errno;
    close(static_cast<int>(fd));
    return result;
}

} // namespace
#endif

int confine([[maybe_unused]] int newest)
{
#ifdef HEXCAT_LANDLOCK
    if (newest > CONFINEABI)
        newest = CONFINEABI;
    // Later reports give the errno of their own calls; this leaves no trace
    // all the same.
    int saved = errno;
    int result = landlock(newest);
    errno = saved;
    return result;
#else
    return 0;
#endif
}

} // namespace hexcat
