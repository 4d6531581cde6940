// The output queue and the error reports.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "layout.h"
#include "output.h"

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

// Writes all n bytes at p to fd, resuming after partial writes and
// interrupted calls. Returns 0 or the error number of the failed write.
int writeall(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

void writereport(const char *name, const char *msg)
{
    char colon[] = ": ";
    char newline[] = "\n";
    iovec iov[4];
    int k = 0;
    if (name[0] != '\0') {
        iov[k++] = {const_cast<char *>(name), std::strlen(name)};
        iov[k++] = {colon, 2};
    }
    iov[k++] = {const_cast<char *>(msg), std::strlen(msg)};
    iov[k++] = {newline, 1};
    // One call keeps the report whole when several writers share stderr.
    // There is nowhere to report a failure to write a report.
    while (writev(2, iov, k) < 0 && errno == EINTR) {
    }
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
    writereport(name, std::strerror(err));
}

bool flushoutput()
{
    if (!prepared)
        prepare();
    std::size_t n = outlen;
    outlen = 0;
    if (outfailed)
        return false;
    int err = writeall(outfd, outbuf, n);
    if (err != 0) {
        outfailed = true;
        writereport("write error", std::strerror(err));
        return false;
    }
    return true;
}

bool outputfailed() { return outfailed; }

} // namespace hexcat
