// The system calls a run makes, as a table that the run carries: the
// system's own in the tool (where the run carries none, see output.h), and
// calls that misbehave as the system may (short, interrupted, failing) in
// the tests.
#ifndef HEXCAT_SYSTEM_H
#define HEXCAT_SYSTEM_H

#include <cstddef>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace hexcat {

struct syscalls {
    int (*stat)(const char *path, struct stat *st);
    int (*open)(const char *path, int flags);
    int (*fstat)(int fd, struct stat *st);
    ssize_t (*read)(int fd, void *buf, std::size_t n);
    int (*close)(int fd);
    ssize_t (*write)(int fd, const void *buf, std::size_t n);
    ssize_t (*writev)(int fd, const iovec *iov, int cnt);
    int (*fcntl)(int fd, int cmd, int arg);
    int (*poll)(pollfd *fds, nfds_t n, int timeout);
};

// The system's own calls.
extern const syscalls SYSCALLS;

} // namespace hexcat

#endif
