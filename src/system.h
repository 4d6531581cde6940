// The system calls a run makes, as a table that the run carries: the
// system's own in the tool (where the run carries none, see output.h), and
// calls that misbehave as the system may (short, interrupted, failing) in
// the tests.
//
// These are all the calls the tool makes once it has confined itself (see
// confine.h): the system-call filter in confine.cpp allows each of them in
// every form the C libraries give it, in the uses made of it here (write
// and writev to standard output and error, fcntl for the pipe's size of
// standard output), and nothing else. A call added here must be added to
// the filter's lists as well; the confinement test makes every call of this
// table under the filter, and fails on one that the filter refuses.
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
