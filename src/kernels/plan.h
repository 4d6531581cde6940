// The line as 16-byte chunks, for the vector kernels: each chunk of a line
// below 4 GiB is one shuffle of a 16-byte window of the line's sources,
// with the fixed characters or-ed in (or, for a chunk whose sources run on
// into fixed characters, one byte rotation of the window and a register of
// them). The sources are four registers, read as one 64-byte stream:
//
//   T   the eight offset digits, then the digits of bytes 0-3 (D0's first
//       eight bytes)
//   D0  the two hex digits of bytes 0-7, the high one first
//   D1  the two hex digits of bytes 8-15
//   C   the character column
//
// A chunk's window is one of them, or the 16 bytes across two neighbours
// from the first byte it needs; all of it follows from layout.h.
#ifndef HEXCAT_KERNELS_PLAN_H
#define HEXCAT_KERNELS_PLAN_H

#include "layout.h"

namespace hexcat::chunks {

// The stream position of each register.
constexpr int T = 0, D0 = 16, D1 = 32, C = 48, END = 64;
// The line's chunks, the last one's bytes past the line scratch.
constexpr int CHUNKS = (LINE + 15) / 16;

// The stream position of byte i of chunk k, or -1 for a fixed character,
// which goes to fixed (0 past the line). The first chunk takes the first
// cells' digits from T.
constexpr int sourcepos(int k, int i, char &fixed)
{
    const linebyte b = lineat(16 * static_cast<std::size_t>(k) + static_cast<std::size_t>(i));
    fixed = b.c;
    const int first = k == 0 ? T + static_cast<int>(OFFSETDIGITS) : D0;
    switch (b.what) {
    case linebyte::offset:
        return T + b.index;
    case linebyte::high:
        return first + 2 * b.index;
    case linebyte::low:
        return first + 2 * b.index + 1;
    case linebyte::chr:
        return C + b.index;
    default:
        return -1;
    }
}

// Chunk k of a line: its window and where each of its bytes comes from.
struct chunk {
    int window;     // the stream position of the window's first byte
    int from[16];   // byte i of the chunk is byte from[i] of the window,
    char fixed[16]; // or, where from[i] < 0, the fixed character fixed[i]
    // Where the chunk is the window from byte rotate on, then fixed
    // characters: rotate (else 0), and those characters (after).
    int rotate;
    char after[16];
};

// Chunk k: its window is one register where that holds all its bytes, else
// the 16 bytes from the first it needs.
constexpr chunk chunkof(int k)
{
    chunk c{};
    int lo = END, hi = -1;
    for (int i = 0; i < 16; i++) {
        const int pos = sourcepos(k, i, c.fixed[i]);
        lo = pos >= 0 && pos < lo ? pos : lo;
        hi = pos > hi ? pos : hi;
    }
    c.window = hi < 0 ? C : lo / 16 == hi / 16 ? lo / 16 * 16 : lo;
    int shift = 0;
    for (int i = 0; i < 16; i++) {
        const int pos = sourcepos(k, i, c.fixed[i]);
        c.from[i] = pos < 0 ? -1 : pos - c.window;
        shift = pos < 0 ? shift : c.from[i] - i;
    }
    bool rotates = shift > 0;
    for (int i = 0; i < 16; i++)
        rotates = rotates && (c.from[i] >= 0 ? c.from[i] == i + shift : i + shift >= 16);
    c.rotate = rotates ? shift : 0;
    for (int i = 16 - c.rotate; i < 16; i++)
        c.after[i + c.rotate - 16] = c.fixed[i];
    return c;
}

// The line's plan: its chunks, and whether each chunk's bytes lie within
// its window.
struct plan {
    chunk part[CHUNKS];
    bool fits;
    constexpr plan() : part(), fits(true)
    {
        for (int k = 0; k < CHUNKS; k++) {
            part[k] = chunkof(k);
            for (int i = 0; i < 16; i++)
                fits = fits && part[k].from[i] < 16;
        }
    }
};
inline constexpr plan PLAN;
static_assert(PLAN.fits);

} // namespace hexcat::chunks

#endif
