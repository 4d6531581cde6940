// Confinement at start-up with Landlock and a seccomp filter (see confine.h).
#include "confine.h"

#if defined(__linux__) && defined(HEXCAT_CONFINE)
#define HEXCAT_LANDLOCK 1
#include <array>
#include <cerrno>
#include <cstddef>
#include <elf.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
// The kernel's headers are not everywhere: a C library that brings its own
// (musl's) has none. Where they are, they check the numbers below; where
// they are not, the tool confines itself all the same.
#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif
#if __has_include(<linux/audit.h>)
#include <linux/audit.h>
#endif
#if __has_include(<linux/seccomp.h>)
#include <linux/seccomp.h>
#endif

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

// The rights of Landlock's ABIs, for headers that lack them (Linux 6.1's
// know ABI 2, and a C library without the kernel's headers none): a build
// anywhere confines as fully as the running kernel allows.
#ifndef LANDLOCK_CREATE_RULESET_VERSION
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0) // ABI 1
#define LANDLOCK_ACCESS_FS_EXECUTE (1ULL << 0)
#define LANDLOCK_ACCESS_FS_WRITE_FILE (1ULL << 1)
#define LANDLOCK_ACCESS_FS_REMOVE_DIR (1ULL << 4)
#define LANDLOCK_ACCESS_FS_REMOVE_FILE (1ULL << 5)
#define LANDLOCK_ACCESS_FS_MAKE_CHAR (1ULL << 6)
#define LANDLOCK_ACCESS_FS_MAKE_DIR (1ULL << 7)
#define LANDLOCK_ACCESS_FS_MAKE_REG (1ULL << 8)
#define LANDLOCK_ACCESS_FS_MAKE_SOCK (1ULL << 9)
#define LANDLOCK_ACCESS_FS_MAKE_FIFO (1ULL << 10)
#define LANDLOCK_ACCESS_FS_MAKE_BLOCK (1ULL << 11)
#define LANDLOCK_ACCESS_FS_MAKE_SYM (1ULL << 12)
#endif
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
    long fd = syscall(SYS_landlock_create_ruleset, &attr, size, 0);
    if (fd < 0)
        return -errno;
    int result = syscall(SYS_landlock_restrict_self, fd, 0) == 0 ? static_cast<int>(abi) : -errno;
    close(static_cast<int>(fd));
    return result;
}

// The filter's processor: the audit architecture that the kernel gives the
// filter with each call, which tells the calling conventions apart (an
// x86-64 process may also make i386 calls, through int 0x80, and x32
// calls). One row a processor: its ELF machine, and the kernel's name for
// its audit architecture, which checks the rule below where the kernel's
// headers are at hand.
#if __has_include(<linux/audit.h>)
#define FILTERROW(machine, audit) constexpr std::uint32_t FILTERMACHINE = (machine), FILTERAUDIT = (audit);
#else
#define FILTERROW(machine, audit) constexpr std::uint32_t FILTERMACHINE = (machine), FILTERAUDIT = 0;
#endif
#if defined(__x86_64__)
FILTERROW(EM_X86_64, AUDIT_ARCH_X86_64)
#elif defined(__i386__)
FILTERROW(EM_386, AUDIT_ARCH_I386)
#elif defined(__aarch64__) && defined(__AARCH64EL__)
FILTERROW(EM_AARCH64, AUDIT_ARCH_AARCH64)
#elif defined(__arm__) && defined(__ARMEL__)
FILTERROW(EM_ARM, AUDIT_ARCH_ARM)
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIO32
FILTERROW(EM_MIPS, AUDIT_ARCH_MIPSEL)
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
FILTERROW(EM_MIPS, AUDIT_ARCH_MIPSEL64)
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIN32
FILTERROW(EM_MIPS, AUDIT_ARCH_MIPSEL64N32)
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
FILTERROW(EM_PPC64, AUDIT_ARCH_PPC64LE)
#elif defined(__s390x__)
FILTERROW(EM_S390, AUDIT_ARCH_S390X)
#elif defined(__riscv) && __riscv_xlen == 64
FILTERROW(EM_RISCV, AUDIT_ARCH_RISCV64)
#else
// Any other processor goes without the filter, as the configure step says.
#define HEXCAT_NOFILTER 1
#endif
#ifndef HEXCAT_NOFILTER
#define HEXCAT_FILTER 1
// The rule: the machine, a flag for a 64-bit ABI (x86-64's x32 and MIPS's
// n32 among them: 64-bit registers, 32-bit pointers), one for a
// little-endian ABI, and MIPS's own flag for n32.
#if defined(_MIPS_SIM) && defined(_ABIN32)
constexpr bool N32 = _MIPS_SIM == _ABIN32;
#else
constexpr bool N32 = false;
#endif
constexpr std::uint32_t FILTERARCH =
    FILTERMACHINE | (sizeof(void *) == 8 || FILTERMACHINE == EM_X86_64 || N32 ? 0x80000000U : 0) |
    (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x40000000U : 0) | (N32 ? 0x20000000U : 0);
