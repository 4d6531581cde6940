// The output queue and the reports. Dump lines are formatted straight into
// the queue, which goes to standard output in large writes; reports go to
// standard error after the queued lines.
#ifndef HEXCAT_OUTPUT_H
#define HEXCAT_OUTPUT_H

#include <cstddef>

namespace hexcat {

// The queue's size: what one write sends at most.
constexpr std::size_t OUTCAP = std::size_t{1} << 18;

// Room at the end of the queue for at least n bytes (n <= OUTCAP), flushing
// the queue first when there is less. Returns where the next bytes go;
// *room tells how many may go there, and SLACK bytes beyond those may be
// written as scratch.
char *outreserve(std::size_t n, std::size_t *room);

// Ends the queue at end, which lies within the room outreserve() gave.
void outcommit(const char *end);

// Writes every queued byte to standard output. Returns false, after
// reporting "write error: <system message>" once, if standard output cannot
// be written; from then on nothing more is written.
bool flushoutput();

// True once a write to standard output has failed.
bool outputfailed();

// Sends queued output to fd instead of standard output (for tests). Queued
// bytes are flushed to the old descriptor first. Also clears a recorded
// write failure.
void setoutputfd(int fd);

// Reports a failure for name the way perror() does: "name: message\n", or
// the message alone for an empty name, on standard error, with the name in
// its report form: as it is, or quoted for the shell when a terminal would
// not show it as it is (see quote.h). Queued dump lines are written first
// so that both streams keep argument order when they share a destination.
void report(const char *name, int err);

} // namespace hexcat

#endif
