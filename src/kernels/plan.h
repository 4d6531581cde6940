// The line as 16-byte chunks, for the vector kernels: each chunk of a line
// is one shuffle of a 16-byte window of the line's sources, with the fixed
// characters or-ed in (or, for a chunk whose sources run on into fixed
// characters, one byte rotation of the window and a register of them). The
// sources are four registers, read as one 64-byte stream:
//
//   T   the eight offset digits, then the digits of bytes 0-3 (D0's first
//       eight bytes)
//   D0  the two hex digits of bytes 0-7, the high one first
//   D1  the two hex digits of bytes 8-15
//   C   the character column
//
// A chunk's window is one of them, or the 16 bytes across two neighbours
// from the first byte it needs. Everything here follows from the line's
// layout (layout.h) at compile time; each kernel takes its shuffles,
// windows and fixed characters from it in its own encoding.
#ifndef HEXCAT_KERNELS_PLAN_H
#define HEXCAT_KERNELS_PLAN_H

#include "layout.h"

namespace hexcat::chunks {

// The stream position of each register.
constexpr int T = 0, D0 = 16, D1 = 32, C = 48, END = 64;

// The stream position of byte j of a line below 4 GiB, or -1 for a fixed
// character, which goes to fixed (0 past the line).
constexpr int streampos(std::size_t j, char &fixed)
{
    const linebyte b = lineat(j);
    fixed = b.c;
    switch (b.what) {
    case linebyte::offset:
        return T + b.index;
    case linebyte::high:
        return D0 + 2 * b.index;
    case linebyte::low:
        return D0 + 2 * b.index + 1;
    case linebyte::chr:
        return C + b.index;
    default:
        return -1;
    }
}

// The stream position of byte i of chunk k of a line that starts with
// highlen high digits, or -1 for a fixed character (in fixed) or a high
// digit (which the kernel puts in the first chunk's fixed characters). The
// first chunk takes the first cells' digits from T.
constexpr int sourcepos(int k, int i, int highlen, char &fixed)
{
    fixed = 0;
    const int j = 16 * k + i - highlen;
    if (j < 0)
        return -1;
    const int pos = streampos(static_cast<std::size_t>(j), fixed);
    return k == 0 && pos >= D0 ? pos - (D0 - 8) : pos;
}

// Chunk k of a line: its window and where each of its bytes comes from.
struct chunk {
    int window;     // the stream position of the window's first byte
    int from[16];   // byte i of the chunk is byte from[i] of the window,
    char fixed[16]; // or, where from[i] < 0, the fixed character fixed[i]
    // Where the chunk is the window's bytes from byte rotate on, followed
    // in order by fixed characters: rotate (else 0), and those characters
    // as the register that follows the window (after[m] follows byte 15).
    int rotate;
    char after[16];
};

struct line {
    int chunks;    // ceil((LINE + highlen) / 16)
    chunk part[6]; // at most ceil((LINE + 8) / 16)
    bool fits;     // every chunk's bytes lie within its window
};

// The window of chunk k of a line of highlen high digits: one register
// where that holds all the chunk's bytes, else the 16 bytes from the first
// it needs; the first chunk's always T.
constexpr int windowof(int k, int highlen)
{
    int lo = END, hi = -1;
    for (int i = 0; i < 16; i++) {
        char fixed = 0;
        const int pos = sourcepos(k, i, highlen, fixed);
        lo = pos >= 0 && pos < lo ? pos : lo;
        hi = pos > hi ? pos : hi;
    }
    if (hi < 0)
        return C;
    if (k == 0)
        return T;
    return lo / 16 == hi / 16 ? lo / 16 * 16 : lo;
}

// Where c is the bytes of its window from byte shift on followed by fixed
// characters, sets its rotation.
constexpr void rotation(chunk &c, int shift)
{
    bool rotates = shift > 0;
    for (int i = 0; i < 16; i++)
        rotates = rotates && (c.from[i] >= 0 ? c.from[i] == i + shift : i + shift >= 16);
    if (!rotates)
        return;
    c.rotate = shift;
    for (int i = 16 - shift; i < 16; i++)
        c.after[i + shift - 16] = c.fixed[i];
}

// Chunk k of a line of highlen high digits, in the given window; fits
// turns false where one of its bytes lies outside the window.
constexpr chunk chunkof(int k, int highlen, int window, bool &fits)
{
    chunk c{};
    c.window = window;
    int shift = 0;
    for (int i = 0; i < 16; i++) {
        const int pos = sourcepos(k, i, highlen, c.fixed[i]);
        c.from[i] = pos < 0 ? -1 : pos - window;
        if (pos < 0)
            continue;
        shift = c.from[i] - i;
        fits = fits && pos >= window && pos < window + 16 && !(k == 0 && pos >= D0);
    }
    rotation(c, shift);
    return c;
}

// The chunks of a line of highlen high digits, in the windows of a line of
// shapeof high digits (another line's windows fit only where they hold
// every byte this line needs).
constexpr line plan(int highlen, int shapeof)
{
    line pl{};
    pl.chunks = (static_cast<int>(LINE) + highlen + 15) / 16;
    pl.fits = true;
    for (int k = 0; k < pl.chunks; k++)
        pl.part[k] = chunkof(k, highlen, windowof(k, shapeof), pl.fits);
    return pl;
}

// The plan of a line of highlen high digits in its own windows.
template <int highlen> inline constexpr line PLAN = plan(highlen, highlen);

} // namespace hexcat::chunks

#endif
