// hexcat: hexadecimal and character dump of files.
//
// The tool is a chain of three steps: main() walks the command line and
// calls hexdump() for each file name; hexdump() reads the file in blocks of
// READBLOCK bytes and hands the full 16-byte lines of each block to
// dumplines(), which formats them with the line kernel chosen for the
// processor (kernels/kernels.h), and a short last line to dumpline(), which
// lays it out with the general formatter (layout.h). Both queue their lines
// for standard output (output.h). Everything a run holds is one object,
// owned by main() and handed down.
#ifndef HEXCAT_HEXCAT_H
#define HEXCAT_HEXCAT_H

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"
#include "output.h"

namespace hexcat {

// Bytes hexdump() reads per block: a multiple of 16, so that lines break
// every 16 bytes of the file whatever the reads deliver.
constexpr std::size_t READBLOCK = std::size_t{1} << 16;
static_assert(READBLOCK % 16 == 0);

// The state of one run: the output (with the system calls the run makes),
// the line kernel, and the read block. Large: the tool keeps it in static
// storage, so that it runs where the stack is small (16 KiB is enough).
// Every member starts as zero, so that it lies in zero-initialised storage
// (.bss) rather than in the binary.
struct run {
    output out;
    const kernel *kern = nullptr; // set before the first file
    // The file's bytes being dumped; aligned, so that kernels may load
    // them a word at a time where the processor needs aligned loads.
    alignas(16) unsigned char block[READBLOCK] = {};
};

// Dumps the file called fname to r.out. Returns 0 when the file was dumped
// (also when it had nothing to dump) and 1 when it failed: it could not be
// looked up, opened or read, or the output could not be written. Every
// failure is reported on standard error; after a write failure r.out.failed
// is set, so that the caller can stop.
int hexdump(run &r, const char *fname);

// Queues one dump line for the cnt bytes at p, found at offset in their
// file. Only the first 16 bytes are shown when cnt is larger; cnt <= 0 gives
// a line with every cell blank. Offsets of 2^32 and above widen the offset
// field beyond eight digits and shift the rest of the line with it.
void dumpline(output &out, const unsigned char *p, std::uint64_t offset, int cnt);

// Queues the dump lines of n full 16-byte blocks starting at p, the first at
// offset: the same bytes as n calls of dumpline(out, p + 16 * i, offset +
// 16 * i, 16), produced by the line kernel k.
void dumplines(output &out, const kernel &k, const unsigned char *p, std::uint64_t offset, std::size_t n);

} // namespace hexcat

#endif