static_assert(FILTERAUDIT == 0 || FILTERARCH == FILTERAUDIT);
#endif

} // namespace
#endif

#ifdef HEXCAT_FILTER
namespace {

// The filter is a classic BPF program made here at compile time, from the
// call numbers of the target's own <sys/syscall.h> (glibc's and musl's
// alike), and installed from static storage: the run stays free of heap
// memory and of any library but the C library, where libseccomp would build
// the program on the heap at run time.
//
// The kernel's seccomp and BPF interface, which has not changed since Linux
// 3.5: the constants, and the layout of struct seccomp_data, what the filter
// reads about each call.
constexpr int MODEFILTER = 2; // SECCOMP_MODE_FILTER
constexpr std::uint32_t RETALLOW = 0x7fff0000U;
constexpr std::uint32_t RETERRNO = 0x00050000U;
#ifdef SECCOMP_RET_ERRNO
static_assert(MODEFILTER == SECCOMP_MODE_FILTER && RETALLOW == SECCOMP_RET_ALLOW &&
              RETERRNO == SECCOMP_RET_ERRNO);
#endif
constexpr std::uint16_t LOADWORD = 0x20; // BPF_LD | BPF_W | BPF_ABS
constexpr std::uint16_t JUMPEQ = 0x15;   // BPF_JMP | BPF_JEQ | BPF_K
constexpr std::uint16_t JUMPSET = 0x45;  // BPF_JMP | BPF_JSET | BPF_K
constexpr std::uint16_t RETURN = 0x06;   // BPF_RET | BPF_K
constexpr std::uint32_t NROFFSET = 0;
constexpr std::uint32_t ARCHOFFSET = 4;
// The low 32 bits of argument i: where the kernel reads an int argument
// (flags, a command) on every ABI.
constexpr std::uint32_t argoffset(int i)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return 16 + 8 * i + 4;
#else
    return 16 + 8 * i;
#endif
}
#ifdef __x86_64__
constexpr std::uint16_t JUMPGE = 0x35; // BPF_JMP | BPF_JGE | BPF_K
// An x32 call: a call number with this bit, on the x86-64 architecture.
constexpr std::uint32_t X32BIT = 0x40000000U;
#endif

// The calls a dump makes, with the forms the C libraries use for each
// (glibc and musl, 32 and 64 bits): looking up and opening for reading,
// reading, the file's status, waiting on a full non-blocking output,
// closing, exiting and returning from a signal handler; writing is below.
// The calls of the table in system.h must all be here, in their every form.
constexpr long FILTERCALLS[] = {
    SYS_read,
    SYS_close,
#ifdef SYS_newfstatat
    SYS_newfstatat,
#endif
#ifdef SYS_fstatat64
    SYS_fstatat64,
#endif
#ifdef SYS_statx
    SYS_statx,
#endif
#ifdef SYS_stat
    SYS_stat,
#endif
#ifdef SYS_stat64
    SYS_stat64,
#endif
#ifdef SYS_fstat
    SYS_fstat,
#endif
#ifdef SYS_fstat64
    SYS_fstat64,
#endif
#ifdef SYS_poll
    SYS_poll,
#endif
#ifdef SYS_ppoll
    SYS_ppoll,
#endif
#ifdef SYS_ppoll_time64
    SYS_ppoll_time64,
#endif
    SYS_exit_group,
    SYS_exit,
#ifdef SYS_rt_sigreturn
    SYS_rt_sigreturn,
#endif
#ifdef SYS_sigreturn
    SYS_sigreturn,
#endif
#ifdef SYS_restart_syscall
    SYS_restart_syscall,
#endif
};

