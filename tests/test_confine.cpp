// Confinement: once confine() has run, files and directories still open for
// reading, standard output and error take writes, and everything else it
// takes away fails. Each attempt is made in a child process left free,
// where it must succeed, then in a child confined as the tool is (the
// system-call filter, or Landlock where the filter is refused), then in
// children confined by Landlock alone, as with each Landlock ABI.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <linux/random.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "confine.h"
#include "system.h"

namespace {

// 0 when r says the call worked, else its errno.
int outcome(long r) { return r < 0 ? errno : 0; }

// Opens path with flags and closes it again.
int opens(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
    int r = outcome(fd);
    close(fd);
    return r;
}

// Reads path as the tool reads a file, through the calls of system.h: 0
// when its four bytes came, else the errno of the call that failed.
int readfour(const std::string &path)
{
    const hexcat::syscalls &sys = hexcat::SYSCALLS;
    struct stat st {};
    char buf[8];
    int fd = sys.stat(path.c_str(), &st) == 0 ? sys.open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC) : -1;
    int r = fd < 0 || sys.fstat(fd, &st) != 0 || sys.read(fd, buf, sizeof buf) != 4 ? errno : 0;
    sys.close(fd);
    return r;
}
// The rows of OnlyReadingIsLeft make every call of the table in system.h,
// as the tool makes it: a call added there needs a row, and the filter must
// let it through.
static_assert(sizeof(hexcat::syscalls) == 9 * sizeof(&readfour), "a row for each call of system.h");

