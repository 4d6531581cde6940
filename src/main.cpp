// hexcat FILE...: dumps each named file in hexadecimal and characters.
// Takes no options: every argument is a file name. The exit status is the
// number of files that could not be dumped, at most 125.
#include <unistd.h>

#include "confine.h"
#include "hexcat.h"

int main(int argc, char **argv)
{
    // Nothing but reading files from here on (see confine.h).
    hexcat::confine();
    // The whole state of the run, in static storage (see hexcat.h), all
    // zero but for where the lines go and the kernel that formats them.
    static hexcat::run r;
    r.out.fd = STDOUT_FILENO;
    r.kern = hexcat::findkernel(nullptr);
    int errs = 0;
    for (int i = 1; i < argc; i++) {
        errs += hexcat::hexdump(r, argv[i]);
        // With standard output gone there is nothing left to do.
        if (r.out.failed)
            break;
    }
    // The status keeps only eight bits, and callers read some values as
    // more than a count: 255 makes xargs stop, 126 and 127 mean "cannot
    // run" and "not found", 128 + n "killed by signal n". 125 stands for
    // 125 failures or more.
    return errs > 125 ? 125 : errs;
}
