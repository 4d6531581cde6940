// End-to-end tests: the built tool run on files the tests make.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "reference.h"

namespace fs = std::filesystem;

namespace {

struct result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
};

struct options {
    bool merge = false;              // standard error into standard output
    const char *stdoutpath = nullptr; // standard output opened on this path
    bool asnobody = false;           // run as an unprivileged user
    bool ignoresigpipe = false;      // start with SIGPIPE ignored
    bool closereader = false;        // close the reading end of standard output
    std::string input;               // given on standard input
    std::string cwd;                 // working directory
};

struct child {
    pid_t pid;
    int out; // reading end of its standard output, or -1
    int err; // reading end of its standard error, or -1
};

child spawn(const std::vector<std::string> &args, const options &o)
{
    int out[2], err[2], in[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    EXPECT_EQ(pipe(in), 0);
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
        std::vector<std::string> argv;
        if (o.asnobody && geteuid() == 0)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        argv.push_back(HEXCAT_BIN);
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
    // The input is small enough for the pipe's buffer.
    if (!o.input.empty()) {
        EXPECT_EQ(write(in[1], o.input.data(), o.input.size()), static_cast<ssize_t>(o.input.size()));
    }
    close(in[1]);
    if (o.closereader) {
        close(out[0]);
        out[0] = -1;
    }
    return {pid, out[0], err[0]};
}

// Reads from fd until want bytes have arrived or it ends; gives up after
// timeout_ms without data.
std::string readsome(int fd, std::size_t want, int timeout_ms)
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

result finish(child c)
{
    result r;
    std::vector<pollfd> fds;
    if (c.out >= 0)
        fds.push_back({c.out, POLLIN, 0});
    if (c.err >= 0)
        fds.push_back({c.err, POLLIN, 0});
    char buf[65536];
    while (!fds.empty()) {
        if (poll(fds.data(), fds.size(), 30000) <= 0)
            break;
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

result run(const std::vector<std::string> &args, const options &o = {}) { return finish(spawn(args, o)); }

std::string randombytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/hexcat-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // The unprivileged user must reach the files inside.
        chmod(dir.c_str(), 0755);
    }
    void TearDown() override
    {
        for (auto &e : fs::recursive_directory_iterator(dir))
            if (e.is_directory() && !e.is_symlink())
                chmod(e.path().c_str(), 0755);
        fs::remove_all(dir);
    }
    std::string file(const std::string &name, const std::string &data)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
    std::string path(const std::string &name) { return dir + "/" + name; }
    std::string dir;
};

const std::string NOENT = ": No such file or directory\n";

} // namespace

