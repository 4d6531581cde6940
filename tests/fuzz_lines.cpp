// Fuzz target: every line kernel, dumpline, dumplines and the file dumper's
// block loop, each compared byte for byte with the reference formatter; and
// the report form of names, read back by the reference reader of the
// shell's quoting.
//
// Input: 8 bytes of offset, 4 bytes of count, then the data. The data up
// to its first NUL also serves as a name, quoted in pieces of 16 to 79
// bytes as the count's low six bits say; its next three bits place the
// kernels' lines past a multiple of 8.
//
// Built with HEXCAT_FUZZ_REPLAY, for compilers without libFuzzer (the
// ports' GCC), it has a main that replays inputs instead.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>
#ifdef HEXCAT_FUZZ_REPLAY
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>
#endif

#include "capture.h"
#include "hexcat.h"
#include "kernels/kernels.h"
#include "layout.h"
#include "output.h"
#include "quote.h"
#include "reference.h"

using namespace hexcat;

namespace {

memfile out;
run *tool = nullptr; // the run whose output goes to out

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

// The kernel's lines at `at` bytes past a multiple of 8.
void checkkernel(linesfn fn, const unsigned char *p, std::uint64_t offset, std::size_t n, unsigned at,
                 const char *name)
{
    std::vector<char> buf(8 + n * MAXLINE + SLACK);
    char *start = buf.data() + (at - reinterpret_cast<std::uintptr_t>(buf.data())) % 8;
    char *end = fn(start, p, static_cast<std::uint32_t>(offset), highdigits(offset), n);
    check(std::string(start, end) == refblocks(p, offset, n), name);
}

// The report form of name, written in pieces of at most cap bytes, each in
// a buffer of exactly that size (so that the sanitizer sees an overrun).
std::string quoted(const std::string &name, std::size_t cap)
{
    std::string form;
    namequote q = startquote(name.c_str());
    std::vector<char> piece(cap);
    while (!q.done) {
        std::size_t n = nextquote(&q, piece.data(), cap);
        check(n <= cap && (n > 0 || q.done), "quote piece");
        form.append(piece.data(), n);
    }
    check(nextquote(&q, piece.data(), cap) == 0, "quote after the end");
    return form;
}

// A name that a terminal shows as it is, and that does not start as a
// quoted one does or as the report "write error: ...", is reported as it
// is. Any other is quoted whole: a form that reads back as the name and
// that a terminal shows as it is, so no control byte and one line. Both
// together make the form unique.
void checkquote(const std::string &name, std::size_t cap)
{
    check(!refhiddenset().empty(), "the Unicode data in /usr/share/unicode (apt-get install unicode-data)");
    std::string form = quoted(name, cap);
    bool likereport = name.rfind("$'", 0) == 0 || name == "write error" || name.rfind("write error:", 0) == 0;
    if (refshown(name) && !likereport) {
        check(form == name, "ordinary name unchanged");
        return;
    }
    std::string back;
    check(refunquote(form, &back), "quoted name reads back");
    check(back == name, "quoted name reads back as the name");
    check(refshown(form), "quoted name shown as it is");
}

// The UTF-8 form of the code point c.
std::string utf8(std::uint32_t c)
{
    if (c < 0x80)
        return std::string(1, static_cast<char>(c));
    const std::size_t len = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string s(len, '\0');
    for (std::size_t i = len - 1; i > 0; i--, c >>= 6)
        s[i] = static_cast<char>(0x80 | (c & 0x3F));
    s[0] = static_cast<char>(((0xFF00u >> len) & 0xFF) | c);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 12)
        return 0;
    if (tool == nullptr) {
        tool = new run;
        tool->out.fd = out.fd;
        tool->kern = findkernel(nullptr);
    }
    std::uint64_t offset;
    std::int32_t cnt;
    std::memcpy(&offset, data, 8);
    std::memcpy(&cnt, data + 8, 4);
    const unsigned char *p = data + 12;
    std::size_t len = size - 12;

    // One line, any count: only the first min(cnt, 16) bytes are read.
    unsigned char block[16] = {};
    std::memcpy(block, p, len < 16 ? len : 16);
    dumpline(tool->out, block, offset, cnt);
    flushoutput(tool->out);
    check(out.take() == refline(block, offset, cnt), "dumpline");

    // Runs of full lines, any 64-bit offset.
    std::size_t n = len / 16;
    dumplines(tool->out, *tool->kern, p, offset, n);
    flushoutput(tool->out);
    check(out.take() == refblocks(p, offset, n), "dumplines");

    // Every kernel, with the run kept below the next multiple of 2^32.
    if (n > 0) {
        std::uint64_t off = offset;
        if ((off & 0xFFFFFFFFu) + 16 * static_cast<std::uint64_t>(n - 1) > 0xFFFFFFFFu)
            off = (off | 0xFFFFFFFFu) - 16 * (n - 1);
        // The blocks where they are (12 bytes into the input) and again
        // from an aligned copy, as the file dumper's are; the lines at an
        // address that the count's bits 6 to 8 choose.
        const std::vector<unsigned char> aligned(p, p + 16 * n);
        const unsigned at = static_cast<std::uint32_t>(cnt) >> 6 & 7;
        for (const kernel &k : kernels())
            if (k.supported()) {
                checkkernel(k.fn, p, off, n, at, k.name);
                checkkernel(k.fn, aligned.data(), off, n, at, k.name);
            }
    }