// Binds or connects (call) a new stream socket to the address at addr.
template <typename address> int onsocket(decltype(connect) *call, const address &addr)
{
    const auto *a = reinterpret_cast<const sockaddr *>(&addr);
    int s = socket(a->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int r = s < 0 ? errno : outcome(call(s, a, sizeof addr));
    close(s);
    return r;
}

// The NoNewPrivs field of /proc/self/status, read as the filter allows
// (prctl is not on its list); -1 when not found.
int nonewprivs()
{
    char buf[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
    close(fd);
    buf[n > 0 ? n : 0] = '\0';
    const char *field = strstr(buf, "NoNewPrivs:");
    return field == nullptr ? -1 : atoi(field + sizeof "NoNewPrivs:" - 1);
}

constexpr const char *PUSHKEY = "push a key into the controlling terminal";
constexpr const char *SETXATTR = "set an extended attribute";

// Landlock never stops it.
constexpr int NEVER = 100;

struct attempt {
    const char *name;
    int abi;      // the Landlock ABI from which confinement stops it
    int denied;   // its errno then; 0: it still works
    int filtered; // its errno under the system-call filter; 0: the filter lets it through
    std::function<int()> action;
};

// Makes every attempt in a child process, after prepare() and after
// confine(newest, filter) unless newest is 0. Returns HEAD words: what
// confine() gave for Landlock and the filter (0 when not called), how many
// more descriptors are open after it, whether no_new_privs is set; then
// each attempt's outcome unless both failed.
constexpr std::size_t HEAD = 4;

// Room for n words that a child fills in and its parent reads: under the
// filter, a child may write only to its standard output and error.
struct sharedwords {
    explicit sharedwords(std::size_t count) : n(count)
    {
        void *m = mmap(nullptr, n * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        words = static_cast<int *>(m);
    }
    ~sharedwords() { munmap(words, n * sizeof(int)); }
    std::size_t n;
    int *words;
};

std::vector<int> trial(int newest, bool filter, const std::vector<attempt> &table,
                       const std::function<void()> &prepare)
{
    // The count of words given, then the words.
    sharedwords got(1 + HEAD + table.size());
    pid_t pid = fork();
    if (pid == 0) {
        prepare();
        auto lowestfree = [] {
            int fd = open("/", O_RDONLY | O_CLOEXEC);
            close(fd);
            return fd;
        };
        int before = lowestfree();
        hexcat::confinement c = newest > 0 ? hexcat::confine(newest, filter) : hexcat::confinement{0, 0};
        int *w = got.words + 1;
        *w++ = c.landlock;
        *w++ = c.filter;
        *w++ = lowestfree() - before;
        *w++ = nonewprivs();
        if (c.landlock >= 0 || c.filter > 0)
            for (const auto &a : table)
                *w++ = a.action();
        got.words[0] = static_cast<int>(w - got.words - 1);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    return {got.words + 1, got.words + 1 + got.words[0]};
}

// Why confine() gave r for Landlock where there is nothing to test, or "".
std::string whynot(int r)
{
#if !defined(HEXCAT_CONFINE) || !defined(__linux__)
    if (r == 0)
        return "built without confinement (HEXCAT_CONFINE off)";
#endif
    // The kernel has no Landlock (or qemu-user does not pass it on), has it
    // switched off, or a seccomp filter refuses it. Any other error means
    // that confine() asked wrongly.
    if (r == -ENOSYS || r == -EOPNOTSUPP || r == -EPERM)
        return std::string("Landlock not available here: ") + strerror(-r);
    return "";
}

// Why confine() gave r for the filter where there is nothing to test, or "".
std::string whynotfiltered(int r)
{
#ifndef HEXCAT_HAVE_FILTER
    if (r == 0)
        return "built without a system-call filter (HEXCAT_CONFINE off, or a processor it does not know)";
#endif
    // A kernel without seccomp, or qemu-user, which refuses a guest's
    // filter, give EINVAL; a container's own filter may refuse it.
    if (r == -EINVAL || r == -ENOSYS || r == -EPERM || r == -EACCES)
        return std::string("no system-call filter here: ") + strerror(-r);
    return "";
}

// The system-call filter, run as the kernel runs it, on the calls of this
// target's own headers and its own audit architecture.

// The calls by name, with this target's numbers.
struct callname {
    const char *name;
    long nr;
};
const callname CALLS[] = {
    // On every port.
    {"read", SYS_read},
    {"write", SYS_write},
    {"writev", SYS_writev},
    {"close", SYS_close},
    {"openat", SYS_openat},
    {"exit", SYS_exit},
    {"exit_group", SYS_exit_group},
    {"fcntl", SYS_fcntl},
    {"ioctl", SYS_ioctl},
    {"fchmod", SYS_fchmod},
    {"fchmodat", SYS_fchmodat},
    {"fchown", SYS_fchown},
    {"fchownat", SYS_fchownat},
    {"utimensat", SYS_utimensat},
    {"setxattr", SYS_setxattr},
    {"lsetxattr", SYS_lsetxattr},
    {"fsetxattr", SYS_fsetxattr},
    {"socket", SYS_socket},
    {"connect", SYS_connect},
    {"bind", SYS_bind},
    {"sendto", SYS_sendto},
    {"sendmsg", SYS_sendmsg},
    {"socketpair", SYS_socketpair},
    {"kill", SYS_kill},
    {"tgkill", SYS_tgkill},
    {"mprotect", SYS_mprotect},
    {"execve", SYS_execve},
    {"execveat", SYS_execveat},
    {"clone", SYS_clone},
    {"ptrace", SYS_ptrace},
    {"memfd_create", SYS_memfd_create},
    {"unlinkat", SYS_unlinkat},
    {"linkat", SYS_linkat},
    {"symlinkat", SYS_symlinkat},
    {"mkdirat", SYS_mkdirat},
    {"mknodat", SYS_mknodat},
    {"truncate", SYS_truncate},
    {"ftruncate", SYS_ftruncate},
    {"prctl", SYS_prctl},
    {"dup3", SYS_dup3},
// On some.
#ifdef SYS_newfstatat
    {"newfstatat", SYS_newfstatat},
#endif
#ifdef SYS_fstatat64
    {"fstatat64", SYS_fstatat64},
#endif
#ifdef SYS_statx
    {"statx", SYS_statx},
#endif
#ifdef SYS_stat
    {"stat", SYS_stat},
#endif
#ifdef SYS_stat64
    {"stat64", SYS_stat64},
#endif
#ifdef SYS_fstat
    {"fstat", SYS_fstat},
#endif
#ifdef SYS_fstat64
    {"fstat64", SYS_fstat64},
#endif
#ifdef SYS_poll
    {"poll", SYS_poll},
#endif
#ifdef SYS_ppoll
    {"ppoll", SYS_ppoll},
#endif
#ifdef SYS_ppoll_time64
    {"ppoll_time64", SYS_ppoll_time64},
#endif
#ifdef SYS_rt_sigreturn
    {"rt_sigreturn", SYS_rt_sigreturn},
#endif
#ifdef SYS_sigreturn
    {"sigreturn", SYS_sigreturn},
#endif
#ifdef SYS_restart_syscall
    {"restart_syscall", SYS_restart_syscall},
#endif
#ifdef SYS_fcntl64
    {"fcntl64", SYS_fcntl64},
#endif
#ifdef SYS_open
    {"open", SYS_open},
#endif
#ifdef SYS_chmod
    {"chmod", SYS_chmod},
#endif
#ifdef SYS_chown
    {"chown", SYS_chown},
#endif
#ifdef SYS_chown32
    {"chown32", SYS_chown32},
#endif
#ifdef SYS_lchown
    {"lchown", SYS_lchown},
#endif
#ifdef SYS_utimes
    {"utimes", SYS_utimes},
#endif
#ifdef SYS_socketcall
    {"socketcall", SYS_socketcall},
#endif
#ifdef SYS_mmap
    {"mmap", SYS_mmap},
#endif
#ifdef SYS_mmap2
    {"mmap2", SYS_mmap2},
#endif
#ifdef SYS_fork
    {"fork", SYS_fork},
#endif
#ifdef SYS_vfork
    {"vfork", SYS_vfork},
#endif
#ifdef SYS_unlink
    {"unlink", SYS_unlink},
#endif
#ifdef SYS_mkdir
    {"mkdir", SYS_mkdir},
#endif
#ifdef SYS_symlink
    {"symlink", SYS_symlink},
#endif
#ifdef SYS_clone3
    {"clone3", SYS_clone3},
#endif
#ifdef SYS_seccomp
    {"seccomp", SYS_seccomp},
#endif
#ifdef SYS_openat2
    {"openat2", SYS_openat2},
#endif
};

// Landlock's calls, from the first to landlock_restrict_self.
#ifdef SYS_landlock_create_ruleset
constexpr long LANDLOCKFIRST = SYS_landlock_create_ruleset, LANDLOCKLAST = SYS_landlock_restrict_self;
#else
constexpr long LANDLOCKFIRST = -1, LANDLOCKLAST = -1;
#endif

long callnumber(const std::string &name)
{
    for (const callname &c : CALLS)
        if (name == c.name)
            return c.nr;
    return -1;
}

// The kernel's struct seccomp_data: what a filter reads about a call.
struct calldata {
    std::uint32_t nr;
    std::uint32_t arch;
    std::uint64_t ip;
    std::uint64_t args[6];
};
static_assert(sizeof(calldata) == 64);

constexpr std::uint32_t ALLOWED = 0x7fff0000U;
constexpr std::uint32_t refused(int err) { return 0x00050000U | static_cast<std::uint32_t>(err); }

// The filter's verdict on d, from the classic BPF instructions the kernel
// accepts in a filter (those the program uses); 0 and why in *err for a
// program the kernel would refuse or that does not end in a verdict.
std::uint32_t verdict(const calldata &d, std::string *err)
{
    std::size_t n = 0;
    const hexcat::filterinsn *prog = hexcat::filterprogram(&n);
    unsigned char bytes[sizeof d];
    memcpy(bytes, &d, sizeof d);
    std::uint32_t a = 0;
    for (std::size_t pc = 0; pc < n; pc++) {
        const hexcat::filterinsn &in = prog[pc];
        switch (in.code) {
        case 0x20: // load the word at k
            if (in.k % 4 != 0 || in.k > sizeof d - 4) {
                *err = "a load outside struct seccomp_data";
                return 0;
            }
            memcpy(&a, bytes + in.k, 4);
            break;
        case 0x15: // jump if equal
            pc += a == in.k ? in.jt : in.jf;
            break;
        case 0x35: // jump if greater or equal
            pc += a >= in.k ? in.jt : in.jf;
            break;
        case 0x45: // jump if any bit set
            pc += (a & in.k) != 0 ? in.jt : in.jf;
            break;
        case 0x06: // return k
            return in.k;
        default:
            *err = "instruction " + std::to_string(in.code) + " at " + std::to_string(pc);
            return 0;
        }
    }
    *err = "the program ends without a verdict";
    return 0;
}

// The audit architecture of this very program, from its ELF header: the
// machine, and flags for a 64-bit ABI (x86-64's x32 and MIPS's n32
// included), a little-endian one and MIPS's n32.
std::uint32_t auditarch()
{
    unsigned char h[64] = {};
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(read(fd, h, sizeof h), static_cast<ssize_t>(sizeof h));
    close(fd);
    const bool is64 = h[4] == 2, little = h[5] == 1;
    auto word = [&](int at, int size) {
        std::uint32_t v = 0;
        for (int i = 0; i < size; i++)
            v |= static_cast<std::uint32_t>(h[at + (little ? i : size - 1 - i)]) << (8 * i);
        return v;
    };
    const std::uint32_t machine = word(18, 2), flags = word(is64 ? 48 : 36, 4);
    const bool n32 = machine == 8 && (flags & 0x20) != 0; // EM_MIPS, EF_MIPS_ABI2
    std::uint32_t arch = machine | (little ? 0x40000000U : 0) | (n32 ? 0x20000000U : 0);
    if (is64 || machine == 62 || n32)
        arch |= 0x80000000U;
    return arch;
}

// A call of number nr with no arguments, on this architecture.
calldata call(long nr) { return {static_cast<std::uint32_t>(nr), auditarch(), 0, {}}; }

// A number as qemu -strace writes it: symbolic names joined by "|", from
// those in names, or a number in decimal or hexadecimal.
struct symbol {
    const char *name;
    long value;
};
template <std::size_t N> std::uint64_t parsenumber(const std::string &text, const symbol (&names)[N])
{
    std::uint64_t v = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t bar = text.find('|', at);
        std::string part = text.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
        bool known = false;
        for (const symbol &s : names)
            if (part == s.name) {
                v |= static_cast<std::uint64_t>(s.value);
                known = true;
            }
        if (!known && !part.empty() && isdigit(static_cast<unsigned char>(part[0]))) {
            v |= std::stoull(part, nullptr, 0);
            known = true;
        }
        EXPECT_TRUE(known) << "unknown in a trace: " << part;
        if (bar == std::string::npos)
            break;
        at = bar + 1;
    }
    return v;
}

std::uint64_t openflags(const std::string &text)
{
    static const symbol FLAGS[] = {
        {"O_RDONLY", O_RDONLY},       {"O_WRONLY", O_WRONLY},     {"O_RDWR", O_RDWR},
        {"O_CREAT", O_CREAT},         {"O_EXCL", O_EXCL},         {"O_NOCTTY", O_NOCTTY},
        {"O_TRUNC", O_TRUNC},         {"O_APPEND", O_APPEND},     {"O_NONBLOCK", O_NONBLOCK},
        {"O_DSYNC", O_DSYNC},         {"O_SYNC", O_SYNC},         {"O_LARGEFILE", O_LARGEFILE},
        {"O_DIRECTORY", O_DIRECTORY}, {"O_NOFOLLOW", O_NOFOLLOW}, {"O_CLOEXEC", O_CLOEXEC},
        {"O_PATH", O_PATH},           {"O_NOATIME", O_NOATIME},   {"O_DIRECT", O_DIRECT},
        {"FASYNC", FASYNC},
    };
    return parsenumber(text, FLAGS);
}

std::uint64_t fcntlcommand(const std::string &text)
{
    static const symbol COMMANDS[] = {
        {"F_DUPFD", F_DUPFD},
        {"F_GETFD", F_GETFD},
        {"F_SETFD", F_SETFD},
        {"F_GETFL", F_GETFL},
        {"F_SETFL", F_SETFL},
        {"F_GETLK", F_GETLK},
        {"F_SETLK", F_SETLK},
        {"F_SETLKW", F_SETLKW},
        {"F_SETOWN", F_SETOWN},
        {"F_GETOWN", F_GETOWN},
        {"F_DUPFD_CLOEXEC", F_DUPFD_CLOEXEC},
        {"F_GETPIPE_SZ", F_GETPIPE_SZ},
        {"F_SETPIPE_SZ", F_SETPIPE_SZ},
    };
    return parsenumber(text.substr(0, text.find(',')), COMMANDS);
}

} // namespace

TEST(Confine, OnlyReadingIsLeft)
{
    // A listener for TCP, one for UDP, and one on an abstract and one on a
    // pathname Unix socket, outside the confined process.
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t inlen = sizeof in;
    ASSERT_EQ(bind(tcp, reinterpret_cast<sockaddr *>(&in), sizeof in), 0) << strerror(errno);
    ASSERT_EQ(listen(tcp, 8), 0);
    ASSERT_EQ(getsockname(tcp, reinterpret_cast<sockaddr *>(&in), &inlen), 0);
    sockaddr_in anyport = in;
    anyport.sin_port = 0;
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in datagrams = anyport;
    socklen_t udplen = sizeof datagrams;
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&datagrams), sizeof datagrams), 0) << strerror(errno);
    ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr *>(&datagrams), &udplen), 0);
    int local = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::string name = "hexcat-confine-" + std::to_string(getpid());
    memcpy(un.sun_path + 1, name.data(), name.size());
    // The whole of sun_path is the name, padded with zeros.
    ASSERT_EQ(bind(local, reinterpret_cast<sockaddr *>(&un), sizeof un), 0) << strerror(errno);
    ASSERT_EQ(listen(local, 8), 0);
    int named = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un path{};
    path.sun_family = AF_UNIX;

    // A pseudo-terminal, which each child makes its controlling terminal,
    // and a pipe it inherits.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << strerror(errno);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    int tty = -1;
    int inherited[2];
    ASSERT_EQ(pipe(inherited), 0);
    // Standard input is the terminal, opened for reading and writing;
    // standard output and error a pipe, as in a shell's pipeline.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    auto prepare = [&] {
        setsid();
        tty = open(slave.c_str(), O_RDWR | O_CLOEXEC);
        dup2(tty, 0);
        // A key typed, for the tool to read.
        EXPECT_EQ(write(master, "k\n", 2), 2);
        dup2(out[1], 1);
        dup2(out[1], 2);
    };
    // A file that this process holds open after its removal: another
    // process of the user recovers it through /proc.
    char held[] = "/tmp/hexcat-held-XXXXXX";
    int heldfd = mkstemp(held);
    ASSERT_GE(heldfd, 0);
    ASSERT_EQ(write(heldfd, "data", 4), 4);
    unlink(held);
    const std::string recovered = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(heldfd);

    // The parent, the user and group, and each run's paths, found before
    // the child confines itself (under the filter it cannot ask).
    const pid_t parent = getpid();
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    std::string dir, data, victim, created, link, fifo, sub;
    const hexcat::syscalls &sys = hexcat::SYSCALLS;
    const std::vector<attempt> table{
        // As the tool reads a file and finds a directory.
        {"read a file", NEVER, 0, 0, [&] { return readfour(data); }},
        {"read a removed file through /proc/PID/fd", 1, EACCES, 0, [&] { return readfour(recovered); }},
        // What its user may read, the filter leaves it too.
        {"read a key typed at the terminal", NEVER, 0, 0,
         [&] {
             char key[8];
             return outcome(sys.read(0, key, sizeof key));
         }},
        {"open the pipe it writes to for reading", NEVER, 0, 0,
         [] { return opens("/proc/self/fd/1", O_RDONLY); }},
        {"open a directory", NEVER, 0, 0,
         [&] {
             struct stat st {};
             int fd = sys.stat(dir.c_str(), &st) == 0 ? sys.open(dir.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)
                                                      : -1;
             int r = fd < 0 || sys.fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) ? errno : 0;
             sys.close(fd);
             return r;
         }},
        // As the tool writes its lines and reports.
        {"write to standard output", NEVER, 0, 0, [&] { return outcome(sys.write(1, "x", 1)); }},
        {"write to standard error, gathered", NEVER, 0, 0,
         [&] {
             iovec iov[2] = {{const_cast<char *>("x"), 1}, {const_cast<char *>("y"), 1}};
             return outcome(sys.writev(2, iov, 2));
         }},
        {"size standard output's pipe", NEVER, 0, 0,
         [&] {
             return sys.fcntl(1, F_GETPIPE_SZ, 0) < 0 ? errno : outcome(sys.fcntl(1, F_SETPIPE_SZ, 1 << 16));
         }},
        {"wait on standard output", NEVER, 0, 0,
         [&] {
             pollfd p{1, POLLOUT, 0};
             return outcome(sys.poll(&p, 1, 0));
         }},
        {"write to an inherited pipe", NEVER, 0, EACCES,
         [&] { return outcome(sys.write(inherited[1], "x", 1)); }},
        {"write to standard input, open for writing", NEVER, 0, EACCES,
         [&] { return outcome(sys.write(0, "", 0)); }},
        {"size an inherited pipe", NEVER, 0, EACCES,
         [&] { return outcome(sys.fcntl(inherited[1], F_SETPIPE_SZ, 1 << 16)); }},
        {"create a file", 1, EACCES, EACCES, [&] { return opens(created, O_RDONLY | O_CREAT | O_EXCL); }},
        {"make a symbolic link", 1, EACCES, ENOSYS, [&] { return outcome(symlink("data", link.c_str())); }},
        {"make a named pipe", 1, EACCES, ENOSYS, [&] { return outcome(mkfifo(fifo.c_str(), 0600)); }},
        {"open a file for writing", 1, EACCES, EACCES, [&] { return opens(data, O_WRONLY); }},
        {"open a file for appending", NEVER, 0, EACCES, [&] { return opens(data, O_RDONLY | O_APPEND); }},
        {"truncate a file", 3, EACCES, ENOSYS, [&] { return outcome(truncate(data.c_str(), 0)); }},
        {"remove a file", 1, EACCES, ENOSYS, [&] { return outcome(unlink(victim.c_str())); }},
        {"make a directory", 1, EACCES, ENOSYS, [&] { return outcome(mkdir(sub.c_str(), 0700)); }},
        {"change a file's mode", NEVER, 0, ENOSYS, [&] { return outcome(chmod(data.c_str(), 04777)); }},
        {"change a file's owner", NEVER, 0, ENOSYS, [&] { return outcome(chown(data.c_str(), uid, gid)); }},
        {"change a file's times", NEVER, 0, ENOSYS, [&] { return outcome(utimes(data.c_str(), nullptr)); }},
        {SETXATTR, NEVER, 0, ENOSYS,
         [&] { return outcome(setxattr(data.c_str(), "user.hexcat", "x", 1, 0)); }},
        {"use a device's own ioctl", 5, EACCES, ENOSYS,
         [] {
             int n = 0;
             int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
             int r = fd < 0 ? errno : outcome(ioctl(fd, RNDGETENTCNT, &n));
             close(fd);
             return r;
         }},
        {PUSHKEY, NEVER, 0, ENOSYS,
         [&] {
             char c = ' ';
             return tty < 0 ? -1 : outcome(ioctl(tty, TIOCSTI, &c));
         }},
        {"execute /bin/true", 1, EACCES, ENOSYS,
         [] {
             pid_t pid = fork();
             if (pid < 0)
                 return errno;
             if (pid == 0) {
                 execl("/bin/true", "true", nullptr);
                 _exit(errno);
             }
             int st = 0;
             waitpid(pid, &st, 0);
             return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
         }},
        {"send a UDP datagram", NEVER, 0, ENOSYS,
         [&] {
             int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
             int r = s < 0 ? errno
                           : outcome(sendto(s, "x", 1, 0, reinterpret_cast<const sockaddr *>(&datagrams),
                                            sizeof datagrams));
             close(s);
             return r;
         }},
        {"connect to a TCP port", 4, EACCES, ENOSYS, [&] { return onsocket(connect, in); }},
        {"bind a TCP port", 4, EACCES, ENOSYS, [&] { return onsocket(bind, anyport); }},
        {"connect to an abstract Unix socket", 6, EPERM, ENOSYS, [&] { return onsocket(connect, un); }},
        {"connect to a pathname Unix socket", NEVER, 0, ENOSYS, [&] { return onsocket(connect, path); }},
        {"signal the parent process", 6, EPERM, ENOSYS, [&] { return outcome(kill(parent, 0)); }},
    };
    struct folders {
        std::vector<std::string> made;
        ~folders()
        {
            for (const auto &d : made)
                std::filesystem::remove_all(d);
        }
    } dirs;
    auto fresh = [&] {
        char tmpl[] = "/tmp/hexcat-confine-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        dirs.made.emplace_back(dir = tmpl);
        data = dir + "/data";
        victim = dir + "/victim";
        created = dir + "/new";
        link = dir + "/link";
        fifo = dir + "/fifo";
        sub = dir + "/sub";
        std::ofstream(data) << "data";
        std::ofstream(victim) << "victim";
        // Each run's own socket, listening.
        std::string sock = dir + "/sock";
        ASSERT_LT(sock.size(), sizeof path.sun_path);
        memcpy(path.sun_path, sock.c_str(), sock.size() + 1);
        close(named);
        named = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(named, reinterpret_cast<sockaddr *>(&path), sizeof path), 0) << strerror(errno);
        ASSERT_EQ(listen(named, 8), 0);
    };
    // What an attempt gives where nothing stops it: 0, but for TIOCSTI in an
    // unprivileged process where the kernel refuses it to all of them
    // (dev.tty.legacy_tiocsti = 0), EIO, and for an extended attribute on
    // a file system without them (tmpfs before Linux 6.6), EOPNOTSUPP.
    int legacy = 1;
    std::ifstream("/proc/sys/dev/tty/legacy_tiocsti") >> legacy;
    bool xattrs = true;
    auto works = [&](std::size_t i) {
        if (table[i].name == std::string(PUSHKEY) && legacy == 0 && geteuid() != 0)
            return EIO;
        return table[i].name == std::string(SETXATTR) && !xattrs ? EOPNOTSUPP : 0;
    };
    auto run = [&](int newest, bool filter) {
        fresh();
        return trial(newest, filter, table, prepare);
    };
    std::vector<int> unconfined = run(0, false);
    ASSERT_EQ(unconfined.size(), HEAD + table.size());
    for (std::size_t i = 0; i < table.size(); i++)
        if (table[i].name == std::string(SETXATTR))
            xattrs = unconfined[HEAD + i] != EOPNOTSUPP;
    for (std::size_t i = 0; i < table.size(); i++)
        EXPECT_EQ(unconfined[HEAD + i], works(i))
            << table[i].name << ", unconfined: " << strerror(unconfined[HEAD + i]);

    // As the tool confines itself: the filter, and Landlock only where the
    // filter is refused. Under the filter, what it stops fails as it says,
    // and nothing else fails: Landlock's scoping would keep the user's own
    // processes out of reach.
    std::vector<int> tool = run(hexcat::CONFINEABI, true);
    ASSERT_GE(tool.size(), HEAD);
    std::string whyfilter = whynotfiltered(tool[1]);
    if (whyfilter.empty()) {
        ASSERT_EQ(tool[1], 1) << "the filter was refused: " << strerror(-tool[1]);
        EXPECT_EQ(tool[0], 0) << "Landlock on top of the filter";
        ASSERT_EQ(tool.size(), HEAD + table.size());
        EXPECT_EQ(tool[2], 0) << "confine() leaves a descriptor open";
        EXPECT_EQ(tool[3], 1) << "no_new_privs is not set";
        for (std::size_t i = 0; i < table.size(); i++) {
            const attempt &a = table[i];
            EXPECT_EQ(tool[HEAD + i], a.filtered != 0 ? a.filtered : works(i))
                << a.name << ", confined as the tool: " << strerror(tool[HEAD + i]);
        }
    }
    // Where the filter is refused, the tool's run is Landlock's alone.
    std::vector<int> alone = whyfilter.empty() ? run(hexcat::CONFINEABI, false) : tool;
    ASSERT_GE(alone.size(), HEAD);
    int abi = alone[0];
    if (std::string why = whynot(abi); !why.empty()) {
        if (!whyfilter.empty())
            GTEST_SKIP() << why << "; " << whyfilter;
        std::cout << "[ SKIPPED  ] Landlock alone: " << why << "\n";
        return;
    }
    ASSERT_GT(abi, 0) << "confine() did not confine: " << strerror(-abi);

    // Then by Landlock alone, as the kernel has it and as older kernels do,
    // down to ABI 1.
    for (int older = abi; older >= 1; older--) {
        std::vector<int> got = run(older, false);
        ASSERT_EQ(got.size(), HEAD + table.size());
        EXPECT_EQ(got[0], older);
        EXPECT_EQ(got[1], 0) << "a filter without being asked";
        EXPECT_EQ(got[2], 0) << "confine() leaves a descriptor open";
        // Without it, an unprivileged process may not confine itself.
        EXPECT_EQ(got[3], 1) << "no_new_privs is not set";
        for (std::size_t i = 0; i < table.size(); i++) {
            const attempt &a = table[i];
            EXPECT_EQ(got[HEAD + i], older >= a.abi ? a.denied : works(i))
                << a.name << ", confined by ABI " << older << ": " << strerror(got[HEAD + i]);
        }
    }
    close(tcp);
    close(udp);
    close(local);
    close(named);
    close(master);
    close(inherited[0]);
    close(inherited[1]);
    close(out[0]);
    close(out[1]);
    close(heldfd);
}

