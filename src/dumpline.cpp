// The dump line: the offset field, the general formatter, and runs of full
// lines through the line kernel.
#include <cstring>

#include "hexcat.h"
#include "kernels/kernels.h"
#include "layout.h"
#include "output.h"

namespace hexcat {

namespace {

// A byte as shown in the character column.
inline char shown(unsigned char b) { return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.'; }

} // namespace

highpart highdigits(std::uint64_t offset)
{
    highpart h{};
    auto high = static_cast<std::uint32_t>(offset >> 32);
    for (std::uint32_t x = high; x != 0; x >>= 4)
        h.len++;
    for (std::size_t i = h.len; i > 0; i--, high >>= 4)
        h.digits[i - 1] = DIGITS[high & 15];
    return h;
}

char *plainline(char *d, const unsigned char *p, std::uint64_t offset, int cnt)
{
    if (cnt > 16)
        cnt = 16;
    if (cnt < 0)
        cnt = 0;
    const highpart h = highdigits(offset);
    std::memcpy(d, h.digits, h.len);
    d += h.len;
    auto low = static_cast<std::uint32_t>(offset);
    for (int i = 7; i >= 0; i--, low >>= 4)
        d[i] = DIGITS[low & 15];
    d[8] = ':';
    d += 9;
    for (int c = 0; c < 16; c++) {
        d[0] = ' ';
        d[1] = c < cnt ? HEX.pair[p[c]][0] : ' ';
        d[2] = c < cnt ? HEX.pair[p[c]][1] : ' ';
        d += 3;
    }
    std::memcpy(d, "  |", 3);
    d += 3;
    for (int c = 0; c < 16; c++)
        *d++ = c < cnt ? shown(p[c]) : ' ';
    d[0] = '|';
    d[1] = '\n';
    return d + 2;
}

} // namespace hexcat

using namespace hexcat;

void dumpline(const unsigned char *p, std::uint64_t offset, int cnt)
{
    std::size_t room;
    char *d = outreserve(MAXLINE, &room);
    outcommit(plainline(d, p, offset, cnt));
}

void dumplines(const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    linesfn lines = activekernel().fn;
    while (n > 0) {
        // A run of lines as long as the queue has room for, and ending
        // before the next multiple of 2^32, where the lines widen.
        std::size_t room;
        char *d = outreserve(MAXLINE, &room);
        std::size_t k = room / (LINE + highdigits(offset).len);
        std::uint64_t below = ((offset | 0xFFFFFFFFULL) - offset) / 16 + 1;
        if (k > below)
            k = static_cast<std::size_t>(below);
        if (k > n)
            k = n;
        outcommit(lines(d, p, offset, k));
        p += 16 * k;
        offset += 16 * k;
        n -= k;
    }
}
