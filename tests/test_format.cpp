// The dump line: its exact layout, and every line kernel against the
// reference formatter; the output queue at each fill level; the file dumper
// when the system's reads and writes misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "hexcat.h"
#include "kernels/kernels.h"
#include "layout.h"
#include "output.h"
#include "reference.h"

using namespace hexcat;

// The calls the tool opens, reads and writes with are replaced in this test
// program (the tool's library is linked into it), so that a test can make
// them misbehave as the system may: deliver a few bytes at a time, be
// interrupted, find a non-blocking descriptor full, or write nothing; and
// so that a test can count the reads, or change the file system just
// before an open.
namespace {

enum class calls { plain, trickle, nospace };
calls mode = calls::plain;
unsigned long count = 0;
unsigned long reads = 0;        // every read, in every mode
std::function<void()> atopen{}; // run once, at the next open
// If not 0, the size fcntl() gives for a pipe; a request to resize it is
// then recorded in asked instead of being made.
int pipesize = 0;
int asked = 0;

// In trickle mode, what the next call does: fail with the error -r, or
// move at most r bytes.
long trickle(bool writing)
{
    count++;
    if (count % 4 == 1)
        return -EINTR;
    if (writing && count % 4 == 2)
        return -EAGAIN;
    return static_cast<long>(count % 7) + 1;
}

} // namespace

extern "C" int open(const char *path, int flags, ...)
{
    mode_t perms = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        perms = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (atopen) {
        auto f = std::move(atopen);
        atopen = nullptr;
        f();
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, perms));
}

extern "C" int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    long arg = va_arg(ap, long); // ignored by the commands that take none
    va_end(ap);
    if (pipesize != 0 && cmd == F_GETPIPE_SZ)
        return pipesize;
    if (pipesize != 0 && cmd == F_SETPIPE_SZ) {
        asked = static_cast<int>(arg);
        return asked;
    }
    return static_cast<int>(syscall(SYS_fcntl, fd, cmd, arg));
}

extern "C" ssize_t read(int fd, void *buf, size_t n)
{
    reads++;
    if (mode == calls::trickle) {
        long r = trickle(false);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        n = std::min(n, static_cast<size_t>(r));
    }
    return syscall(SYS_read, fd, buf, n);
}