// The calls that write, allowed on standard output and standard error
// alone, whatever those are: the descriptor is their first argument.
constexpr long FILTERWRITES[] = {SYS_write, SYS_writev};

// The calls that open a file, with the argument that holds the flags. An
// open for writing, creating, truncating or appending is refused (O_TMPFILE
// also needs write access).
struct opencall {
    long nr;
    int flagsarg;
};
constexpr opencall FILTEROPENS[] = {
    {SYS_openat, 2},
#ifdef SYS_open
    {SYS_open, 1},
#endif
};
constexpr std::uint32_t OPENREFUSED = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;

// fcntl, with the commands allowed: the close-on-exec flag (musl sets it
// so) on any descriptor, and the pipe buffer's size (the output queue's,
// see output.cpp) on standard output alone.
constexpr long FILTERFCNTLS[] = {
    SYS_fcntl,
#ifdef SYS_fcntl64
    SYS_fcntl64,
#endif
};
constexpr int FILTERCOMMANDS[] = {F_GETFD, F_SETFD};
#ifdef F_SETPIPE_SZ
constexpr int FILTERPIPECOMMANDS[] = {F_GETPIPE_SZ, F_SETPIPE_SZ};
#else
constexpr int FILTERPIPECOMMANDS[] = {-1}; // none matches
#endif

constexpr std::uint32_t refuse(int err) { return RETERRNO | static_cast<std::uint32_t>(err); }

// The program: the architecture first; then each call of the lists, whose
// match jumps to "allow" or to the check of its arguments; then "refuse",
// the argument checks, "refuse the argument" and "allow" (a classic BPF
// program jumps only forwards).
constexpr std::size_t NPLAIN = std::size(FILTERCALLS);
constexpr std::size_t NWRITE = std::size(FILTERWRITES);
constexpr std::size_t NOPEN = std::size(FILTEROPENS);
constexpr std::size_t NFCNTL = std::size(FILTERFCNTLS);
constexpr std::size_t NCOMMANDS = std::size(FILTERCOMMANDS);
constexpr std::size_t NPIPECOMMANDS = std::size(FILTERPIPECOMMANDS);
#ifdef __x86_64__
constexpr std::size_t NHEAD = 4;
#else
constexpr std::size_t NHEAD = 3;
#endif
constexpr std::size_t REFUSE = NHEAD + NPLAIN + NWRITE + NOPEN + NFCNTL;
constexpr std::size_t OPENCHECKS = REFUSE + 1; // 2 instructions each
constexpr std::size_t FCNTLCHECK = OPENCHECKS + 2 * NOPEN;
constexpr std::size_t WRITECHECK = FCNTLCHECK + 1 + NCOMMANDS + NPIPECOMMANDS;
constexpr std::size_t PIPECHECK = WRITECHECK + 2;
constexpr std::size_t REFUSEARG = PIPECHECK + 2;
constexpr std::size_t ALLOW = REFUSEARG + 1;
constexpr std::size_t FILTERLEN = ALLOW + 1;
static_assert(FILTERLEN < 256, "every jump fits in 8 bits");

// The jump from the instruction at at to target, which comes after it.
constexpr std::uint8_t jump(std::size_t at, std::size_t target)
{
    return static_cast<std::uint8_t>(target - at - 1);
}