    std::string asname(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), len));
    std::size_t cap = QUOTEPIECE + (static_cast<std::uint32_t>(cnt) & 63);
    checkquote(asname, cap);
    checkquote("write error" + asname.substr(0, 1), cap);
    // The same again with every byte taken as one of those at the edges of
    // the rules, so that rare sequences (U+009F, an overlong form, the last
    // code point) come up often.
    constexpr unsigned char EDGES[] = {0x01, 0x07, 0x0D, 0x1B, 0x1F, ' ',  '$',  '\'', '\\', '0',  '7',
                                       '8',  'x',  0x7E, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                       0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::string edgy;
    for (std::size_t i = 0; i < len; i++)
        edgy += static_cast<char>(EDGES[p[i] % sizeof EDGES]);
    checkquote(edgy, cap);
    // And once more with every byte taken as one of the characters at the
    // edges of those that are not shown.
    constexpr std::uint32_t CHARS[] = {0x1F,   0x20,   0x7E,   0x7F,   0x9F,   0xA0,    0x61B,    0x61C,
                                       0x61D,  0x200A, 0x200B, 0x200D, 0x200E, 0x200F,  0x2010,   0x2027,
                                       0x2028, 0x2029, 0x202A, 0x202E, 0x202F, 0x205F,  0x2060,   0x2064,
                                       0x2065, 0x2066, 0x2069, 0x206A, 0xFEFE, 0xFEFF,  0x10FFFF, 0xAC,
                                       0xAD,   0xAE,   0xFE00, 0xFE0F, 0xFE10, 0xE0001, 0xE0FFF,  0xE1000};
    std::string chars;
    for (std::size_t i = 0; i < len; i++)
        chars += utf8(CHARS[p[i] % std::size(CHARS)]);
    checkquote(chars, cap);

    // The block loop over a file holding the data.
    memfile in;
    if (write(in.fd, p, len) != static_cast<ssize_t>(len))
        std::abort();
    std::string name = "/proc/self/fd/" + std::to_string(in.fd);
    check(hexdump(*tool, name.c_str()) == 0, "hexdump result");
    check(out.take() == refdump(std::string(reinterpret_cast<const char *>(p), len)), "hexdump");
    return 0;
}

#ifdef HEXCAT_FUZZ_REPLAY
namespace {

// The input being replayed, which a mismatch shows on its way out: the
// corpus may be gone by the time anyone reads the log.
const char *replaying = nullptr;
const std::vector<char> *replayed = nullptr;

// On SIGABRT; only calls that a signal handler may make. When it returns,
// abort() ends the process.
extern "C" void showinput(int /*signal*/)
{
    auto put = [](const char *s, std::size_t n) { return write(2, s, n) == static_cast<ssize_t>(n); };
    if (replaying == nullptr || !put("fuzz_replay: failed on ", 23) || !put(replaying, strlen(replaying)) ||
        !put(", in hex: ", 10))
        return;
    char hex[64];
    std::size_t n = 0;
    for (char c : *replayed) {
        const auto b = static_cast<unsigned char>(c);
        hex[n++] = "0123456789abcdef"[b >> 4];
        hex[n++] = "0123456789abcdef"[b & 15];
        if (n == sizeof hex && !put(hex, std::exchange(n, 0)))
            return;
    }
    hex[n++] = '\n';
    put(hex, n);
}

} // namespace

// Runs every file named, and every file under every folder named, through
// the target, in the order of their names; prints how many and the kernels
// compared, the one the tool chooses first. A mismatch aborts; a name that
// cannot be read, or no input at all, fails.
int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        std::error_code err;
        if (!fs::is_directory(argv[i], err)) {
            files.emplace_back(argv[i]);
            continue;
        }
        std::vector<fs::path> found;
        for (fs::recursive_directory_iterator it(argv[i], err), end; !err && it != end; it.increment(err))
            if (it->is_regular_file(err))
                found.push_back(it->path());
        if (err) {
            std::fprintf(stderr, "fuzz_replay: %s: %s\n", argv[i], err.message().c_str());
            return 2;
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: fuzz_replay FILE-OR-FOLDER... (with at least one input)\n");
        return 2;
    }
    std::signal(SIGABRT, showinput);
    std::size_t bytes = 0;
    for (const fs::path &file : files) {
        std::error_code err;
        const auto size = static_cast<std::size_t>(fs::file_size(file, err));
        std::vector<char> data(err ? 0 : size);
        std::ifstream in(file, std::ios::binary);
        if (err || !in.read(data.data(), static_cast<std::streamsize>(data.size())) || in.peek() != EOF) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", file.c_str());
            return 2;
        }
        replaying = file.c_str();
        replayed = &data;
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
        bytes += data.size();
    }
    std::string names;
    for (const kernel &k : kernels())
        if (k.supported())
            names += std::string(names.empty() ? "" : " ") + k.name;
    std::printf("fuzz_replay: %zu inputs (%zu bytes) replayed, kernels compared: %s\n", files.size(), bytes,
                names.c_str());
    return 0;
}
#endif
