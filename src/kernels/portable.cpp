// The portable line kernel: hex pairs from a table, and a 64-bit SWAR test
// for printable bytes. Runs on every processor.
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat {

namespace {

// Small copies. Where the processor has no unaligned loads and stores
// (ARMv5: Debian's armel), the compiler makes every memcpy of a few bytes a
// call to the C library's, which made the kernel ten times slower there;
// single bytes cost far less. Elsewhere each copy is one load and one store.
#if defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)
inline void put2(char *d, const char *s)
{
    d[0] = s[0];
    d[1] = s[1];
}
// 8 bytes as a number, the first byte lowest; store8 puts them back in the
// same order, so the round trip keeps the bytes whatever the byte order.
inline std::uint64_t load8(const unsigned char *p)
{
    std::uint64_t x = 0;
    for (int i = 7; i >= 0; i--)
        x = x << 8 | p[i];
    return x;
}
inline void store8(char *d, std::uint64_t x)
{
    for (int i = 0; i < 8; i++, x >>= 8)
        d[i] = static_cast<char>(x & 0xFF);
}
#else
inline void put2(char *d, const char *s) { std::memcpy(d, s, 2); }
inline std::uint64_t load8(const unsigned char *p)
{
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}
inline void store8(char *d, std::uint64_t x) { std::memcpy(d, &x, 8); }
#endif

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

// h comes by value: the stores of the lines cannot change a copy of its
// own, so its length stays in a register for the whole run.
template <bool WIDE>
char *portablerun(char *d, const unsigned char *p, std::uint32_t low, std::size_t n, const highpart h)
{
    // The high digits, kept in a register for the whole run.
    const std::uint64_t high = load8(reinterpret_cast<const unsigned char *>(h.digits));
    for (; n > 0; n--, p += 16, low += 16) {
        if (WIDE) {
            store8(d, high); // the line overwrites what is not a digit
            d += h.len;
        }
        std::uint32_t o = low;
        for (int i = 7; i >= 0; i--, o >>= 4)
            d[i] = DIGITS[o & 15];
        d[8] = ':';
        for (std::size_t c = 0; c < 16; c++) {
            d[9 + 3 * c] = ' ';
            put2(d + 10 + 3 * c, HEX.pair[p[c]]);
        }
        d[57] = ' ';
        d[58] = ' ';
        d[59] = '|';
        store8(d + 60, shown8(load8(p)));
        store8(d + 68, shown8(load8(p + 8)));
        d[76] = '|';
        d[77] = '\n';
        d += LINE;
    }
    return d;
}

} // namespace

char *linesportable(char *d, const unsigned char *p, std::uint32_t low, const highpart &high, std::size_t n)
{
    return high.len > 0 ? portablerun<true>(d, p, low, n, high) : portablerun<false>(d, p, low, n, high);
}

} // namespace hexcat