TEST(Confine, TheFilterLeavesOnlyWhatTheDumpNeeds)
{
#ifndef HEXCAT_HAVE_FILTER
    GTEST_SKIP()
        << "built without a system-call filter (HEXCAT_CONFINE off, or a processor it does not know)";
#endif
    std::size_t n = 0;
    ASSERT_NE(hexcat::filterprogram(&n), nullptr);
    ASSERT_GT(n, 0U);
    const int OPEN = O_RDONLY | O_NOCTTY | O_CLOEXEC;
    const std::uint64_t AT = static_cast<std::uint32_t>(AT_FDCWD);
    struct {
        const char *name;
        std::uint64_t args[3];
        std::uint32_t want;
    } rows[] = {
        {"read", {0}, ALLOWED},
        {"read", {3}, ALLOWED},
        {"close", {3}, ALLOWED},
        {"exit_group", {0}, ALLOWED},
        {"rt_sigreturn", {0}, ALLOWED},
        // Writing: standard output and error alone, and only the low 32
        // bits of the argument are the kernel's descriptor.
        {"write", {1}, ALLOWED},
        {"writev", {2}, ALLOWED},
        {"write", {2 | 0xFFFFFFFF00000000U}, ALLOWED},
        {"write", {0}, refused(EACCES)},
        {"write", {3}, refused(EACCES)},
        {"writev", {0}, refused(EACCES)},
        {"write", {0xFFFFFFFFU}, refused(EACCES)},
        {"openat", {AT, 0, OPEN}, ALLOWED},
        {"openat", {AT, 0, OPEN | O_DIRECTORY | O_NONBLOCK | O_NOFOLLOW | O_LARGEFILE}, ALLOWED},
        {"open", {0, OPEN}, ALLOWED},
        {"openat", {AT, 0, OPEN | O_WRONLY}, refused(EACCES)},
        {"openat", {AT, 0, OPEN | O_RDWR}, refused(EACCES)},
        {"openat", {AT, 0, OPEN | O_CREAT}, refused(EACCES)},
        {"openat", {AT, 0, OPEN | O_TRUNC}, refused(EACCES)},
        {"openat", {AT, 0, OPEN | O_APPEND}, refused(EACCES)},
        {"openat", {AT, 0, O_TMPFILE | O_WRONLY}, refused(EACCES)},
        // The flags in the upper half of a 64-bit argument are not the
        // kernel's: it reads an int.
        {"openat", {AT, 0, OPEN | 0xFFFFFFFF00000000U}, ALLOWED},
        {"open", {0, O_WRONLY | O_CREAT | O_TRUNC}, refused(EACCES)},
        // fcntl: the pipe's size of standard output alone, the close-on-exec
        // flag of any descriptor.
        {"fcntl", {1, F_SETPIPE_SZ}, ALLOWED},
        {"fcntl64", {1, F_GETPIPE_SZ}, ALLOWED},
        {"fcntl", {2, F_SETPIPE_SZ}, refused(EACCES)},
        {"fcntl", {3, F_GETPIPE_SZ}, refused(EACCES)},
        {"fcntl64", {0, F_SETPIPE_SZ}, refused(EACCES)},
        {"fcntl", {3, F_SETFD}, ALLOWED},
        {"fcntl", {1, F_SETFL}, refused(EACCES)},
        {"fcntl", {1, F_DUPFD}, refused(EACCES)},
        {"fcntl64", {1, F_SETOWN}, refused(EACCES)},
        {"fcntl", {1, F_SETLK}, refused(EACCES)},
    };
    std::string err;
    int found = 0;
    for (const auto &row : rows) {
        long nr = callnumber(row.name);
        if (nr < 0)
            continue;
        found++;
        calldata d = call(nr);
        std::copy(std::begin(row.args), std::end(row.args), d.args);
        EXPECT_EQ(verdict(d, &err), row.want)
            << row.name << "(" << row.args[0] << ", " << row.args[1] << ", " << row.args[2] << ") " << err;
    }
    EXPECT_GE(found, 28);
    // Every other call fails with ENOSYS: those a hijacked tool would reach
    // for first, all there are on this processor.
    const char *never[] = {"ioctl",    "fchmod",     "fchmodat",   "fchown",  "fchownat",     "utimensat",
                           "setxattr", "lsetxattr",  "fsetxattr",  "socket",  "connect",      "bind",
                           "sendto",   "sendmsg",    "socketpair", "kill",    "tgkill",       "mprotect",
                           "execve",   "execveat",   "clone",      "ptrace",  "memfd_create", "unlinkat",
                           "linkat",   "symlinkat",  "mkdirat",    "mknodat", "truncate",     "ftruncate",
                           "prctl",    "dup3",       "chmod",      "chown",   "chown32",      "lchown",
                           "utimes",   "socketcall", "mmap",       "mmap2",   "fork",         "vfork",
                           "unlink",   "mkdir",      "symlink",    "clone3",  "seccomp",      "openat2"};
    int refusedcalls = 0;
    for (const char *name : never) {
        long nr = callnumber(name);
        if (nr < 0)
            continue;
        refusedcalls++;
        EXPECT_EQ(verdict(call(nr), &err), refused(ENOSYS)) << name << " " << err;
    }
    EXPECT_GE(refusedcalls, 32);
    // The calls of another architecture, even allowed ones: the numbers
    // mean other calls there. On x86-64 also the x32 calls.
    calldata other = call(callnumber("read"));
    other.arch ^= 0x40000000U; // the other byte order
    EXPECT_EQ(verdict(other, &err), refused(ENOSYS)) << err;
    other.arch = 0x40000003U; // i386
    if (auditarch() != other.arch) {
        EXPECT_EQ(verdict(other, &err), refused(ENOSYS)) << err;
    }
#ifdef __x86_64__
    EXPECT_EQ(verdict(call(callnumber("read") | 0x40000000L), &err), refused(ENOSYS)) << err;
#endif
}

