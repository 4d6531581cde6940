// The output queue and the error reports.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "layout.h"
#include "output.h"
#include "quote.h"

namespace hexcat {

namespace {

char outbuf[OUTCAP + SLACK];
std::size_t outlen = 0;

int outfd = 1;
bool outfailed = false;
bool prepared = false;

// A pipe's default 64 KiB buffer makes writer and reader take turns many
// times per write; a 1 MiB buffer lets a dump through a pipe run about
// three times faster. A pipe that is already larger is left alone, and so
// is one where the system refuses.
void prepare()
{
    prepared = true;
#ifdef F_SETPIPE_SZ
    constexpr int PIPESIZE = 1 << 20;
    struct stat st;
    if (fstat(outfd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        int size = fcntl(outfd, F_GETPIPE_SZ);
        if (size >= 0 && size < PIPESIZE)
            fcntl(outfd, F_SETPIPE_SZ, PIPESIZE);
    }
#endif
}

// Waits until fd, in non-blocking mode and full, can be written again.
// Returns 0 or the error number of a failed poll.
int waitwritable(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0) {
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
int writeall(int fd, iovec *iov, int cnt)
{
    while (cnt > 0) {
        // Nothing is written for an empty buffer: /dev/full, for one,
        // fails even a write of no bytes.
        if (iov->iov_len == 0) {
            iov++;
            cnt--;
            continue;
        }
        ssize_t w = cnt == 1 ? write(fd, iov->iov_base, iov->iov_len) : writev(fd, iov, cnt);
        if (w < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK)
                err = waitwritable(fd);
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

// The system's message for err, untranslated, as strerror gives it where no
// locale is set. strerror looks the text up through message translation,
// which allocates memory on current C libraries; strerrordesc_np (glibc 2.32
// and later) gives the same text without. For a number it does not know,
// the text is strerror's "Unknown error N", made here in a static buffer.
const char *message(int err)
{
#ifdef HEXCAT_HAVE_STRERRORDESC_NP
    if (const char *desc = strerrordesc_np(err))
        return desc;
    constexpr char prefix[] = "Unknown error ";
    // Every byte of an unsigned adds at most three decimal digits.
    constexpr std::size_t maxdigits = sizeof(unsigned) * 3;
    // The prefix, a sign, the digits of any int and the terminating NUL.
    static char unknown[sizeof prefix + 1 + maxdigits];
    std::memcpy(unknown, prefix, sizeof prefix - 1);
    char *p = unknown + sizeof prefix - 1;
    if (err < 0)
        *p++ = '-';
    // The magnitude as unsigned, so that the most negative int has one too.
    unsigned n = err < 0 ? 0U - static_cast<unsigned>(err) : static_cast<unsigned>(err);
    char digits[maxdigits];
    char *d = digits + maxdigits;
    do {
        *--d = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    auto len = static_cast<std::size_t>(digits + maxdigits - d);
    std::memcpy(p, d, len);
    p[len] = '\0';
    return unknown;
#else
    return std::strerror(err);
#endif
}

// The name of a report in its report form (see quote.h), built here piece
// by piece: a name may be longer than PATH_MAX, and its quoted form four
// times that.
char namebuf[4096];

void writereport(const char *name, const char *msg, bool own = false)
{
    char colon[] = ": ";
    char newline[] = "\n";
    // A form longer than the buffer goes out ahead in pieces, in order.
    namequote q = startquote(name, own);
    std::size_t len = nextquote(&q, namebuf, sizeof namebuf);
    while (!q.done) {
        iovec piece = {namebuf, len};
        writeall(2, &piece, 1);
        len = nextquote(&q, namebuf, sizeof namebuf);
    }
    iovec iov[4];
    int k = 0;
    if (name[0] != '\0') {
        iov[k++] = {namebuf, len};
        iov[k++] = {colon, 2};
    }
    iov[k++] = {const_cast<char *>(msg), std::strlen(msg)};
    iov[k++] = {newline, 1};
    // One call keeps the report whole when several writers share stderr;
    // one cut short goes on where it stopped, so that the report is never
    // left unfinished. There is nowhere to report a failure to write it.
    writeall(2, iov, k);
}

} // namespace

char *outreserve(std::size_t n, std::size_t *room)
{
    if (OUTCAP - outlen < n)
        flushoutput();
    *room = OUTCAP - outlen;
    return outbuf + outlen;
}

void outcommit(const char *end) { outlen = static_cast<std::size_t>(end - outbuf); }

void setoutputfd(int fd)
{
    flushoutput();
    outfd = fd;
    outfailed = false;
    prepared = false;
}

void report(const char *name, int err)
{
    flushoutput();
    writereport(name, message(err));
}

bool flushoutput()
{
    if (!prepared)
        prepare();
    std::size_t n = outlen;
    outlen = 0;
    if (outfailed)
        return false;
    iovec iov = {outbuf, n};
    int err = writeall(outfd, &iov, 1);
    if (err != 0) {
        outfailed = true;
        writereport("write error", message(err), true);
        return false;
    }
    return true;
}

bool outputfailed() { return outfailed; }

} // namespace hexcat
