// The system's own calls, for the table of system.h.
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
