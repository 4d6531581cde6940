// Internals of the dump line: layout constants, the line kernels and the
// output queue they write into. Everything here is plain data and functions
// on caller-provided memory; nothing allocates.
#ifndef HEXCAT_LINES_H
#define HEXCAT_LINES_H

#include <cstddef>
#include <cstdint>

namespace hexcat {

// A line for an offset below 2^32: "OOOOOOOO:" + 16 cells of 3 + "  |" +
// 16 characters + "|" = 77 characters, then the newline.
constexpr std::size_t LINE = 78;
// The longest line: an offset of 16 digits widens the line by 8.
constexpr std::size_t MAXLINE = LINE + 8;
// Vector kernels store whole 16-byte chunks and may write this many bytes
// past the end of the last line they produce (never past SLACK).
constexpr std::size_t SLACK = 32;

// Formats cnt bytes at p (clamped to 0..16) as one dump line at d, with any
// offset. Returns the end of the line (after its newline). Writes at most
// MAXLINE bytes and nothing beyond them.
char *plainline(char *d, const unsigned char *p, std::uint64_t offset, int cnt);

// Writes the offset field: offset in uppercase hex, at least eight digits,
// and the colon. Returns its end.
char *putoffset(char *d, std::uint64_t offset);

// A line kernel formats n full 16-byte blocks starting at p as n consecutive
// dump lines at d, with offsets offset, offset + 16, ... The caller keeps
// every offset below 2^32 (offset + 16 * (n - 1) must not wrap). Returns the
// end of the last line; may write up to SLACK bytes beyond it.
using linesfn = char *(*)(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n);

// Portable kernel: fixed-position table lookups with a 64-bit SWAR test for
// printable bytes. Runs on every processor.
char *linesportable(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n);

// HEXCAT_PORTABLE builds only the portable kernel, as on other processors.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(HEXCAT_PORTABLE)
#define HEXCAT_X86 1
// x86 kernels; call them only when the processor has the instruction set
// (havessse3() / haveavx2()).
char *linesssse3(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n);
char *linesavx2(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n);
bool havessse3();
bool haveavx2();
#endif

// The kernel used by dumplines(): the fastest one this processor runs,
// chosen on first use, and its name ("avx2", "ssse3" or "portable").
linesfn activekernel();
const char *activekernelname();

// The output queue. Lines are formatted straight into outbuf and written to
// the output descriptor in large writes.
constexpr std::size_t OUTCAP = std::size_t{1} << 18;
extern char outbuf[OUTCAP + SLACK];
extern std::size_t outlen;

// Room left in the queue for formatted bytes, keeping SLACK spare.
inline std::size_t outroom() { return OUTCAP - outlen; }

// Sends queued output to fd instead of standard output (for tests). Queued
// bytes are flushed to the old descriptor first. Also clears a recorded
// write failure.
void setoutputfd(int fd);

// Reports a failure for name the way perror() does: "name: message\n", or
// the message alone for an empty name, on standard error. Queued dump lines
// are written first so that both streams keep argument order when they
// share a destination.
void report(const char *name, int err);

} // namespace hexcat

#endif
