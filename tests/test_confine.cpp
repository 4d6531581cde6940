// Confinement: once confine() has run, files and directories still open for
// reading and everything else it takes away fails. Each attempt is made in a
// child process left free, where it must succeed, then in children confined
// as the tool is and as with each older Landlock ABI.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/random.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "confine.h"

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

struct attempt {
    const char *name;
    int abi;    // the Landlock ABI from which confinement stops it
    int denied; // its errno then; 0: it still works
    std::function<int()> action;
};

// Makes every attempt in a child process, after confine(newest) unless
// newest is 0. Returns HEAD words: what confine() gave (0 when not called),
// how many more descriptors are open after it, whether no_new_privs is set;
// then each attempt's outcome unless confine() failed.
constexpr std::size_t HEAD = 3;
std::vector<int> trial(int newest, const std::vector<attempt> &table)
{
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        auto lowestfree = [] {
            int fd = open("/", O_RDONLY | O_CLOEXEC);
            close(fd);
            return fd;
        };
        int before = lowestfree();
        std::vector<int> got{newest > 0 ? hexcat::confine(newest) : 0};
        got.push_back(lowestfree() - before);
        got.push_back(prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0));
        if (got[0] >= 0)
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

// Why confine() gave r where there is nothing to test, or "".
std::string whynot(int r)
{
#if !defined(HEXCAT_CONFINE) || !defined(__linux__) || !__has_include(<linux/landlock.h>)
    if (r == 0)
        return "built without confinement (HEXCAT_CONFINE off, or no <linux/landlock.h>)";
#endif
    // The kernel has no Landlock (or qemu-user does not pass it on), has it
    // switched off, or a seccomp filter refuses it. Any other error means
    // that confine() asked wrongly.
    if (r == -ENOSYS || r == -EOPNOTSUPP || r == -EPERM)
        return std::string("Landlock not available here: ") + strerror(-r);
    return "";
}

} // namespace

TEST(Confine, OnlyReadingIsLeft)
{
    // A listener for TCP and one on an abstract Unix socket, outside the
    // confined process.
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
    int local = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::string name = "hexcat-confine-" + std::to_string(getpid());
    memcpy(un.sun_path + 1, name.data(), name.size());
    // The whole of sun_path is the name, padded with zeros.
    ASSERT_EQ(bind(local, reinterpret_cast<sockaddr *>(&un), sizeof un), 0) << strerror(errno);
    ASSERT_EQ(listen(local, 8), 0);

    std::string dir; // a fresh folder for each run
    auto at = [&](const char *f) { return dir + "/" + f; };
    const std::vector<attempt> table{
        {"open a file for reading", 1, 0, [&] { return opens(at("data"), O_RDONLY); }},
        {"open a directory", 1, 0, [&] { return opens(dir, O_RDONLY | O_DIRECTORY); }},
        {"create a file", 1, EACCES, [&] { return opens(at("new"), O_RDONLY | O_CREAT | O_EXCL); }},
        {"make a symbolic link", 1, EACCES, [&] { return outcome(symlink("data", at("link").c_str())); }},
        {"make a named pipe", 1, EACCES, [&] { return outcome(mkfifo(at("fifo").c_str(), 0600)); }},
        {"open a file for writing", 1, EACCES, [&] { return opens(at("data"), O_WRONLY); }},
        {"truncate a file", 3, EACCES, [&] { return outcome(truncate(at("data").c_str(), 0)); }},
        {"remove a file", 1, EACCES, [&] { return outcome(unlink(at("victim").c_str())); }},
        {"make a directory", 1, EACCES, [&] { return outcome(mkdir(at("sub").c_str(), 0700)); }},
        {"use a device's own ioctl", 5, EACCES,
         [] {
             int n = 0;
             int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
             int r = fd < 0 ? errno : outcome(ioctl(fd, RNDGETENTCNT, &n));
             close(fd);
             return r;
         }},
        {"execute /bin/true", 1, EACCES,
         [] {
             pid_t pid = fork();
             if (pid == 0) {
                 execl("/bin/true", "true", nullptr);
                 _exit(errno);
             }
             int st = 0;
             waitpid(pid, &st, 0);
             return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
         }},
        {"connect to a TCP port", 4, EACCES, [&] { return onsocket(connect, in); }},
        {"bind a TCP port", 4, EACCES, [&] { return onsocket(bind, anyport); }},
        {"connect to an abstract Unix socket", 6, EPERM, [&] { return onsocket(connect, un); }},
        {"signal the parent process", 6, EPERM, [] { return outcome(kill(getppid(), 0)); }},
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
        std::ofstream(at("data")) << "data";
        std::ofstream(at("victim")) << "victim";
    };
    auto run = [&](int newest) {
        fresh();
        return trial(newest, table);
    };
    std::vector<int> unconfined = run(0);
    ASSERT_EQ(unconfined.size(), HEAD + table.size());
    for (std::size_t i = 0; i < table.size(); i++)
        EXPECT_EQ(unconfined[HEAD + i], 0)
            << table[i].name << ", unconfined: " << strerror(unconfined[HEAD + i]);

    // As the tool confines itself.
    std::vector<int> confined = run(hexcat::CONFINEABI);
    ASSERT_GE(confined.size(), HEAD);
    int abi = confined[0];
    if (std::string why = whynot(abi); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_GT(abi, 0) << "confine() did not confine: " << strerror(-abi);

    // Then as on each older kernel, down to ABI 1.
    for (int older = abi; older >= 1; older--) {
        std::vector<int> got = older == abi ? confined : run(older);
        ASSERT_EQ(got.size(), HEAD + table.size());
        EXPECT_EQ(got[0], older);
        EXPECT_EQ(got[1], 0) << "confine() leaves a descriptor open";
        // Without it, an unprivileged process may not confine itself.
        EXPECT_EQ(got[2], 1) << "no_new_privs is not set";
        for (std::size_t i = 0; i < table.size(); i++) {
            const attempt &a = table[i];
            EXPECT_EQ(got[HEAD + i], older >= a.abi ? a.denied : 0)
                << a.name << ", confined by ABI " << older << ": " << strerror(got[HEAD + i]);
        }
    }
    close(tcp);
    close(local);
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
        int got[2] = {hexcat::confine(), errno};
        _exit(write(p[1], got, sizeof got) < 0 ? 1 : 0);
    }
    close(p[1]);
    int got[2] = {0, 0};
    EXPECT_EQ(read(p[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
    close(p[0]);
    waitpid(pid, nullptr, 0);
    if (std::string why = whynot(got[0]); !why.empty())
        GTEST_SKIP() << why;
    EXPECT_EQ(got[0], -EMFILE) << strerror(-got[0]);
    EXPECT_EQ(got[1], EDOM) << strerror(got[1]);
}