// The calls the tool made on this port, as qemu-user traced them (tests/
// ports.sh runs the suite's tool under qemu -strace, a log for each process,
// in the folder HEXCAT_TRACE): every call after the filter would have been
// installed (qemu refuses it: prctl(22,2,...)) passes it.
TEST(Confine, TheFilterPassesEveryCallTheToolMade)
{
    const char *folder = getenv("HEXCAT_TRACE");
    if (folder == nullptr)
        GTEST_SKIP() << "no trace (HEXCAT_TRACE): tests/ports.sh gives one under qemu";
    std::size_t n = 0;
    hexcat::filterprogram(&n);
    ASSERT_GT(n, 0U) << "built without a system-call filter";
    const std::uint32_t arch = auditarch();
    int runs = 0, calls = 0;
    std::string err;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream log(entry.path());
        // A call's line starts with the process number; a name with a line
        // break in it goes on on the next lines.
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) {
            if (!lines.empty() && (line.empty() || !isdigit(static_cast<unsigned char>(line[0]))))
                lines.back() += "\n" + line;
            else
                lines.push_back(line);
        }
        // A log may hold the lines of a process forked from the one it is
        // named after: the processes that confined themselves, by number.
        std::set<std::string> filtered;
        bool restricted = false;
        for (const std::string &line : lines) {
            std::size_t sp = line.find(' ');
            std::string text = sp == std::string::npos ? "" : line.substr(sp + 1);
            if (filtered.count(line.substr(0, sp)) == 0) {
                if (text.rfind("prctl(22,2,", 0) == 0) {
                    filtered.insert(line.substr(0, sp));
                    runs++;
                }
                continue;
            }
            if (text.rfind("---", 0) == 0 || text.rfind("+++", 0) == 0)
                continue; // a signal, the end
            calldata d{0, arch, 0, {}};
            const bool unknown = text.rfind("Unknown syscall ", 0) == 0;
            std::string name = unknown ? text : text.substr(0, text.find('('));
            // qemu refuses the filter, so the tool falls back on Landlock:
            // where the filter is in place it makes none of Landlock's
            // calls, nor closes the ruleset after them.
            const long nr = unknown ? std::stol(text.substr(16)) : callnumber(name);
            if (name.rfind("landlock_", 0) == 0 ||
                (LANDLOCKFIRST > 0 && nr >= LANDLOCKFIRST && nr <= LANDLOCKLAST)) {
                restricted = name == "landlock_restrict_self" || nr == LANDLOCKLAST;
                continue;
            }
            if (restricted && name == "close") {
                restricted = false;
                continue;
            }
            if (unknown) {
                d.nr = static_cast<std::uint32_t>(nr);
            } else {
                ASSERT_GE(nr, 0) << "a call the evaluator does not know: " << line;
                d.nr = static_cast<std::uint32_t>(nr);
                // The arguments the filter checks: the flags of an open, the
                // last; the descriptor of a write or an fcntl, the first,
                // and the command of an fcntl, the second.
                std::size_t end = text.rfind(") = ");
                std::string args = text.substr(
                    name.size() + 1, (end == std::string::npos ? text.rfind(')') : end) - name.size() - 1);
                if (name == "open" || name == "openat")
                    d.args[name == "open" ? 1 : 2] = openflags(args.substr(args.rfind(',') + 1));
                if (name == "write" || name == "writev" || name == "fcntl" || name == "fcntl64")
                    d.args[0] = std::stoull(args, nullptr, 0);
                if (name == "fcntl" || name == "fcntl64")
                    d.args[1] = fcntlcommand(args.substr(args.find(',') + 1));
            }
            calls++;
            EXPECT_EQ(verdict(d, &err), ALLOWED) << entry.path() << ": " << line << " " << err;
        }
    }
    std::cout << "[          ] " << runs << " runs of the tool, " << calls << " calls after confinement\n";
    EXPECT_GT(runs, 0) << "no run of the tool in " << folder;
}

