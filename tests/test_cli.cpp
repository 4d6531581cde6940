// End-to-end tests: the built tool run on files the tests make.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "hexcat.h"
#include "process.h"
#include "reference.h"

namespace fs = std::filesystem;

namespace {

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

// Waits, 30 s at most, until the pipe read at fd is full to within a page,
// and a little longer, so that its writer has found it full.
void waitfull(int fd)
{
    for (int i = 0; i < 3000; i++) {
        int n = 0;
        if (ioctl(fd, FIONREAD, &n) == 0 && n >= fcntl(fd, F_GETPIPE_SZ) - 4096)
            break;
        usleep(10 * 1000);
    }
    usleep(100 * 1000);
}

} // namespace

TEST_F(Cli, DumpsFilesOfEverySizeExactly)
{
    // Around the line width, and around the tool's read block.
    constexpr std::size_t B = hexcat::READBLOCK;
    const std::size_t sizes[] = {0, 1, 15, 16, 17, 31, 32, 33, 4101, B - 16, B, B + 5, 3 * B + 17};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string data = randombytes(size, static_cast<unsigned>(size));
        result r = run({file("f", data)});
        EXPECT_EQ(dumpdiff(r.out, refdump(data)), "");
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

    // Also where the file system gives the directory size 0.
    r = run({"/proc/sys"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "/proc/sys: Is a directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, ASocketCannotBeOpened)
{
    std::string sock = path("sock");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    result r = run({sock});
    close(s);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, sock + ": No such device or address\n");
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
#if defined(HEXCAT_CONFINE) && defined(SYS_landlock_create_ruleset)
    // By now the tool has confined itself: no_new_privs shows in its status
    // (qemu-user passes it on), and its system-call filter, one more than
    // this test has, wherever the kernel has seccomp and the tool runs
    // natively (qemu-user refuses a guest's filter).
    auto field = [](const std::string &pid, const std::string &name) {
        std::ifstream f("/proc/" + pid + "/status");
        for (std::string line; std::getline(f, line);)
            if (line.rfind(name + ":", 0) == 0)
                return std::stoi(line.substr(name.size() + 1));
        return -1;
    };
    const std::string pid = std::to_string(c.pid);
    int filters = field("self", "Seccomp_filters"); // from Linux 5.9 on
#ifdef HEXCAT_EMULATOR
    bool filtered = false;
#else
    bool filtered = field("self", "Seccomp") >= 0;
#endif
    EXPECT_EQ(field(pid, "NoNewPrivs"), 1);
    EXPECT_EQ(field(pid, "Seccomp_filters"), filtered && filters >= 0 ? filters + 1 : filters);
    EXPECT_EQ(field(pid, "Seccomp"), filtered ? 2 : field("self", "Seccomp"));
#endif

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

#if defined(HEXCAT_CONFINE) && defined(SYS_landlock_create_ruleset)
// A removed file that another process of the user holds open (this one) is
// recovered through /proc: the tool reads it as any file, under any filter
// that its parent puts it under, but for Landlock, which confines it only
// where its own filter is refused, and keeps it out of other processes.
TEST_F(Cli, ReadsAnotherProcesssFilesUnderAParentsFilter)
{
    std::string f = file("held", "held open");
    int held = open(f.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    unlink(f.c_str());
    const std::string recovered = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(held);
    std::string plain = file("plain", "plain");

    // A service manager's filter that kills on Landlock's calls, and one
    // that refuses any further filter as a kernel without seccomp does.
    constexpr std::uint32_t NR = offsetof(seccomp_data, nr);
    constexpr std::uint32_t ARG0 =
        offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
    sock_filter killlandlock[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, NR),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, SYS_landlock_create_ruleset, 0, 2),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, SYS_landlock_restrict_self, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_filter refusefilters[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, NR),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_seccomp, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_prctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECCOMP, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog kill{std::size(killlandlock), killlandlock}, refuse{std::size(refusefilters), refusefilters};
    // Where the tool's own filter is refused (no seccomp in the kernel, or
    // qemu-user), Landlock stands in for it, where the kernel has it.
    const bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) > 0;
#if defined(HEXCAT_HAVE_FILTER) && !defined(HEXCAT_EMULATOR)
    std::stringstream status;
    status << std::ifstream("/proc/self/status").rdbuf();
    const bool filtered = status.str().find("\nSeccomp:") != std::string::npos;
#else
    const bool filtered = false;
#endif
    struct {
        const char *what;
        const sock_fprog *filter;
        bool landlocked; // the tool is confined by Landlock
    } rows[] = {
        {"started as it is", nullptr, landlock && !filtered},
        {"under a filter that kills on Landlock's calls", &kill, landlock && !filtered},
        {"under a filter that refuses the tool's", &refuse, landlock},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        options o;
        o.filter = row.filter;
        result r = run({recovered, plain}, o);
        if (row.filter != nullptr && r.status == 125 && r.out.empty()) {
            std::cout << "[ SKIPPED  ] " << row.what << ": no seccomp filter for the test here\n";
            continue;
        }
        if (row.landlocked) {
            EXPECT_EQ(r.out, refdump("plain"));
            EXPECT_EQ(r.err, recovered + ": Permission denied\n");
            EXPECT_EQ(r.status, 1);
        } else {
            EXPECT_EQ(r.out, refdump("held open") + refdump("plain"));
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
        }
    }
    close(held);
}
#endif

TEST_F(Cli, PermissionFailuresAsAnUnprivilegedUser)
{
    std::string locked = file("locked", "secret");
    chmod(locked.c_str(), 0);
    fs::create_directory(path("closed"));
    std::string inside = file("closed/f", "unreachable");
    chmod(path("closed").c_str(), 0);
    std::string open = file("open", "readable");
    chmod(open.c_str(), 0644);

    options nobody;
    nobody.asnobody = true;
    nobody.gcovdir = path("gcov");
    fs::create_directory(nobody.gcovdir);
    chmod(nobody.gcovdir.c_str(), 0777);
    result r = run({locked, inside, open}, nobody);
    EXPECT_EQ(r.out, refdump("readable"));
    EXPECT_EQ(r.err, locked + ": Permission denied\n" + inside + ": Permission denied\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Cli, ExitStatusCountsFailuresUpTo125)
{
    // Above 125 a status reads as something else: 126 and 127 as "cannot
    // run" and "not found", 128 + n as a signal, 255 stops xargs.
    struct {
        int missing;
        int status;
    } cases[] = {{0, 0}, {3, 3}, {124, 124}, {125, 125}, {126, 125}, {255, 125}, {256, 125}, {300, 125}};
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

    // Also when the write that fails is the last one, of a one-byte file.
    r = run({file("one", "x")}, full);
    EXPECT_EQ(r.err, "write error: No space left on device\n");
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

TEST_F(Cli, NamesAreReportedAsTheyAreOrQuotedForTheShell)
{
    options here;
    here.cwd = dir;
    // A name that cannot be opened, in its report form: ordinary names as
    // they are, any other quoted whole in the shell's $'...'.
    // The C library's own words (glibc's "File name too long", musl's
    // "Filename too long").
    const std::string TOOLONG = std::string(": ") + std::strerror(ENAMETOOLONG) + "\n";
    std::string escapes;
    for (int i = 0; i < 3000; i++)
        escapes += "\\e";
    // U+00A0, the first character after the C1 controls; U+00C0, the lowest
    // second byte; U+07FF, U+0800, U+FFFF and U+10000, the last and first
    // of each length; U+D7FF, below the surrogates; U+10FFFF, the last.
    const std::string EDGES =
        "\xC2\xA0\xC3\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF";
    // The neighbours of the characters that are not shown: "~", U+00AC,
    // U+00AE, U+061B, U+061D, U+200A, U+2010, U+2027, U+202F, U+205F,
    // U+2070, U+FE10, U+FEFE, U+FF00, U+E1000.
    const std::string NEIGHBOURS =
        "~\xC2\xAC\xC2\xAE\xD8\x9B\xD8\x9D\xE2\x80\x8A\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF"
        "\xE2\x81\x9F\xE2\x81\xB0\xEF\xB8\x90\xEF\xBB\xBE\xEF\xBC\x80\xF3\xA1\x80\x80";
    struct {
        std::string name;
        std::string shown;
        std::string message;
    } rows[] = {
        {"with space, 'quotes' and \\backslash\\", "with space, 'quotes' and \\backslash\\", NOENT},
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", NOENT},
        {EDGES, EDGES, NOENT},
        {NEIGHBOURS, NEIGHBOURS, NOENT},
        // Ordinary names near those quoted below: "$'" further on, "$" or "'"
        // alone, more after "write error".
        {"a$'b'", "a$'b'", NOENT},
        {"$HOME", "$HOME", NOENT},
        {"a'b", "a'b", NOENT},
        {"write errors", "write errors", NOENT},
        {"write error x", "write error x", NOENT},
        {std::string(5000, 'n'), std::string(5000, 'n'), TOOLONG}, // longer than PATH_MAX
        // A forged second report, terminal sequences, every named escape.
        {"x\nother: Permission denied", "$'x\\nother: Permission denied'", NOENT},
        // The same with U+2028, a line separator; U+202E, which draws the
        // rest of the line right to left; the first and last of each other
        // range of characters that draw nothing or change how the line is
        // drawn: U+061C, U+200B, U+200F, U+2060, U+2064, U+2066, U+2069,
        // U+FEFF.
        {"x\xE2\x80\xA8other: Permission denied", "$'x\\342\\200\\250other: Permission denied'", NOENT},
        {"invoice\342\200\256fdp.exe", "$'invoice\\342\\200\\256fdp.exe'", NOENT},
        {"\xD8\x9C\xE2\x80\x8B\xE2\x80\x8F\xE2\x81\xA0\xE2\x81\xA4\xE2\x81\xA6\xE2\x81\xA9\xEF\xBB\xBF",
         "$'\\330\\234\\342\\200\\213\\342\\200\\217\\342\\201\\240\\342\\201\\244\\342\\201\\246"
         "\\342\\201\\251\\357\\273\\277'",
         NOENT},
        // Characters that draw nothing: U+00AD (soft hyphen), U+FE0F (a
        // variation selector) after a character that is shown, U+E0041 (a
        // tag, four bytes).
        {"a\302\255b", "$'a\\302\\255b'", NOENT},
        {"\xE2\x9D\xA4\xEF\xB8\x8F", "$'\xE2\x9D\xA4\\357\\270\\217'", NOENT},
        {"flag\xF3\xA0\x81\x81", "$'flag\\363\\240\\201\\201'", NOENT},
        {"\x1B]0;pwned\x07", "$'\\e]0;pwned\\a'", NOENT},
        {"\b\t\v\f\r\x1B[2J", "$'\\b\\t\\v\\f\\r\\e[2J'", NOENT},
        // Other C0 controls and DEL in three octal digits, even before a
        // digit (as here in C++); those just outside the named ones.
        {"\0012\0377\177\006\016", "$'\\0012\\0377\\177\\006\\016'", NOENT},
        // C1 controls, as UTF-8 and as raw bytes.
        {"nel\302\205csi\302\2331m\302\237", "$'nel\\302\\205csi\\302\\2331m\\302\\237'", NOENT},
        {"\23331m\200\237", "$'\\23331m\\200\\237'", NOENT},
        // Not UTF-8: a stray byte, "/" in overlong forms of 2, 3 and 4
        // bytes, a surrogate, past U+10FFFF, a sequence cut short. Valid
        // characters stay as they are.
        {"\xC3(caf\xC3\xA9\xFF", "$'\\303(caf\xC3\xA9\\377'", NOENT},
        {"\xC0\xAF\xE0\x80\xAF\xF0\x80\x80\xAF\xED\xA0\x80",
         "$'\\300\\257\\340\\200\\257\\360\\200\\200\\257\\355\\240\\200'", NOENT},
        {"\xF4\x90\x80\x80 cut\xE2\x82", "$'\\364\\220\\200\\200 cut\\342\\202'", NOENT},
        // The first byte past each edge: the leads C1 and F5, a second byte
        // below and above the continuation bytes, the overlong forms just
        // below U+0800 and U+10000.
        {"\xC1\x80\xF5\x80\x80\x80\xC3\x7F\xDF\xC0\xE0\x9F\xBF\xF0\x8F\xBF\xBF",
         "$'\\301\\200\\365\\200\\200\\200\\303\\177\\337\\300\\340\\237\\277\\360\\217\\277\\277'", NOENT},
        // Quote and backslash inside the quoting; a name that looks quoted.
        {"it's a\\b\n", "$'it\\'s a\\\\b\\n'", NOENT},
        {"$'x\\n'", "$'$\\'x\\\\n\\''", NOENT},
        // Names that read as the report that standard output failed.
        {"write error", "$'write error'", NOENT},
        {"write error: No space left on device", "$'write error: No space left on device'", NOENT},
        // A quoted form longer than the tool writes at once.
        {std::string(3000, '\x1B') + "\0019", "$'" + escapes + "\\0019'", TOOLONG},
    };
    std::vector<std::string> args;
    std::string err;
    // Each quoted form, pasted into bash, must name the file again.
    std::string script;
    std::string names;
    for (const auto &row : rows) {
        args.push_back(row.name);
        err += row.shown + row.message;
        if (row.shown.rfind("$'", 0) == 0) {
            script += "printf '%s\\0' " + row.shown + "\n";
            names += row.name + '\0';
        }
    }
    std::string notutf8 = "caf\xE9-\xFF\xFE";
    file(notutf8, "latin-1 name");
    args.push_back(notutf8);
    result r = run(args, here);
    EXPECT_EQ(r.out, refdump("latin-1 name"));
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, static_cast<int>(std::size(rows)));

    std::ofstream(path("paste.sh"), std::ios::binary) << script;
    FILE *bash = popen(("bash " + path("paste.sh")).c_str(), "r");
    ASSERT_NE(bash, nullptr);
    std::string pasted;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, bash)) > 0;)
        pasted.append(buf, n);
    EXPECT_EQ(pclose(bash), 0);
    EXPECT_EQ(pasted, names);
}

TEST_F(Cli, TenThousandArgumentsKeepOrderAndCount)
{
    options here;
    here.cwd = dir;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int failed = 0;
    for (int i = 0; i < 10000; i++) {
        std::string name = std::to_string(i);
        if (i % 7 == 3) {
            err += name + NOENT;
            failed++;
        } else {
            std::string data = "file " + name + (i % 2 ? " with an odd number\n" : "\n");
            file(name, data);
            out += refdump(data);
        }
        args.push_back(name);
    }
    ASSERT_GT(failed, 255);
    result r = run(args, here);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, 125);
}

