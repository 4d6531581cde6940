// Running the built tool from the tests: its output, errors and status.
#ifndef HEXCAT_TESTS_PROCESS_H
#define HEXCAT_TESTS_PROCESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

struct options {
    bool merge = false;               // standard error into standard output
    const char *stdoutpath = nullptr; // standard output opened on this path
    bool asnobody = false;            // run as an unprivileged user
    bool ignoresigpipe = false;       // start with SIGPIPE ignored
    bool closereader = false;         // close the reading end of standard output
    std::string input;                // given on standard input
    std::string cwd;                  // working directory
    std::string gcovdir;              // for an unprivileged run: writable, fresh
    const char *stderrpath = nullptr; // standard error opened on this path
    int closefd = -1;                 // a standard descriptor left closed
    bool nonblocking = false;         // output pipes in non-blocking mode
    rlim_t stacklimit = 0;            // if not 0, RLIMIT_STACK of the tool
    rlim_t nofile = 0;                // if not 0, RLIMIT_NOFILE of the tool
    const void *filter = nullptr;     // a seccomp filter (struct sock_fprog) the tool starts under
};

struct child {
    pid_t pid;
    int out; // reading end of its standard output, or -1
    int err; // reading end of its standard error, or -1
};

inline child spawn(const std::vector<std::string> &args, const options &o)
{
    int out[2], err[2], in[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    EXPECT_EQ(pipe(in), 0);
    // The input is small enough for the pipe's buffer. It goes in before the
    // tool starts: written after, it would meet a pipe without a reader
    // whenever the tool, which never reads it, had already exited, and the
    // test would die of SIGPIPE.
    if (!o.input.empty()) {
        EXPECT_EQ(write(in[1], o.input.data(), o.input.size()), static_cast<ssize_t>(o.input.size()));
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0)
            _exit(120);
        if (o.ignoresigpipe)
            signal(SIGPIPE, SIG_IGN);
        dup2(in[0], 0);
        if (o.stdoutpath != nullptr) {
            int fd = open(o.stdoutpath, O_WRONLY);
            if (fd < 0)
                _exit(121);
            dup2(fd, 1);
        } else {
            dup2(out[1], 1);
        }
        dup2(o.merge ? 1 : err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]})
            close(fd);
        if (o.stderrpath != nullptr && dup2(open(o.stderrpath, O_WRONLY), 2) < 0)
            _exit(121);
        if (o.closefd >= 0)
            close(o.closefd);
        if (o.nonblocking)
            for (int fd : {1, 2})
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        rlimit stack{o.stacklimit, o.stacklimit}, files{o.nofile, o.nofile};
        if ((o.stacklimit > 0 && setrlimit(RLIMIT_STACK, &stack) != 0) ||
            (o.nofile > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0))
            _exit(123);
        // As a service manager starts it: no_new_privs and the manager's
        // filter, inherited across exec.
        if (o.filter != nullptr &&
            (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, 2, o.filter, 0, 0) != 0))
            _exit(125);
        std::vector<std::string> argv;
        std::string bin = HEXCAT_BIN;
        if (o.asnobody && geteuid() == 0) {
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
            // The unprivileged user may not reach the build folder (a
            // checkout in root's 0700 home, say), so the tool, or the
            // emulator that loads it, gets it as a descriptor open already.
            int fd = open(HEXCAT_BIN, O_RDONLY);
            if (fd < 0)
                _exit(124);
            bin = "/proc/self/fd/" + std::to_string(fd);
            // A coverage build writes its counts at exit, and the
            // unprivileged user may not write them in the build folder.
            if (!o.gcovdir.empty())
                setenv("GCOV_PREFIX", o.gcovdir.c_str(), 1);
        }
#ifdef HEXCAT_EMULATOR
        // A cross-built tool runs in the emulator.
        for (const char *a : {HEXCAT_EMULATOR})
            argv.emplace_back(a);
#endif
        argv.push_back(bin);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargs;
        for (auto &a : argv)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        _exit(122);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    close(in[1]);
    if (o.closereader) {
        close(out[0]);
        out[0] = -1;
    }
    return {pid, out[0], err[0]};
}

// Reads from fd until want bytes have arrived or it ends; gives up after
// timeout_ms without data.
inline std::string readsome(int fd, std::size_t want, int timeout_ms)
{
    std::string got;
    char buf[65536];
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

inline result finish(child c)
{
    result r;
    std::vector<pollfd> fds;
    if (c.out >= 0)
        fds.push_back({c.out, POLLIN, 0});
    if (c.err >= 0)
        fds.push_back({c.err, POLLIN, 0});
    char buf[65536];
    while (!fds.empty()) {
        // A tool silent for 30 s is stuck: end it, so that the test fails.
        if (poll(fds.data(), fds.size(), 30000) <= 0) {
            kill(c.pid, SIGKILL);
            break;
        }
        for (std::size_t i = 0; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (fds[i].fd == c.out ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    int st = 0;
    waitpid(c.pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

inline result run(const std::vector<std::string> &args, const options &o = {})
{
    return finish(spawn(args, o));
}

#endif