TEST(Confine, FailsSilently)
{
    // With no descriptor left for the ruleset, Landlock fails, and
    // confine() leaves errno as it found it. The filter needs no
    // descriptor: asked for, it is in place all the same, and Landlock is
    // then not tried.
    sharedwords got(4);
    pid_t pid = fork();
    if (pid == 0) {
        int lowest = open("/", O_RDONLY | O_CLOEXEC);
        close(lowest);
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = static_cast<rlim_t>(lowest);
        setrlimit(RLIMIT_NOFILE, &files);
        errno = EDOM;
        hexcat::confinement alone = hexcat::confine(hexcat::CONFINEABI, false);
        int err = errno;
        hexcat::confinement tool = hexcat::confine();
        int *w = got.words;
        w[0] = alone.landlock;
        w[1] = err;
        w[2] = tool.landlock;
        w[3] = tool.filter;
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    const int *w = got.words;
    if (std::string why = whynot(w[0]); !why.empty())
        GTEST_SKIP() << why;
    EXPECT_EQ(w[0], -EMFILE) << strerror(-w[0]);
    EXPECT_EQ(w[1], EDOM) << strerror(w[1]);
    if (whynotfiltered(w[3]).empty()) {
        EXPECT_EQ(w[3], 1) << strerror(-w[3]);
        EXPECT_EQ(w[2], 0) << "Landlock on top of the filter";
    } else {
        EXPECT_EQ(w[2], -EMFILE) << "no Landlock where the filter is refused";
    }
}