TEST_F(Cli, NamedPipeWhoseWriterIsAlreadyWaiting)
{
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // The writer's open waits for the tool to open the reading end.
    pid_t writer = fork();
    if (writer == 0) {
        int w = open(fifo.c_str(), O_WRONLY);
        _exit(w < 0 ? 1 : 0);
    }
    usleep(100 * 1000);
    result r = run({fifo});
    int st = 0;
    waitpid(writer, &st, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST_F(Cli, PipedOutputGetsAOneMebibyteBuffer)
{
    std::string f = file("f", "x");
    child c = spawn({f}, {});
    // Once the dump has arrived the tool has flushed, and so sized the pipe.
    EXPECT_EQ(readsome(c.out, refdump("x").size(), 10000), refdump("x"));
    EXPECT_EQ(fcntl(c.out, F_GETPIPE_SZ), 1 << 20);
    EXPECT_EQ(finish(c).status, 0);
}

TEST_F(Cli, TightLimitsAndClosedOrUnwritableStandardDescriptors)
{
    std::string data = randombytes(hexcat::READBLOCK + 5, 10);
    std::string a = file("a", data);
    std::string b = file("b", "second");
    std::string missing = path("missing");
    std::vector<std::string> args{missing};
    std::string out;
    for (int i = 0; i < 12; i++) {
        args.insert(args.end(), {a, b});
        out += refdump(data) + refdump("second");
    }
    struct {
        const char *what;
        rlim_t stacklimit;
        rlim_t nofile;   // a descriptor kept per file soon runs out
        int closefd;     // 0: the first file opens as standard input
        const char *err; // standard error as a path
        bool reported;
    } rows[] = {
        // 16 KiB for the tool; the kernel may leave up to 8 KiB more unused
        // below the arguments when it places the stack at random.
        {"24 KiB of stack", 24 * 1024, 0, -1, nullptr, true},
        {"8 descriptors", 0, 8, -1, nullptr, true},
        {"standard input closed", 0, 0, 0, nullptr, true},
        {"standard error closed", 0, 0, 2, nullptr, false},
        {"standard error full", 0, 0, -1, "/dev/full", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        options o;
        o.stacklimit = row.stacklimit;
        o.nofile = row.nofile;
        o.closefd = row.closefd;
        o.stderrpath = row.err;
        result r = run(args, o);
        EXPECT_EQ(dumpdiff(r.out, out), "");
        EXPECT_EQ(r.err, row.reported ? missing + NOENT : "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(Cli, NonBlockingOutputWaitsForASlowReader)
{
    // Enough reports to fill the error pipe, then a dump several times the
    // output pipe's size.
    std::vector<std::string> args;
    std::string err;
    for (int i = 0; i < 2000; i++) {
        args.push_back(path("missing" + std::to_string(i)));
        err += args.back() + NOENT;
    }
    std::string data = randombytes(std::size_t{2} << 20, 11);
    args.push_back(file("big", data));
    options o;
    o.nonblocking = true;
    child c = spawn(args, o);
    // Each pipe is read only once the tool has found it full.
    waitfull(c.err);
    std::string early = readsome(c.err, err.size(), 30000);
    waitfull(c.out);
    result r = finish(c);
    EXPECT_EQ(dumpdiff(r.out, refdump(data)), "");
    EXPECT_EQ(dumpdiff(early + r.err, err), "");
    EXPECT_EQ(r.status, 125);
}

TEST_F(Cli, AFileThatGrowsIsDumpedUpToItsOldSize)
{
    std::string data = randombytes((std::size_t{2} << 20) + 5, 12);
    std::string f = file("grows", data);
    child c = spawn({f}, {});
    // With its output pipe full the tool waits early in the file.
    waitfull(c.out);
    std::string more = randombytes(100, 13);
    std::ofstream(f, std::ios::binary | std::ios::app) << more;
    result r = finish(c);
    // The last line is filled up to 16 bytes from what was added.
    EXPECT_EQ(dumpdiff(r.out, refdump((data + more).substr(0, data.size() + 11))), "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}
