// The dump line's layout: its widths, the offset field, and the general
// formatter that lays out one line of any count at any offset.
#ifndef HEXCAT_LAYOUT_H
#define HEXCAT_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace hexcat {

// A line for an offset below 2^32: "OOOOOOOO:" + 16 cells of 3 + "  |" +
// 16 characters + "|" = 77 characters, then the newline.
constexpr std::size_t LINE = 78;
// The longest line: an offset of 16 digits widens the line by 8.
constexpr std::size_t MAXLINE = LINE + 8;
// Line kernels store whole 16-byte chunks and may write this many bytes
// past the end of the last line they produce (never past SLACK).
constexpr std::size_t SLACK = 32;

// The uppercase hex digits, and the two of every byte value.
constexpr char DIGITS[] = "0123456789ABCDEF";
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
inline constexpr hexpairs HEX;

// An offset's part above its low 32 bits, and its digits without leading
// zeros: none below 4 GiB, at most eight. Every line from one multiple of
// 2^32 to the next starts with the same ones, followed by the eight digits
// of the low 32 bits, so they are a fixed prefix of each line there.
struct highpart {
    std::uint32_t value;
    char digits[8];
    std::size_t len;
};
highpart highdigits(std::uint64_t offset);

// Formats cnt bytes at p (clamped to 0..16) as one dump line at d, with any
// offset. Returns the end of the line (after its newline). Writes at most
// MAXLINE bytes and nothing beyond them.
char *plainline(char *d, const unsigned char *p, std::uint64_t offset, int cnt);

} // namespace hexcat

#endif
