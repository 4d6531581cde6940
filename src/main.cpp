// hexcat FILE...: dumps each named file in hexadecimal and characters.
// Takes no options: every argument is a file name. The exit status is the
// number of files that could not be dumped, at most 255.
#include "hexcat.h"
#include "output.h"

using namespace hexcat;

int main(int argc, char **argv)
{
    int errs = 0;
    for (int i = 1; i < argc; i++) {
        errs += hexdump(argv[i]);
        // With standard output gone there is nothing left to do.
        if (outputfailed())
            break;
    }
    // The status keeps only eight bits; a count of 256 must not read as 0.
    return errs > 255 ? 255 : errs;
}
