// The dump line: its plain formatter, the portable line kernel, and the
// choice of kernel for runs of full lines.
#include <cstring>

#include "hexcat.h"
#include "lines.h"

namespace hexcat {

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";

// The two uppercase hex digits of every byte value.
struct hexpairs {
    char pair[256][2];
    constexpr hexpairs() : pair()
    {
        for (int b = 0; b < 256; b++) {
            pair[b][0] = DIGITS[b >> 4];
            pair[b][1] = DIGITS[b & 15];
        }
    }
};
constexpr hexpairs HEX;

// A byte as shown in the character column.
inline char shown(unsigned char b) { return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.'; }

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

linesfn kernel = nullptr;
const char *kernelname = "";

void choosekernel()
{
    kernel = linesportable;
    kernelname = "portable";
#ifdef HEXCAT_X86
    if (haveavx2()) {
        kernel = linesavx2;
        kernelname = "avx2";
    } else if (havessse3()) {
        kernel = linesssse3;
        kernelname = "ssse3";
    }
#endif
}

} // namespace

char *putoffset(char *d, std::uint64_t offset)
{
    int n = 8;
    while (n < 16 && (offset >> (4 * n)) != 0)
        n++;
    for (int i = n - 1; i >= 0; i--) {
        d[i] = DIGITS[offset & 15];
        offset >>= 4;
    }
    d[n] = ':';
    return d + n + 1;
}

char *plainline(char *d, const unsigned char *p, std::uint64_t offset, int cnt)
{
    if (cnt > 16)
        cnt = 16;
    if (cnt < 0)
        cnt = 0;
    d = putoffset(d, offset);
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

char *linesportable(char *d, const unsigned char *p, std::uint32_t offset, std::size_t n)
{
    for (; n > 0; n--, p += 16, offset += 16) {
        std::uint32_t o = offset;
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

linesfn activekernel()
{
    if (kernel == nullptr)
        choosekernel();
    return kernel;
}

const char *activekernelname()
{
    activekernel();
    return kernelname;
}

} // namespace hexcat

using namespace hexcat;

void dumpline(const unsigned char *p, std::uint64_t offset, int cnt)
{
    if (outroom() < MAXLINE)
        flushoutput();
    outlen = static_cast<std::size_t>(plainline(outbuf + outlen, p, offset, cnt) - outbuf);
}

void dumplines(const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    linesfn lines = activekernel();
    while (n > 0) {
        if (outroom() < MAXLINE)
            flushoutput();
        char *d = outbuf + outlen;
        std::size_t k;
        if ((offset >> 32) == 0) {
            // A run of lines with eight-digit offsets, up to 2^32 or until
            // the queue is full.
            k = outroom() / LINE;
            std::uint64_t below = ((std::uint64_t{1} << 32) - offset + 15) / 16;
            if (k > below)
                k = static_cast<std::size_t>(below);
            if (k > n)
                k = n;
            d = lines(d, p, static_cast<std::uint32_t>(offset), k);
        } else {
            // Past 4 GiB the offset field is wider: its digits above the low
            // eight come first, and the kernel writes the line from the low
            // 32 bits on, exactly as for a small offset.
            k = 1;
            char high[8];
            int m = 0;
            for (std::uint64_t h = offset >> 32; h != 0; h >>= 4)
                high[m++] = DIGITS[h & 15];
            while (m > 0)
                *d++ = high[--m];
            d = lines(d, p, static_cast<std::uint32_t>(offset), 1);
        }
        outlen = static_cast<std::size_t>(d - outbuf);
        p += 16 * k;
        offset += 16 * k;
        n -= k;
    }
}