// With _FORTIFY_SOURCE the tool's reads go to the checked form, which the C
// library would run without the read above.
extern "C" ssize_t __read_chk(int fd, void *buf, size_t n, size_t size)
{
    if (n > size)
        abort();
    return read(fd, buf, n);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    if (mode == calls::nospace && fd != 2) {
        // A tool that kept trying would fail after a while, differently.
        if (++count > 1000) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    if (mode == calls::trickle) {
        long r = trickle(true);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        n = std::min(n, static_cast<size_t>(r));
    }
    return syscall(SYS_write, fd, buf, n);
}

extern "C" ssize_t writev(int fd, const iovec *iov, int cnt)
{
    if (mode != calls::trickle)
        return syscall(SYS_writev, fd, iov, cnt);
    long r = trickle(true);
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    // The first r bytes of the buffers, which may end inside any of them.
    iovec part[8];
    int k = 0;
    for (auto left = static_cast<size_t>(r); k < cnt && k < 8 && left > 0; k++) {
        part[k] = {iov[k].iov_base, std::min(iov[k].iov_len, left)};
        left -= part[k].iov_len;
    }
    return syscall(SYS_writev, fd, part, k);
}

namespace {

// Runs f with the tool's standard output sent to a memory file and returns
// what it wrote.
std::string captured(const std::function<void()> &f)
{
    int fd = memfd_create("out", 0);
    EXPECT_GE(fd, 0);
    setoutputfd(fd);
    f();
    EXPECT_TRUE(flushoutput());
    setoutputfd(1);
    std::string out(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    close(fd);
    return out;
}

std::vector<unsigned char> bytes(std::initializer_list<int> v)
{
    std::vector<unsigned char> b;
    for (int x : v)
        b.push_back(static_cast<unsigned char>(x));
    return b;
}

// Every kernel this processor runs, best first.
std::vector<kernel> runnable()
{
    std::vector<kernel> k;
    for (const kernel &x : kernels())
        if (x.runs())
            k.push_back(x);
    return k;
}

// Runs a kernel over n blocks into a buffer with room for its slack, and
// checks that it wrote nothing before the buffer's start.
std::string runkernel(linesfn fn, const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    std::vector<char> buf(16 + n * MAXLINE + SLACK, '#');
    char *end = fn(buf.data() + 16, p, offset, n);
    EXPECT_EQ(std::string(buf.data(), 16), std::string(16, '#'));
    return std::string(buf.data() + 16, end);
}

// Compares two dumps line by line, so that a mismatch shows the first line
// that differs rather than both dumps whole.
::testing::AssertionResult samelines(const std::string &got, const std::string &want)
{
    std::size_t at = 0;
    while (at < got.size() && at < want.size()) {
        std::size_t g = got.find('\n', at);
        std::size_t w = want.find('\n', at);
        std::string gl = got.substr(at, g == std::string::npos ? g : g + 1 - at);
        std::string wl = want.substr(at, w == std::string::npos ? w : w + 1 - at);
        if (gl != wl)
            return ::testing::AssertionFailure() << "at byte " << at << "\n got: " << gl << "want: " << wl;
        at += gl.size();
    }
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes differ: " << got.size() << " vs " << want.size();
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(DumpLine, ExampleLinesComeOutByteForByte)
{
    std::vector<unsigned char> alphabet;
    for (int b = 0x41; b <= 0x50; b++)
        alphabet.push_back(static_cast<unsigned char>(b));
    auto hello = bytes({'H', 'e', 'l', 'l', 'o', '\n'});
    auto edges = bytes({0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF});
    std::string out = captured([&] {
        dumpline(alphabet.data(), 0, 16);
        dumpline(hello.data(), 16, 6);
        dumpline(edges.data(), 0x1F0, 7);
    });
    EXPECT_EQ(out, "00000000: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|\n"
                   "00000010: 48 65 6C 6C 6F 0A                                |Hello.          |\n"
                   "000001F0: 00 1F 20 7E 7F 80 FF                             |.. ~...         |\n");
}

TEST(DumpLine, EveryCountHasTheFixedWidthAndMatchesTheReference)
{
    unsigned char block[32];
    for (int i = 0; i < 32; i++)
        block[i] = static_cast<unsigned char>(0x30 + i);
    for (int cnt : {-5, -1, 0, 1, 2, 7, 15, 16, 17, 20, 1000}) {
        SCOPED_TRACE(cnt);
        std::string line = captured([&] { dumpline(block, 0x1230, cnt); });
        EXPECT_EQ(line, refline(block, 0x1230, cnt));
        ASSERT_EQ(line.size(), 78u);
        EXPECT_EQ(line[76], '|');
        EXPECT_EQ(line.substr(57, 3), "  |");
    }
    // A count above 16 shows the first 16 bytes; none or fewer shows none.
    EXPECT_EQ(captured([&] { dumpline(block, 0, 40); }), captured([&] { dumpline(block, 0, 16); }));
    EXPECT_EQ(captured([&] { dumpline(block, 0, -3); }),
              "00000000:" + std::string(48, ' ') + "  |" + std::string(16, ' ') + "|\n");
}

TEST(DumpLine, OffsetFieldWidensPastFourGiB)
{
    unsigned char block[16] = {0xAB, 'x'};
    struct {
        std::uint64_t offset;
        const char *field;
    } cases[] = {
        {0, "00000000:"},
        {0xFFFFFFF0ULL, "FFFFFFF0:"},
        {0x100000000ULL, "100000000:"},
        {0xABCDEF0123456780ULL, "ABCDEF0123456780:"},
        {0xFFFFFFFFFFFFFFF0ULL, "FFFFFFFFFFFFFFF0:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field);
        for (int cnt : {2, 16}) {
            std::string line = captured([&] { dumpline(block, c.offset, cnt); });
            EXPECT_EQ(line, refline(block, c.offset, cnt));
            EXPECT_EQ(line.rfind(c.field, 0), 0u);
            EXPECT_EQ(line.size(), 78 + std::strlen(c.field) - 9);
            EXPECT_EQ(line.substr(std::strlen(c.field), 3), " AB");
        }
    }
}

TEST(Kernels, TheBestKernelThisProcessorRunsIsChosen)
{
    ASSERT_STREQ(kernels().back().name, "portable");
    EXPECT_STREQ(activekernel().name, runnable().front().name);
#ifdef HEXCAT_X86
    EXPECT_STREQ(activekernel().name, haveavx2() ? "avx2" : havessse3() ? "ssse3" : "portable");
#endif
    EXPECT_FALSE(usekernel("none such"));
    EXPECT_TRUE(usekernel("portable"));
    EXPECT_STREQ(activekernel().name, "portable");
    EXPECT_TRUE(usekernel(nullptr));
    EXPECT_STREQ(activekernel().name, runnable().front().name);
}

TEST(Kernels, EveryByteValueInEveryPositionMatchesTheReference)
{
    // Block i holds (i + 17k) mod 256 at position k: over the 256 blocks
    // every position sees every value.
    std::vector<unsigned char> data(256 * 16);
    for (int i = 0; i < 256; i++)
        for (int k = 0; k < 16; k++)
            data[16 * i + k] = static_cast<unsigned char>(i + 17 * k);
    for (std::uint64_t offset : {std::uint64_t{0x7FFFF00}, std::uint64_t{0x3FFFFF000}}) {
        std::string want = refblocks(data.data(), offset, 256);
        for (const auto &k : runnable()) {
            SCOPED_TRACE(k.name);
            EXPECT_TRUE(samelines(runkernel(k.fn, data.data(), offset, 256), want)) << offset;
        }
    }
}

TEST(Kernels, RandomBlocksAndEveryRunLengthMatchTheReference)
{
    std::mt19937_64 gen(12345);
    std::vector<unsigned char> data(16 * 64);
    for (auto &b : data)
        b = static_cast<unsigned char>(gen());
    for (const auto &k : runnable()) {
        SCOPED_TRACE(k.name);
        for (std::size_t n = 1; n <= 64; n++) {
            // Offsets of every width, each run below one multiple of 2^32.
            std::uint64_t offset = (gen() >> (gen() % 64)) & ~std::uint64_t{15};
            if ((offset & 0xFFFFFFFFu) > 0xFFFFFFFFu - 16 * 64)
                offset -= 16 * 64;
            ASSERT_TRUE(samelines(runkernel(k.fn, data.data(), offset, n), refblocks(data.data(), offset, n)))
                << n;
        }
    }
}

TEST(Kernels, OffsetsUpToTheLastBelowAMultipleOfFourGiB)
{
    unsigned char data[16 * 4];
    for (int i = 0; i < 64; i++)
        data[i] = static_cast<unsigned char>(255 - i);
    for (std::uint64_t offset : {0xFFFFFFC0ULL, 0x1FFFFFFC0ULL, 0xFFFFFFFFFFFFFFC0ULL}) {
        for (const auto &k : runnable()) {
            SCOPED_TRACE(k.name);
            EXPECT_TRUE(samelines(runkernel(k.fn, data, offset, 4), refblocks(data, offset, 4))) << offset;
        }
    }
}

TEST(DumpLines, RunsAcrossFourGiBAndFillTheQueueRepeatedly)
{
    std::mt19937 gen(99);
    // More lines than the output queue holds, so it is flushed mid-run.
    std::size_t n = OUTCAP / LINE * 2 + 7;
    std::vector<unsigned char> data(16 * n);
    for (auto &b : data)
        b = static_cast<unsigned char>(gen());
    for (const auto &k : runnable()) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(usekernel(k.name));
        for (std::uint64_t start :
             {std::uint64_t{0}, std::uint64_t{0x100000000} - 16 * 100, std::uint64_t{0x2FFFFFF00}}) {
            SCOPED_TRACE(start);
            std::string out = captured([&] { dumplines(data.data(), start, n); });
            ASSERT_TRUE(samelines(out, refblocks(data.data(), start, n)));
        }
    }
    usekernel(nullptr);
    // A short line arriving when the queue is nearly full.
    std::size_t full = OUTCAP / LINE;
    std::string out = captured([&] {
        dumplines(data.data(), 0, full);
        dumpline(data.data(), 16 * full, 5);
    });
    EXPECT_TRUE(samelines(out, refblocks(data.data(), 0, full) + refline(data.data(), 16 * full, 5)));
}

TEST(DumpLines, OffsetsThatAreNotMultiplesOfSixteen)
{
    // The tool itself always starts lines at multiples of 16, but the
    // formatter takes any offset, also just below 4 GiB.
    std::vector<unsigned char> data(16 * 8);
    for (std::size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<unsigned char>(i * 7);
    for (const auto &k : runnable()) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(usekernel(k.name));
        for (std::uint64_t start : {std::uint64_t{5}, std::uint64_t{0xFFFFFFF8}, std::uint64_t{0xFFFFFFC3},
                                    std::uint64_t{0x1FFFFFFC3}}) {
            SCOPED_TRACE(start);
            std::string out = captured([&] { dumplines(data.data(), start, 8); });
            EXPECT_TRUE(samelines(out, refblocks(data.data(), start, 8)));
        }
    }
    usekernel(nullptr);
}

TEST(DumpLines, EveryFillLevelOfTheQueueNearItsEnd)
{
    // Each level from three long lines short of full up to full, where a
    // line or a run must wait for a flush; past 4 GiB lines are longer. A
    // short line follows, and finds the queue as the first left it. Under
    // the sanitizers an overrun of the queue stops the test.
    unsigned char data[16 * 4];
    for (int i = 0; i < 64; i++)
        data[i] = static_cast<unsigned char>(i * 5 + 3);
    struct {
        std::uint64_t offset;
        int cnt;       // one line of cnt bytes
        std::size_t n; // or a run of n full lines
    } rows[] = {
        {0x1230, 16, 0},
        {0xFEDCBA9876543210, 7, 0},
        {0xFFFFFFE0, 0, 4},
        {0xFFFFFFFFFFFFFFC0, 0, 4},
    };
    for (const auto &k : runnable()) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(usekernel(k.name));
        for (const auto &row : rows) {
            SCOPED_TRACE(row.offset);
            std::string want =
                row.n > 0 ? refblocks(data, row.offset, row.n) : refline(data, row.offset, row.cnt);
            want += refline(data, 0x4320, 5);
            for (std::size_t fill = OUTCAP - 3 * MAXLINE; fill <= OUTCAP; fill++) {
                std::string out = captured([&] {
                    std::size_t room;
                    char *d = outreserve(fill, &room);
                    std::memset(d, 'x', fill);
                    outcommit(d + fill);
                    if (row.n > 0)
                        dumplines(data, row.offset, row.n);
                    else
                        dumpline(data, row.offset, row.cnt);
                    dumpline(data, 0x4320, 5);
                });
                ASSERT_EQ(out.size(), fill + want.size()) << fill;
                ASSERT_EQ(out.find_first_not_of('x'), fill);
                ASSERT_EQ(out.substr(fill), want) << fill;
            }
        }
    }
    usekernel(nullptr);
}

TEST(FaultyCalls, AFewBytesAtATimeGiveTheSameDumpAndWholeReports)
{
    // A file of over one read block, read from a memory file by name.
    std::mt19937 gen(8);
    std::string data(READBLOCK + 21, '\0');
    for (auto &c : data)
        c = static_cast<char>(gen());
    int in = memfd_create("in", 0);
    ASSERT_EQ(pwrite(in, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    std::string name = "/proc/self/fd/" + std::to_string(in);
    // Reports go to a memory file too.
    int err = memfd_create("err", 0);
    int saved = dup(2);
    ASSERT_EQ(dup2(err, 2), 2);

    // Every read and write moves 1 to 7 bytes, and some are interrupted or
    // find the output full.
    std::string out = captured([&] {
        mode = calls::trickle;
        count = 0;
        EXPECT_EQ(hexdump(name.c_str()), 0);
        EXPECT_EQ(hexdump("/nonexistent/one"), 1);
        EXPECT_EQ(hexdump("/nonexistent/two"), 1);
        mode = calls::plain;
    });
    EXPECT_TRUE(samelines(out, refdump(data)));

    // A write that takes nothing is a failure, reported as a full device.
    int fd = memfd_create("out", 0);
    setoutputfd(fd);
    mode = calls::nospace;
    count = 0;
    int status = hexdump(name.c_str());
    mode = calls::plain;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(outputfailed());
    setoutputfd(1);
    close(fd);

    dup2(saved, 2);
    close(saved);
    std::string reports(static_cast<std::size_t>(lseek(err, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(err, reports.data(), reports.size(), 0), static_cast<ssize_t>(reports.size()));
    close(err);
    close(in);
    EXPECT_EQ(reports, "/nonexistent/one: No such file or directory\n"
                       "/nonexistent/two: No such file or directory\n"
                       "write error: No space left on device\n");
}

TEST(FaultyCalls, WhatTheDumperReadsWhenTheOutputFailsOrTheFileChanges)
{
    char tmpl[] = "/tmp/hexcat-format-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string name = dir + "/f";
    auto make = [](const std::string &path, const std::string &data) {
        std::ofstream(path, std::ios::binary) << data;
    };
    std::mt19937 gen(17);
    std::string big(8 * READBLOCK, '\0');
    for (auto &c : big)
        c = static_cast<char>(gen());
    const std::string large = big.substr(0, 1024);
    struct {
        const char *what;
        std::string data;           // the file at the name when it is looked up
        calls mode;                 // how writes behave
        std::function<void()> swap; // done just before the open
        int status;                 // hexdump's result
        std::string out;            // what reached the output
        unsigned long reads;        // read calls made
        std::string reports;        // on standard error
    } rows[] = {
        // The first write fails in the first block: nothing more is read.
        {"output fails", big, calls::nospace, nullptr, 1, "", 1, "write error: No space left on device\n"},
        // The size and type are those of the file opened, not of the one
        // looked up: renamed over the name, a larger file is dumped whole,
        // and a directory is a read error.
        {"renamed over at open", "ten bytes!", calls::plain,
         [&] {
             make(dir + "/new", large);
             std::rename((dir + "/new").c_str(), name.c_str());
         },
         0, refdump(large), 1, ""},
        {"directory at open", "", calls::plain,
         [&] {
             unlink(name.c_str());
             mkdir(name.c_str(), 0755);
         },
         1, "", 1, name + ": Is a directory\n"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(name);
        make(name, row.data);
        int out = memfd_create("out", 0);
        int err = memfd_create("err", 0);
        int saved = dup(2);
        ASSERT_EQ(dup2(err, 2), 2);
        setoutputfd(out);
        atopen = row.swap;
        mode = row.mode;
        count = 0;
        reads = 0;
        int status = hexdump(name.c_str());
        unsigned long done = reads;
        mode = calls::plain;
        atopen = nullptr;
        setoutputfd(1);
        dup2(saved, 2);
        close(saved);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(done, row.reads);
        auto contents = [](int fd) {
            std::string s(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
            EXPECT_EQ(pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
            close(fd);
            return s;
        };
        EXPECT_TRUE(samelines(contents(out), row.out));
        EXPECT_EQ(contents(err), row.reports);
    }
    std::filesystem::remove_all(dir);
}

TEST(FaultyCalls, APipeIsEnlargedOnlyWhenSmallerThanOneMebibyte)
{
    // The size the pipe has when the tool first writes to it, and the size
    // the tool asks for (0: none).
    struct {
        int size;
        int asks;
    } rows[] = {{64 << 10, 1 << 20}, {4 << 20, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.size);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        setoutputfd(p[1]);
        pipesize = row.size;
        asked = 0;
        unsigned char data[5] = {'x'};
        dumpline(data, 0, 5);
        EXPECT_TRUE(flushoutput());
        pipesize = 0;
        setoutputfd(1);
        EXPECT_EQ(asked, row.asks);
        std::string out(LINE, '\0');
        EXPECT_EQ(read(p[0], out.data(), out.size()), static_cast<ssize_t>(LINE));
        EXPECT_EQ(out, refline(data, 0, 5));
        close(p[0]);
        close(p[1]);
    }
}
