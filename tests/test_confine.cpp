// Confinement: once confine() has run, files and directories still open for
// reading, inherited descriptors take writes, and everything else it takes
// away fails. Each attempt is made in a child process left free, where it
// must succeed, then in a child confined as the tool is (Landlock and the
// system-call filter), then in children confined by Landlock alone, as
// with each Landlock ABI.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <linux/random.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
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
std::vector<int> trial(int newest, bool filter, const std::vector<attempt> &table,
                       const std::function<void()> &prepare)
{
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        prepare();
        auto lowestfree = [] {
            int fd = open("/", O_RDONLY | O_CLOEXEC);
            close(fd);
            return fd;
        };
        // Under the filter there is no memory to be had: all of it now.
        std::vector<int> got;
        got.reserve(HEAD + table.size());
        int before = lowestfree();
        hexcat::confinement c = newest > 0 ? hexcat::confine(newest, filter) : hexcat::confinement{0, 0};
        got.push_back(c.landlock);
        got.push_back(c.filter);
        got.push_back(lowestfree() - before);
        got.push_back(nonewprivs());
        if (c.landlock >= 0 || c.filter > 0)
            for (const auto &a : table)
                got.push_back(a.action());
        _exit(write(p[1], got.data(), got.size() * sizeof(int)) < 0 ? 1 : 0);
    }
    close(p[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    // A few words, written at once: all in the pipe.
    std::vector<int> got(HEAD + table.size());
    ssize_t n = read(p[0], got.data(), got.size() * sizeof(int));
    close(p[0]);
    got.resize(n > 0 ? static_cast<std::size_t>(n) / sizeof(int) : 0);
    return got;
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
    if (r == 0) {
        std::size_t n = 0;
        hexcat::filterprogram(&n);
        if (n == 0)
            return "built without a system-call filter (HEXCAT_CONFINE off, or a processor it does not know)";
    }
    // A kernel without seccomp, or qemu-user, which refuses a guest's
    // filter, give EINVAL; a container's own filter may refuse it.
    if (r == -EINVAL || r == -ENOSYS || r == -EPERM || r == -EACCES)
        return std::string("no system-call filter here: ") + strerror(-r);
    return "";
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
    auto prepare = [&] {
        setsid();
        tty = open(slave.c_str(), O_RDWR | O_CLOEXEC);
    };
    int inherited[2];
    ASSERT_EQ(pipe(inherited), 0);

    // The parent, the user and group, and each run's paths, found before
    // the child confines itself (under the filter it cannot ask).
    const pid_t parent = getpid();
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    std::string dir, data, victim, created, link, fifo, sub;
    const hexcat::syscalls &sys = hexcat::SYSCALLS;
    const std::vector<attempt> table{
        // As the tool reads a file and finds a directory.
        {"read a file", NEVER, 0, 0,
         [&] {
             struct stat st {};
             char buf[8];
             int fd = sys.stat(data.c_str(), &st) == 0
                          ? sys.open(data.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)
                          : -1;
             int r = fd < 0 || sys.fstat(fd, &st) != 0 || sys.read(fd, buf, sizeof buf) != 4 ? errno : 0;
             sys.close(fd);
             return r;
         }},
        {"open a directory", NEVER, 0, 0,
         [&] {
             struct stat st {};
             int fd = sys.stat(dir.c_str(), &st) == 0 ? sys.open(dir.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)
                                                      : -1;
             int r = fd < 0 || sys.fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) ? errno : 0;
             sys.close(fd);
             return r;
         }},
        {"write to an inherited pipe", NEVER, 0, 0, [&] { return outcome(sys.write(inherited[1], "x", 1)); }},
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
        {"set an extended attribute", NEVER, 0, ENOSYS,
         [&] { return outcome(setxattr(data.c_str(), "user.hexcat", "x", 1, 0)); }},
        {"use a device's own ioctl", 5, EACCES, ENOSYS,
         [] {
             int n = 0;
             int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
             int r = fd < 0 ? errno : outcome(ioctl(fd, RNDGETENTCNT, &n));
             close(fd);
             return r;
         }},
        {"push a key into the controlling terminal", NEVER, 0, ENOSYS,
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
    auto run = [&](int newest, bool filter) {
        fresh();
        return trial(newest, filter, table, prepare);
    };
    std::vector<int> unconfined = run(0, false);
    ASSERT_EQ(unconfined.size(), HEAD + table.size());
    for (std::size_t i = 0; i < table.size(); i++)
        EXPECT_EQ(unconfined[HEAD + i], 0)
            << table[i].name << ", unconfined: " << strerror(unconfined[HEAD + i]);

    // As the tool confines itself: Landlock and the filter. Under the
    // filter, what it stops fails as it says, whatever Landlock does.
    std::vector<int> tool = run(hexcat::CONFINEABI, true);
    ASSERT_GE(tool.size(), HEAD);
    int abi = tool[0];
    std::string why = whynot(abi);
    std::string whyfilter = whynotfiltered(tool[1]);
    if (!why.empty() && !whyfilter.empty())
        GTEST_SKIP() << why << "; " << whyfilter;
    if (why.empty()) {
        ASSERT_GT(abi, 0) << "confine() did not confine: " << strerror(-abi);
    }
    if (whyfilter.empty()) {
        ASSERT_EQ(tool[1], 1) << "the filter was refused: " << strerror(-tool[1]);
        ASSERT_EQ(tool.size(), HEAD + table.size());
        EXPECT_EQ(tool[2], 0) << "confine() leaves a descriptor open";
        EXPECT_EQ(tool[3], 1) << "no_new_privs is not set";
        for (std::size_t i = 0; i < table.size(); i++) {
            const attempt &a = table[i];
            int want = a.filtered != 0 ? a.filtered : abi >= a.abi ? a.denied : 0;
            EXPECT_EQ(tool[HEAD + i], want)
                << a.name << ", confined as the tool: " << strerror(tool[HEAD + i]);
        }
    }
    if (!why.empty()) {
        std::cout << "[ SKIPPED  ] Landlock alone: " << why << "\n";
        return;
    }

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
            EXPECT_EQ(got[HEAD + i], older >= a.abi ? a.denied : 0)
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
}

TEST(Confine, FailsSilently)
{
    // With no descriptor left for the ruleset, confine() fails, and leaves
    // errno as it found it.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int lowest = open("/", O_RDONLY | O_CLOEXEC);
        close(lowest);
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = static_cast<rlim_t>(lowest);
        setrlimit(RLIMIT_NOFILE, &files);
        errno = EDOM;
        hexcat::confinement c = hexcat::confine();
        int got[3] = {c.landlock, errno, c.filter};
        _exit(write(p[1], got, sizeof got) < 0 ? 1 : 0);
    }
    close(p[1]);
    int got[3] = {0, 0, 0};
    EXPECT_EQ(read(p[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
    close(p[0]);
    waitpid(pid, nullptr, 0);
    if (std::string why = whynot(got[0]); !why.empty())
        GTEST_SKIP() << why;
    EXPECT_EQ(got[0], -EMFILE) << strerror(-got[0]);
    EXPECT_EQ(got[1], EDOM) << strerror(got[1]);
    // The filter needs no descriptor: it is in place all the same.
    if (whynotfiltered(got[2]).empty()) {
        EXPECT_EQ(got[2], 1) << strerror(-got[2]);
    }
}
