// Confinement: once confine() has run, reading files and directories still
// works and everything else it takes away fails. Each attempt is made twice,
// in a child process left free, where it must succeed, and in one that
// confined itself first.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/random.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
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

// Makes every attempt in a child process, after confine() when confined is
// set. Returns HEAD words: what confine() gave (0 when not called), how many
// more descriptors are open after it, whether no_new_privs is set; then each
// attempt's outcome unless confine() failed.
constexpr std::size_t HEAD = 3;
std::vector<int> trial(bool confined, const std::vector<attempt> &table)
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
        std::vector<int> got{confined ? hexcat::confine() : 0};
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

    std::string dir; // a fresh folder for each trial
    auto at = [&](const char *f) { return dir + "/" + f; };
    const std::vector<attempt> table{
        {"read a file", 1, 0,
         [&] {
             char c;
             int fd = open(at("data").c_str(), O_RDONLY | O_CLOEXEC);
             int r = fd < 0 ? errno : outcome(read(fd, &c, 1));
             close(fd);
             return r;
         }},
        {"list a directory", 1, 0,
         [&] {
             DIR *d = opendir(dir.c_str());
             if (d == nullptr)
                 return errno;
             errno = 0;
             while (readdir(d) != nullptr) {
             }
             int r = errno;
             closedir(d);
             return r;
         }},
        {"create a file", 1, EACCES,
         [&] { return outcome(open(at("new").c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)); }},
        {"make a symbolic link", 1, EACCES, [&] { return outcome(symlink("data", at("link").c_str())); }},
        {"make a named pipe", 1, EACCES, [&] { return outcome(mkfifo(at("fifo").c_str(), 0600)); }},
        {"open a file for writing", 1, EACCES,
         [&] { return outcome(open(at("data").c_str(), O_WRONLY | O_CLOEXEC)); }},
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
    std::vector<std::string> dirs;
    auto fresh = [&] {
        char tmpl[] = "/tmp/hexcat-confine-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        dirs.emplace_back(dir = tmpl);
        std::ofstream(at("data")) << "data";
        std::ofstream(at("victim")) << "victim";
    };
    fresh();
    std::vector<int> confined = trial(true, table);
    fresh();
    std::vector<int> unconfined = trial(false, table);
    for (const auto &d : dirs)
        std::filesystem::remove_all(d);
    close(tcp);
    close(local);

    ASSERT_GE(confined.size(), HEAD);
    int abi = confined[0];
#if defined(HEXCAT_CONFINE) && defined(__linux__) && __has_include(<linux/landlock.h>)
    ASSERT_NE(abi, 0) << "confine() did nothing in a build that confines";
#else
    if (abi == 0)
        GTEST_SKIP() << "built without confinement (HEXCAT_CONFINE off, or no <linux/landlock.h>)";
#endif
    // The kernel has no Landlock (or qemu-user does not pass it on), has it
    // switched off, or a seccomp filter refuses it. Any other error means
    // that confine() asked wrongly.
    if (abi == -ENOSYS || abi == -EOPNOTSUPP || abi == -EPERM)
        GTEST_SKIP() << "Landlock not available here: " << strerror(-abi);
    ASSERT_GT(abi, 0) << strerror(-abi);
    ASSERT_EQ(confined.size(), HEAD + table.size());
    ASSERT_EQ(unconfined.size(), HEAD + table.size());
    EXPECT_EQ(confined[1], 0) << "confine() leaves a descriptor open";
    // Without it, an unprivileged process may not confine itself.
    EXPECT_EQ(confined[2], 1) << "no_new_privs is not set";
    for (std::size_t i = 0; i < table.size(); i++) {
        const attempt &a = table[i];
        EXPECT_EQ(unconfined[HEAD + i], 0) << a.name << ", unconfined: " << strerror(unconfined[HEAD + i]);
        EXPECT_EQ(confined[HEAD + i], abi >= a.abi ? a.denied : 0)
            << a.name << ", confined by ABI " << abi << ": " << strerror(confined[HEAD + i]);
    }
}
