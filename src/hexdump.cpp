// Dumping one file.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hexcat.h"

// Files of 2 GiB and more must open and report their size on 32-bit
// systems too (the build asks for 64-bit file offsets).
static_assert(sizeof(off_t) >= 8, "off_t must be 64 bits wide: build with _FILE_OFFSET_BITS=64");

namespace hexcat {

namespace {

// Reads up to want bytes into buff, going on after short reads until the
// block is full, the file ends or a read fails. Returns the bytes read;
// *err is 0 or the error number of the failed read.
std::size_t fill(const syscalls &sys, int fd, unsigned char *buff, std::size_t want, int *err)
{
    std::size_t got = 0;
    *err = 0;
    while (got < want) {
        ssize_t r = sys.read(fd, buff + got, want - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            *err = errno;
            break;
        }
    }
    return got;
}

} // namespace

int hexdump(run &r, const char *fname)
{
    const syscalls &sys = calls(r.out);
    struct stat st;
    if (sys.stat(fname, &st) != 0) {
        report(r.out, fname, errno);
        return 1;
    }
    int fd = sys.open(fname, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report(r.out, fname, errno);
        return 1;
    }
    // Size and type come from the file just opened, for the name may have
    // been given to another file since the lookup (an editor's save, a log
    // rotation): the bound must belong to the file read.
    if (sys.fstat(fd, &st) != 0) {
        int err = errno;
        sys.close(fd);
        report(r.out, fname, err);
        return 1;
    }
    // The size is taken once, before reading, and bounds the dump: reading
    // stops at end of file or at the first line boundary at or past that
    // size. Whatever reports size 0 (devices, pipes, most /proc files)
    // gives no lines. A directory is read all the same, so that the read's
    // error is reported whatever size its file system gives it.
    std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    std::uint64_t limit = (size + 15) / 16 * 16;
    if (S_ISDIR(st.st_mode) && limit == 0)
        limit = 16;

    std::uint64_t offset = 0;
    int result = 0;
    while (offset < limit) {
        std::size_t want = limit - offset < READBLOCK ? static_cast<std::size_t>(limit - offset) : READBLOCK;
        int err;
        std::size_t cnt = fill(sys, fd, r.block, want, &err);
        std::size_t full = cnt / 16;
        if (full > 0)
            dumplines(r.out, *r.kern, r.block, offset, full);
        if (cnt % 16 != 0)
            dumpline(r.out, r.block + 16 * full, offset + 16 * full, static_cast<int>(cnt % 16));
        offset += cnt;
        if (err != 0) {
            report(r.out, fname, err);
            result = 1;
            break;
        }
        if (r.out.failed) {
            result = 1;
            break;
        }
        if (cnt < want)
            break;
    }
    sys.close(fd);
    // The file's lines go out before the next file is opened (its open may
    // wait, as a named pipe's does) or anything is reported.
    if (!flushoutput(r.out))
        result = 1;
    return result;
}

} // namespace hexcat
