// The output queue and the error reports.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "output.h"
#include "quote.h"

namespace hexcat {

namespace {

// A pipe's default 64 KiB buffer makes writer and reader take turns many
// times per write, so a pipe gets 1 MiB (docs/performance.md). A pipe that
// is already larger is left alone, and so is one where the system refuses.
void prepare(output &out)
{
    out.prepared = true;
#ifdef F_SETPIPE_SZ
    constexpr int PIPESIZE = 1 << 20;
    const syscalls &sys = calls(out);
    struct stat st;
    if (sys.fstat(out.fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        int size = sys.fcntl(out.fd, F_GETPIPE_SZ, 0);
        if (size >= 0 && size < PIPESIZE)
            sys.fcntl(out.fd, F_SETPIPE_SZ, PIPESIZE);
    }
#endif
}

// Waits until fd, in non-blocking mode and full, can be written again.
// Returns 0 or the error number of a failed poll.
int waitwritable(const syscalls &sys, int fd)
{
    pollfd p{fd, POLLOUT, 0};
    while (sys.poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}
// Writes the cnt buffers of iov to fd whole, in one call where the system
// takes them at once. Resumes a partial write where it stopped (a write to
// a full pipe returns short when the process is stopped and continued),
// retries interrupted calls, and waits while a descriptor in non-blocking
// mode is full, for its reader is only slow. A write that takes nothing
// fails as ENOSPC rather than being retried for ever. Returns 0 or the
// error number of the failed write; iov is used up.
int writeall(const syscalls &sys, int fd, iovec *iov, int cnt)
{
    while (cnt > 0) {
        // Nothing is written for an empty buffer: /dev/full, for one,
        // fails even a write of no bytes.
        if (iov->iov_len == 0) {
            iov++;
            cnt--;
            continue;
        }
        ssize_t w = cnt == 1 ? sys.write(fd, iov->iov_base, iov->iov_len) : sys.writev(fd, iov, cnt);
        if (w < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK)
                err = waitwritable(sys, fd);
            if (err != 0 && err != EINTR)
                return err;
            continue;
        }
        if (w == 0)
            return ENOSPC;
        auto n = static_cast<std::size_t>(w);
        while (cnt > 0 && n >= iov->iov_len) {
            n -= iov->iov_len;
            iov++;
            cnt--;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + n;
            iov->iov_len -= n;
        }
    }
    return 0;
}

// "Unknown error " and the digits of any int, with its sign and the NUL.
constexpr char UNKNOWN[] = "Unknown error ";
constexpr std::size_t MAXDIGITS = sizeof(unsigned) * 3; // three per byte at most
constexpr std::size_t UNKNOWNLEN = sizeof UNKNOWN + 1 + MAXDIGITS;

// The system's message for err, untranslated, as strerror gives it where no
// locale is set. strerror looks the text up through message translation,
// which allocates memory on current C libraries; strerrordesc_np (glibc 2.32
// and later) gives the same text without. For a number it does not know,
// the text is strerror's "Unknown error N", made in unknown.
const char *message(int err, char (&unknown)[UNKNOWNLEN])
{
#ifdef HEXCAT_HAVE_STRERRORDESC_NP
    if (const char *desc = strerrordesc_np(err))
        return desc;
    std::memcpy(unknown, UNKNOWN, sizeof UNKNOWN - 1);
    char *p = unknown + sizeof UNKNOWN - 1;
    if (err < 0)
        *p++ = '-';
    // The magnitude as unsigned, so that the most negative int has one too.
    unsigned n = err < 0 ? 0U - static_cast<unsigned>(err) : static_cast<unsigned>(err);
    char digits[MAXDIGITS];
    char *d = digits + MAXDIGITS;
    do {
        *--d = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    auto len = static_cast<std::size_t>(digits + MAXDIGITS - d);
    std::memcpy(p, d, len);
    p[len] = '\0';
    return unknown;
#else
    (void)unknown;
    return std::strerror(err);
#endif
}

// Writes "name: message\n" to standard error, the name in its report
// form, built in out.name piece by piece.
// A name of the tool's own (own) is written as it is.
void writereport(output &out, const char *name, int err, bool own = false)
{
    char unknown[UNKNOWNLEN];
    const char *msg = message(err, unknown);
    char colon[] = ": ";
    char newline[] = "\n";
    // A form longer than the piece goes out ahead in pieces, in order.
    namequote q = startquote(name, own);
    std::size_t len = nextquote(&q, out.name, sizeof out.name);
    while (!q.done) {
        iovec piece = {out.name, len};
        writeall(calls(out), 2, &piece, 1);
        len = nextquote(&q, out.name, sizeof out.name);
    }
    iovec iov[4];
    int k = 0;
    if (name[0] != '\0') {
        iov[k++] = {out.name, len};
        iov[k++] = {colon, 2};
    }
    iov[k++] = {const_cast<char *>(msg), std::strlen(msg)};
    iov[k++] = {newline, 1};
    // One call keeps the report whole when several writers share stderr;
    // one cut short goes on where it stopped, so that the report is never
    // left unfinished. There is nowhere to report a failure to write it.
    writeall(calls(out), 2, iov, k);
}

} // namespace

char *outreserve(output &out, std::size_t n, std::size_t *room)
{
    if (OUTCAP - out.len < n)
        flushoutput(out);
    *room = OUTCAP - out.len;
    return out.buf + out.len;
}

void outcommit(output &out, const char *end) { out.len = static_cast<std::size_t>(end - out.buf); }

void report(output &out, const char *name, int err)
{
    flushoutput(out);
    writereport(out, name, err);
}

bool flushoutput(output &out)
{
    if (!out.prepared)
        prepare(out);
    std::size_t n = out.len;
    out.len = 0;
    if (out.failed)
        return false;
    iovec iov = {out.buf, n};
    int err = writeall(calls(out), out.fd, &iov, 1);
    if (err != 0) {
        out.failed = true;
        writereport(out, "write error", err, true);
        return false;
    }
    return true;
}

} // namespace hexcat
