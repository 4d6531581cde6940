// The dump line's layout: the offset's high digits and the general
// formatter.
#include <cstring>

#include "layout.h"

namespace hexcat {

namespace {

// A byte as the character column shows it.
inline char charcell(unsigned char b) { return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.'; }

} // namespace

highpart highdigits(std::uint64_t offset)
{
    highpart h{};
    auto high = static_cast<std::uint32_t>(offset >> 32);
    h.value = high;
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
        *d++ = c < cnt ? charcell(p[c]) : ' ';
    d[0] = '|';
    d[1] = '\n';
    return d + 2;
}

} // namespace hexcat
