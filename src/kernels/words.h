// What the portable and the wordwise kernels share: numbers as the bytes
// of their memory image, on processors of either byte order, and the
// character column of a word's bytes at once.
#ifndef HEXCAT_KERNELS_WORDS_H
#define HEXCAT_KERNELS_WORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/kernels.h"

namespace hexcat::words {

constexpr bool BIGENDIAN = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Without unaligned stores (armel) or where they may trap (riscv64), gcc
// makes every small memcpy a call or a run of byte moves: there lines below
// 4 GiB are stored as aligned words (wordwise), the rest byte by byte.
#ifdef HEXCAT_STRICTALIGN
constexpr bool BYTEWISE = true;
#else
constexpr bool BYTEWISE = false;
#endif

// x as the bytes of its memory image, a load or store of them at any
// address.
template <typename T> inline void put(char *d, T x)
{
    if constexpr (BYTEWISE) {
        for (std::size_t i = 0; i < sizeof x; i++)
            d[i] = static_cast<char>(BIGENDIAN ? x >> (8 * (sizeof x - 1 - i)) : x >> (8 * i));
    } else {
        // A type of no alignment: gcc then stores with the processor's
        // unaligned-store instructions (MIPS: swl and swr), where a memcpy
        // would go through the stack a byte at a time.
        using unaligned [[gnu::aligned(1), gnu::may_alias]] = T;
        *reinterpret_cast<unaligned *>(d) = x;
    }
}

// The number whose memory image is the first sizeof(T) bytes of s.
template <typename T> constexpr T image(const char *s)
{
    T x = 0;
    for (std::size_t i = 0; i < sizeof x; i++) {
        auto b = static_cast<T>(static_cast<unsigned char>(s[i]));
        x |= BIGENDIAN ? b << (8 * (sizeof x - 1 - i)) : b << (8 * i);
    }
    return x;
}

// x with its memory image moved k bytes later or earlier, zeros coming in.
template <typename T> constexpr T later(T x, unsigned k) { return BIGENDIAN ? x >> (8 * k) : x << (8 * k); }
template <typename T> constexpr T earlier(T x, unsigned k) { return BIGENDIAN ? x << (8 * k) : x >> (8 * k); }

// The number whose memory image is byte c at k and zeros elsewhere.
template <typename T> constexpr T byteimage(char c, unsigned k)
{
    const T b = static_cast<unsigned char>(c);
    return later(BIGENDIAN ? b << (8 * (sizeof(T) - 1)) : b, k);
}

// The number whose memory image is the characters of text, then zeros.
template <typename T, std::size_t N> constexpr T textimage(const char (&text)[N])
{
    char s[sizeof(T)] = {};
    for (std::size_t i = 0; i < N - 1 && i < sizeof s; i++)
        s[i] = text[i];
    return image<T>(s);
}

// The character column of sizeof(T) bytes at once: each byte that is not
// printable becomes a dot; by constants that a caller may keep in registers.
template <typename T> struct charmasks {
    T ones = ~T{0} / 0xFF, low7 = ones * 0x7F, above = ones * (0x80 - FIRSTPRINTABLE), dots = ones * DOT;
};
static_assert(LASTPRINTABLE == 0x7E, "the test below takes the last printable byte for 0x7E");
template <typename T> inline T showchars(T x, const charmasks<T> &k = {})
{
    T low7 = x & k.low7;
    // The high bit of each byte: low7 >= 0x20 in the first sum, low7 ==
    // 0x7F in the second; no sum carries out of its byte. They differ just
    // where 0x20 <= low7 <= 0x7E.
    T ok = ((low7 + k.above) ^ (low7 + k.ones)) & ~x;
    T mask = ((ok >> 7) & k.ones) * 0xFF;
    return ((x ^ k.dots) & mask) ^ k.dots;
}

} // namespace hexcat::words

#endif
