// Confinement at start-up: hexcat only ever reads files and writes the
// descriptors it was given, so before it looks up the first file it gives
// up, through Landlock, every other right it can name to the kernel.
#ifndef HEXCAT_CONFINE_H
#define HEXCAT_CONFINE_H

namespace hexcat {

// The newest Landlock ABI known here; ABI 7 adds only audit log flags,
// which confine() leaves alone.
constexpr int CONFINEABI = 7;

// Takes from the process, for good, the rights to execute, write, truncate,
// create, remove, link or rename files, to use device ioctls on files opened
// later, to bind or connect TCP sockets, to connect to abstract Unix sockets
// outside the process and to signal other processes, as far as the running
// kernel's Landlock ABI knows these rights. Reading files and directories
// stays allowed, and descriptors open already are not affected. Also sets
// no_new_privs. Never reports anything and leaves errno as it was.
//
// Uses the rights and the ruleset layout of the running kernel's ABI, or of
// ABI newest when that is older: a test confines as an older kernel does.
// Returns the Landlock ABI version whose rights were given up (1 or more);
// 0 when the build leaves confinement out (HEXCAT_CONFINE off, or no
// Landlock header); or minus the error number of the call that failed when
// the kernel lacks Landlock or refuses it (ENOSYS, EOPNOTSUPP, EPERM...), in
// which case the process goes on unconfined.
int confine(int newest = CONFINEABI);

} // namespace hexcat

#endif
