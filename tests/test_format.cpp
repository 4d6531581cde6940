// The dump line: its exact layout, and every line kernel against the
// reference formatter; the output queue at each fill level; the file dumper
// when the system's reads and writes misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "hexcat.h"
#include "kernels/kernels.h"
#include "layout.h"
#include "output.h"
#include "reference.h"
#include "system.h"

using namespace hexcat;

// The system calls of a test's run misbehave as the system may: deliver a
// few bytes at a time, be interrupted, find a non-blocking descriptor full,
// or write nothing; and a test can count the reads, or change the file
// system just before an open.
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

// A trickle-mode call's failure, or 0 and n cut to what it may move.
int trickled(bool writing, std::size_t &n)
{
    if (mode != calls::trickle)
        return 0;
    long r = trickle(writing);
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    n = std::min(n, static_cast<std::size_t>(r));
    return 0;
}

const syscalls TESTCALLS = {
    SYSCALLS.stat,
    [](const char *path, int flags) {
        if (atopen) {
            auto f = std::move(atopen);
            atopen = nullptr;
            f();
        }
        return SYSCALLS.open(path, flags);
    },
    SYSCALLS.fstat,
    [](int fd, void *buf, std::size_t n) -> ssize_t {
        reads++;
        if (trickled(false, n) < 0)
            return -1;
        return SYSCALLS.read(fd, buf, n);
    },
    SYSCALLS.close,
    [](int fd, const void *buf, std::size_t n) -> ssize_t {
        if (mode == calls::nospace && fd != 2) {
            // A tool that kept trying would fail after a while, differently.
            if (++count > 1000) {
                errno = EIO;
                return -1;
            }
            return 0;
        }
        if (trickled(true, n) < 0)
            return -1;
        return SYSCALLS.write(fd, buf, n);
    },
    [](int fd, const iovec *iov, int cnt) -> ssize_t {
        std::size_t r = SIZE_MAX;
        if (trickled(true, r) < 0)
            return -1;
        // The first r bytes of the buffers, which may end inside any of them.
        iovec part[8];
        int k = 0;
        for (std::size_t left = r; k < cnt && k < 8 && left > 0; k++) {
            part[k] = {iov[k].iov_base, std::min(iov[k].iov_len, left)};
            left -= part[k].iov_len;
        }
        return SYSCALLS.writev(fd, part, k);
    },
    [](int fd, int cmd, int arg) {
        if (pipesize != 0 && cmd == F_GETPIPE_SZ)
            return pipesize;
        if (pipesize != 0 && cmd == F_SETPIPE_SZ) {
            asked = arg;
            return asked;
        }
        return SYSCALLS.fcntl(fd, cmd, arg);
    },
    SYSCALLS.poll,
};

// A run of the tool whose output goes to fd, through the test's calls, with
// the best kernel this processor runs.
std::unique_ptr<run> newrun(int fd)
{
    auto r = std::make_unique<run>();
    r->out.sys = &TESTCALLS;
    r->out.fd = fd;
    r->kern = findkernel(nullptr);
    return r;
}

