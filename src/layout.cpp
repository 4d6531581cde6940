// The dump line's layout: the offset's high digits and the general
// formatter.
#include <cstring>

#include "layout.h"

namespace hexcat {

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
    for (std::size_t i = 4; i-- > 0; low >>= 8)
        std::memcpy(d + OFFSET + 2 * i, HEX.pair[low & 0xFF], 2);
    d[COLON] = COLONCHAR;
    for (int c = 0; c < 16; c++) {
        char *cd = d + cell(static_cast<std::size_t>(c));
        cd[0] = CELLSPACE;
        cd[1] = c < cnt ? HEX.pair[p[c]][0] : ' ';
        cd[2] = c < cnt ? HEX.pair[p[c]][1] : ' ';
        d[character(static_cast<std::size_t>(c))] = c < cnt ? shown(p[c]) : ' ';
    }
    std::memcpy(d + SEPARATOR, SEPARATORTEXT, CHAR0 - SEPARATOR);
    std::memcpy(d + BAR, ENDTEXT, LINE - BAR);
    return d + LINE;
}

} // namespace hexcat