TEST_F(Cli, DumpsFilesOfEverySizeExactly)
{
    // Around the line width, and around the tool's read block of 32 KiB.
    for (std::size_t size : {0, 1, 15, 16, 17, 31, 32, 33, 4101, 32768 - 16, 32768, 32768 + 5, 100000}) {
        SCOPED_TRACE(size);
        std::string data = randombytes(size, static_cast<unsigned>(size));
        result r = run({file("f", data)});
        EXPECT_EQ(r.out, refdump(data));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Cli, NoArgumentsPrintNothingAndStandardInputIsNeverRead)
{
    options o;
    o.input = "some input that must not be dumped";
    result r = run({}, o);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Cli, FilesFollowEachOtherAndAMissingOneIsReportedInPlace)
{
    std::string a = file("a", "first file, 24 bytes...\n");
    std::string c = file("c", randombytes(40, 3));
    std::string missing = path("missing");

    result r = run({a, missing, c, a});
    EXPECT_EQ(r.out, refdump("first file, 24 bytes...\n") + refdump(randombytes(40, 3)) +
                         refdump("first file, 24 bytes...\n"));
    EXPECT_EQ(r.err, missing + NOENT);
    EXPECT_EQ(r.status, 1);

    // Sharing one stream, lines and reports keep argument order.
    options merged;
    merged.merge = true;
    r = run({a, missing, c}, merged);
    EXPECT_EQ(r.out, refdump("first file, 24 bytes...\n") + missing + NOENT + refdump(randombytes(40, 3)));
}

TEST_F(Cli, ArgumentsAreAlwaysFileNames)
{
    options here;
    here.cwd = dir;
    for (const char *name : {"-", "--help", "-x", "--"}) {
        SCOPED_TRACE(name);
        result r = run({name}, here);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string(name) + NOENT);
        EXPECT_EQ(r.status, 1);

        file(name, "named like an option");
        r = run({name}, here);
        EXPECT_EQ(r.out, refdump("named like an option"));
        EXPECT_EQ(r.status, 0);
    }
    // perror() form: an empty name gives the message alone.
    result r = run({""});
    EXPECT_EQ(r.err, "No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, SymbolicLinksAreFollowed)
{
    std::string data = randombytes(50, 7);
    std::string target = file("target", data);
    fs::create_symlink(target, path("good"));
    fs::create_symlink(path("nowhere"), path("dangling"));
    result r = run({path("good"), path("dangling")});
    EXPECT_EQ(r.out, refdump(data));
    EXPECT_EQ(r.err, path("dangling") + NOENT);
    EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, DirectoriesAreReadErrors)
{
    fs::create_directory(path("sub"));
    std::string after = file("after", "after");
    result r = run({path("sub"), after});
    EXPECT_EQ(r.out, refdump("after"));
    EXPECT_EQ(r.err, path("sub") + ": Is a directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, ObjectsOfSizeZeroPrintNothing)
{
    for (const char *dev : {"/dev/null", "/dev/zero", "/proc/self/status"}) {
        SCOPED_TRACE(dev);
        result r = run({dev});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Cli, NamedPipeWaitsForAWriterWithoutHoldingBackEarlierLines)
{
    std::string a = file("a", randombytes(100, 1));
    std::string b = file("b", "after the pipe");
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);

    child c = spawn({a, fifo, b}, {});
    // The first file's lines arrive while the tool waits on the pipe.
    std::string want = refdump(randombytes(100, 1));
    std::string early = readsome(c.out, want.size(), 10000);
    EXPECT_EQ(early, want);

    // Opening the writing end lets the tool's open return. It reads
    // nothing from the pipe, since its size is 0.
    int w = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    close(w);
    result r = finish(c);
    EXPECT_EQ(r.out, refdump("after the pipe"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Cli, PermissionFailuresAsAnUnprivilegedUser)
{
    std::string locked = file("locked", "secret");
    chmod(locked.c_str(), 0);
    fs::create_directory(path("closed"));
    std::string inside = file("closed/f", "unreachable");
    chmod(path("closed").c_str(), 0700);
    std::string open = file("open", "readable");
    chmod(open.c_str(), 0644);
    if (geteuid() == 0)
        chown(path("closed").c_str(), 0, 0);

    options nobody;
    nobody.asnobody = true;
    result r = run({locked, inside, open}, nobody);
    EXPECT_EQ(r.out, refdump("readable"));
    EXPECT_EQ(r.err, locked + ": Permission denied\n" + inside + ": Permission denied\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Cli, ExitStatusCountsFailuresUpTo255)
{
    struct {
        int missing;
        int status;
    } cases[] = {{0, 0}, {3, 3}, {255, 255}, {256, 255}, {300, 255}};
    std::string good = file("good", "x");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.missing);
        std::vector<std::string> args{good};
        for (int i = 0; i < c.missing; i++)
            args.push_back(path("missing" + std::to_string(i)));
        result r = run(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.missing);
        EXPECT_EQ(r.out, refdump("x"));
    }
}

TEST_F(Cli, WriteErrorsAreReportedAndStopTheRun)
{
    std::string big = file("big", randombytes(1 << 20, 5));
    std::string missing = path("missing");

    options full;
    full.stdoutpath = "/dev/full";
    result r = run({big, missing}, full);
    EXPECT_EQ(r.err, "write error: No space left on device\n");
    EXPECT_EQ(r.status, 1);

    // A reader that has gone, with SIGPIPE ignored: the write fails.
    options gone;
    gone.closereader = true;
    gone.ignoresigpipe = true;
    r = run({big, missing}, gone);
    EXPECT_EQ(r.err, "write error: Broken pipe\n");
    EXPECT_EQ(r.status, 1);

    // With SIGPIPE at its default the signal ends the tool.
    gone.ignoresigpipe = false;
    r = run({big, missing}, gone);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 128 + SIGPIPE);
}

TEST_F(Cli, AFailedWriteCountsOnTopOfEarlierFailures)
{
    std::string big = file("big", randombytes(1 << 16, 6));
    options full;
    full.stdoutpath = "/dev/full";
    result r = run({path("m1"), path("m2"), big, path("m3")}, full);
    EXPECT_EQ(r.err, path("m1") + NOENT + path("m2") + NOENT + "write error: No space left on device\n");
    EXPECT_EQ(r.status, 3);
}