// What has been written to the memory file fd; closes it.
std::string contents(int fd)
{
    std::string s(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
    close(fd);
    return s;
}

// Runs f on a run whose output goes to a memory file, and returns what it
// wrote. With k, the run uses that kernel.
std::string captured(const std::function<void(run &)> &f, const kernel *k = nullptr)
{
    int fd = memfd_create("out", 0);
    EXPECT_GE(fd, 0);
    auto r = newrun(fd);
    if (k != nullptr)
        r->kern = k;
    f(*r);
    EXPECT_TRUE(flushoutput(r->out));
    return contents(fd);
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
    char *end = fn(buf.data() + 16, p, static_cast<std::uint32_t>(offset), highdigits(offset), n);
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
    std::string out = captured([&](run &r) {
        dumpline(r.out, alphabet.data(), 0, 16);
        dumpline(r.out, hello.data(), 16, 6);
        dumpline(r.out, edges.data(), 0x1F0, 7);
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
        std::string line = captured([&](run &r) { dumpline(r.out, block, 0x1230, cnt); });
        EXPECT_EQ(line, refline(block, 0x1230, cnt));
        ASSERT_EQ(line.size(), 78u);
        EXPECT_EQ(line[76], '|');
        EXPECT_EQ(line.substr(57, 3), "  |");
    }
    // A count above 16 shows the first 16 bytes; none or fewer shows none.
    EXPECT_EQ(captured([&](run &r) { dumpline(r.out, block, 0, 40); }),
              captured([&](run &r) { dumpline(r.out, block, 0, 16); }));
    EXPECT_EQ(captured([&](run &r) { dumpline(r.out, block, 0, -3); }),
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
            std::string line = captured([&](run &r) { dumpline(r.out, block, c.offset, cnt); });
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
    EXPECT_STREQ(findkernel(nullptr)->name, runnable().front().name);
#ifdef HEXCAT_X86
    EXPECT_STREQ(findkernel(nullptr)->name, haveavx2() ? "avx2" : havessse3() ? "ssse3" : "portable");
#endif
    EXPECT_EQ(findkernel("none such"), nullptr);
    ASSERT_NE(findkernel("portable"), nullptr);
    EXPECT_STREQ(findkernel("portable")->name, "portable");
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
        for (std::uint64_t start :
             {std::uint64_t{0}, std::uint64_t{0x100000000} - 16 * 100, std::uint64_t{0x2FFFFFF00}}) {
            SCOPED_TRACE(start);
            std::string out = captured([&](run &r) { dumplines(r.out, *r.kern, data.data(), start, n); }, &k);
            ASSERT_TRUE(samelines(out, refblocks(data.data(), start, n)));
        }
    }
    // A short line arriving when the queue is nearly full.
    std::size_t full = OUTCAP / LINE;
    std::string out = captured([&](run &r) {
        dumplines(r.out, *r.kern, data.data(), 0, full);
        dumpline(r.out, data.data(), 16 * full, 5);
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
        for (std::uint64_t start : {std::uint64_t{5}, std::uint64_t{0xFFFFFFF8}, std::uint64_t{0xFFFFFFC3},
                                    std::uint64_t{0x1FFFFFFC3}}) {
            SCOPED_TRACE(start);
            std::string out = captured([&](run &r) { dumplines(r.out, *r.kern, data.data(), start, 8); }, &k);
            EXPECT_TRUE(samelines(out, refblocks(data.data(), start, 8)));
        }
    }
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
        for (const auto &row : rows) {
            SCOPED_TRACE(row.offset);
            std::string want =
                row.n > 0 ? refblocks(data, row.offset, row.n) : refline(data, row.offset, row.cnt);
            want += refline(data, 0x4320, 5);
            for (std::size_t fill = OUTCAP - 3 * MAXLINE; fill <= OUTCAP; fill++) {
                std::string out = captured(
                    [&](run &r) {
                        std::size_t room;
                        char *d = outreserve(r.out, fill, &room);
                        std::memset(d, 'x', fill);
                        outcommit(r.out, d + fill);
                        if (row.n > 0)
                            dumplines(r.out, *r.kern, data, row.offset, row.n);
                        else
                            dumpline(r.out, data, row.offset, row.cnt);
                        dumpline(r.out, data, 0x4320, 5);
                    },
                    &k);
                ASSERT_EQ(out.size(), fill + want.size()) << fill;
                ASSERT_EQ(out.find_first_not_of('x'), fill);
                ASSERT_EQ(out.substr(fill), want) << fill;
            }
        }
    }
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
    std::string out = captured([&](run &r) {
        mode = calls::trickle;
        count = 0;
        EXPECT_EQ(hexdump(r, name.c_str()), 0);
        EXPECT_EQ(hexdump(r, "/nonexistent/one"), 1);
        EXPECT_EQ(hexdump(r, "/nonexistent/two"), 1);
        mode = calls::plain;
    });
    EXPECT_TRUE(samelines(out, refdump(data)));

    // A write that takes nothing is a failure, reported as a full device.
    int fd = memfd_create("out", 0);
    auto r = newrun(fd);
    mode = calls::nospace;
    count = 0;
    int status = hexdump(*r, name.c_str());
    mode = calls::plain;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(r->out.failed);
    close(fd);

    dup2(saved, 2);
    close(saved);
    close(in);
    EXPECT_EQ(contents(err), "/nonexistent/one: No such file or directory\n"
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
        auto r = newrun(out);
        atopen = row.swap;
        mode = row.mode;
        count = 0;
        reads = 0;
        int status = hexdump(*r, name.c_str());
        unsigned long done = reads;
        mode = calls::plain;
        atopen = nullptr;
        dup2(saved, 2);
        close(saved);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(done, row.reads);
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
        auto r = newrun(p[1]);
        pipesize = row.size;
        asked = 0;
        unsigned char data[5] = {'x'};
        dumpline(r->out, data, 0, 5);
        EXPECT_TRUE(flushoutput(r->out));
        pipesize = 0;
        EXPECT_EQ(asked, row.asks);
        std::string out(LINE, '\0');
        EXPECT_EQ(read(p[0], out.data(), out.size()), static_cast<ssize_t>(LINE));
        EXPECT_EQ(out, refline(data, 0, 5));
        close(p[0]);
        close(p[1]);
    }
}
