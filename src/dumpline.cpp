// The dump line: one line through the general formatter, and runs of full
// lines through the line kernel.
#include "hexcat.h"

namespace hexcat {

void dumpline(output &out, const unsigned char *p, std::uint64_t offset, int cnt)
{
    std::size_t room;
    char *d = outreserve(out, MAXLINE, &room);
    outcommit(out, plainline(d, p, offset, cnt));
}

void dumplines(output &out, const kernel &k, const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    while (n > 0) {
        // A run of lines as long as the queue has room for, and ending
        // before the next multiple of 2^32, where the lines widen.
        const highpart high = highdigits(offset);
        std::size_t room;
        char *d = outreserve(out, MAXLINE, &room);
        std::size_t m = room / (LINE + high.len);
        std::uint64_t below = ((offset | 0xFFFFFFFFULL) - offset) / 16 + 1;
        if (m > below)
            m = static_cast<std::size_t>(below);
        if (m > n)
            m = n;
        outcommit(out, k.fn(d, p, static_cast<std::uint32_t>(offset), high, m));
        p += 16 * m;
        offset += 16 * m;
        n -= m;
    }
}

} // namespace hexcat
