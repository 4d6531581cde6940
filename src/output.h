// The output queue and the reports. Dump lines are formatted straight into
// the queue, which goes to standard output in large writes; reports go to
// standard error after the queued lines.
#ifndef HEXCAT_OUTPUT_H
#define HEXCAT_OUTPUT_H

#include <cstddef>

#include "layout.h"
#include "system.h"

namespace hexcat {

// The queue's size: what one write sends at most.
constexpr std::size_t OUTCAP = std::size_t{1} << 18;

// Room for a report's name in its report form, written out in pieces: a
// name may be longer than PATH_MAX, and its quoted form four times that.
constexpr std::size_t NAMEPIECE = 4096;

// The output of a run: where it goes, the calls that write it, and the
// queue of lines not yet written. Every member starts as zero, so that the
// tool's run, in static storage, takes no room in the binary: main() sets
// fd to standard output.
struct output {
    const syscalls *sys = nullptr; // the calls the run makes; null: the system's own
    int fd = 0;                    // where the dump lines go
    bool failed = false;           // a write to fd has failed: nothing more goes there
    bool prepared = false;         // fd has been looked at (see flushoutput)
    std::size_t len = 0;           // bytes queued
    char buf[OUTCAP + SLACK] = {}; // the queue; line kernels may write SLACK past it
    char name[NAMEPIECE] = {};     // a piece of a report's name
};

// The calls out makes: *out.sys, or the system's own.
inline const syscalls &calls(const output &out) { return out.sys != nullptr ? *out.sys : SYSCALLS; }

// Room at the end of the queue for at least n bytes (n <= OUTCAP), flushing
// the queue first when there is less. Returns where the next bytes go;
// *room tells how many may go there, and SLACK bytes beyond those may be
// written as scratch.
char *outreserve(output &out, std::size_t n, std::size_t *room);

// Ends the queue at end, which lies within the room outreserve() gave.
void outcommit(output &out, const char *end);

// Writes every queued byte to out.fd. Returns false, after reporting
// "write error: <system message>" once, if it cannot be written; from then
// on out.failed is set and nothing more is written.
bool flushoutput(output &out);

// Reports a failure for name the way perror() does: "name: message\n", or
// the message alone for an empty name, on standard error, with the name in
// its report form: as it is, or quoted for the shell when a terminal would
// not show it as it is (see quote.h). Queued dump lines are written first
// so that both streams keep argument order when they share a destination.
void report(output &out, const char *name, int err);

} // namespace hexcat

#endif
