// The portable line kernel: hex pairs from a table, and a 64-bit SWAR test
// for printable bytes. Runs on every processor.
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat {

namespace {

// The character column of 8 bytes at once: each byte outside 0x20..0x7E
// becomes '.'.
inline std::uint64_t shown8(std::uint64_t x)
{
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
    std::uint64_t low7 = x & ~HIGH;
    std::uint64_t ge20 = low7 + 0x60 * ONES; // high bit set: low7 >= 0x20
    std::uint64_t ge7f = low7 + ONES;        // high bit set: low7 >= 0x7F
    std::uint64_t ok = ge20 & ~ge7f & ~x & HIGH;
    std::uint64_t mask = (ok >> 7) * 0xFF;
    return (x & mask) | ('.' * ONES & ~mask);
}

template <bool WIDE>
char *portablerun(char *d, const unsigned char *p, std::uint32_t low, std::size_t n, const highpart &h)
{
    for (; n > 0; n--, p += 16, low += 16) {
        if (WIDE) {
            std::memcpy(d, h.digits, 8); // the line overwrites what is not a digit
            d += h.len;
        }
        std::uint32_t o = low;
        for (int i = 7; i >= 0; i--, o >>= 4)
            d[i] = DIGITS[o & 15];
        d[8] = ':';
        for (std::size_t c = 0; c < 16; c++) {
            d[9 + 3 * c] = ' ';
            std::memcpy(d + 10 + 3 * c, HEX.pair[p[c]], 2);
        }
        std::memcpy(d + 57, "  |", 3);
        std::uint64_t lo;
        std::uint64_t hi;
        std::memcpy(&lo, p, 8);
        std::memcpy(&hi, p + 8, 8);
        lo = shown8(lo);
        hi = shown8(hi);
        std::memcpy(d + 60, &lo, 8);
        std::memcpy(d + 68, &hi, 8);
        d[76] = '|';
        d[77] = '\n';
        d += LINE;
    }
    return d;
}

} // namespace

char *linesportable(char *d, const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    const highpart h = highdigits(offset);
    auto low = static_cast<std::uint32_t>(offset);
    return h.len > 0 ? portablerun<true>(d, p, low, n, h) : portablerun<false>(d, p, low, n, h);
}

} // namespace hexcat