constexpr std::array<filterinsn, FILTERLEN> makefilter()
{
    std::array<filterinsn, FILTERLEN> f{};
    std::size_t i = 0;
    auto put = [&](std::uint16_t code, std::size_t jt, std::size_t jf, std::uint32_t k) {
        f[i] = {code, jt == 0 ? std::uint8_t{0} : jump(i, jt), jf == 0 ? std::uint8_t{0} : jump(i, jf), k};
        i++;
    };
    // A target of 0 is the next instruction.
    put(LOADWORD, 0, 0, ARCHOFFSET);
    put(JUMPEQ, 0, REFUSE, FILTERARCH);
    put(LOADWORD, 0, 0, NROFFSET);
#ifdef __x86_64__
#ifdef __ILP32__
    put(JUMPGE, 0, REFUSE, X32BIT);
#else
    put(JUMPGE, REFUSE, 0, X32BIT);
#endif
#endif
    for (long nr : FILTERCALLS)
        put(JUMPEQ, ALLOW, 0, static_cast<std::uint32_t>(nr));
    for (long nr : FILTERWRITES)
        put(JUMPEQ, WRITECHECK, 0, static_cast<std::uint32_t>(nr));
    for (std::size_t k = 0; k < NOPEN; k++)
        put(JUMPEQ, OPENCHECKS + 2 * k, 0, static_cast<std::uint32_t>(FILTEROPENS[k].nr));
    for (long nr : FILTERFCNTLS)
        put(JUMPEQ, FCNTLCHECK, 0, static_cast<std::uint32_t>(nr));
    put(RETURN, 0, 0, refuse(ENOSYS));
    for (const opencall &o : FILTEROPENS) {
        put(LOADWORD, 0, 0, argoffset(o.flagsarg));
        put(JUMPSET, REFUSEARG, ALLOW, OPENREFUSED);
    }
    put(LOADWORD, 0, 0, argoffset(1));
    for (int cmd : FILTERCOMMANDS)
        put(JUMPEQ, ALLOW, 0, static_cast<std::uint32_t>(cmd));
    for (std::size_t k = 0; k < NPIPECOMMANDS; k++)
        put(JUMPEQ, PIPECHECK, k + 1 < NPIPECOMMANDS ? 0 : REFUSEARG,
            static_cast<std::uint32_t>(FILTERPIPECOMMANDS[k]));
    // The descriptor: a write to standard error passes, and then, as the
    // pipe's size, one to standard output.
    put(LOADWORD, 0, 0, argoffset(0));
    put(JUMPEQ, ALLOW, 0, STDERR_FILENO);
    put(LOADWORD, 0, 0, argoffset(0));
    put(JUMPEQ, ALLOW, REFUSEARG, STDOUT_FILENO);
    put(RETURN, 0, 0, refuse(EACCES));
    put(RETURN, 0, 0, RETALLOW);
    return f;
}

constexpr std::array<filterinsn, FILTERLEN> FILTER = makefilter();

// The kernel's struct sock_fprog.
struct filterprog {
    unsigned short len;
    const filterinsn *filter;
};

int installfilter()
{
    filterprog prog{static_cast<unsigned short>(FILTER.size()), FILTER.data()};
    return prctl(PR_SET_SECCOMP, MODEFILTER, &prog, 0, 0) == 0 ? 1 : -errno;
}

} // namespace
#endif

confinement confine([[maybe_unused]] int newest, [[maybe_unused]] bool filter)
{
    confinement result{0, 0};
#ifdef HEXCAT_LANDLOCK
    if (newest > CONFINEABI)
        newest = CONFINEABI;
    // Later reports give the errno of their own calls; this leaves no trace
    // all the same.
    int saved = errno;
    // Without no_new_privs an unprivileged process may neither restrict
    // itself with Landlock nor install a filter.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        result = {-errno, -errno};
    } else {
#ifdef HEXCAT_FILTER
        if (filter)
            result.filter = installfilter();
#endif
        // The filter refuses, with its other calls, all that Landlock would
        // (Landlock's own calls too). Landlock would add only its scoping,
        // which keeps the tool out of its user's other processes and so out
        // of /proc/PID/fd, root and cwd: reads a dump must make. So it is
        // the stand-in where the filter is missing, and only then.
        if (result.filter != 1)
            result.landlock = landlock(newest);
    }
    errno = saved;
#endif
    return result;
}

const filterinsn *filterprogram(std::size_t *count)
{
#ifdef HEXCAT_FILTER
    *count = FILTER.size();
    return FILTER.data();
#else
    *count = 0;
    return nullptr;
#endif
}

} // namespace hexcat
