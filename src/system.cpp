// The system's own calls, for the table of system.h.
//
// None of them can take _FORTIFY_SOURCE's checked form, whose size check
// needs the size of the object that a buffer points into: called through
// the table, these functions never see it, and neither do their callers.
// read fills the read block of the run object, which main owns and hands
// down by reference, so no level of fortification knows the object's size
// there (level 3 would, only in main itself). poll gets one local pollfd
// and a count of 1, which levels 2 and 3 prove safe at compile time and so
// call unchecked. (Lintian's hardening-no-fortify-functions on the package
// says as much: the one checked call, __memcpy_chk, is not on its list.)
#include <fcntl.h>
#include <unistd.h>

#include "system.h"

namespace hexcat {

const syscalls SYSCALLS = {
    [](const char *path, struct stat *st) { return ::stat(path, st); },
    [](const char *path, int flags) { return ::open(path, flags); },
    [](int fd, struct stat *st) { return ::fstat(fd, st); },
    [](int fd, void *buf, std::size_t n) { return ::read(fd, buf, n); },
    [](int fd) { return ::close(fd); },
    [](int fd, const void *buf, std::size_t n) { return ::write(fd, buf, n); },
    [](int fd, const iovec *iov, int cnt) { return ::writev(fd, iov, cnt); },
    [](int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); },
    [](pollfd *fds, nfds_t n, int timeout) { return ::poll(fds, n, timeout); },
};

} // namespace hexcat
