// The dump line's layout, stated once: where each field of a line goes,
// what a byte shows as, the offset field, and the general formatter that
// lays out one line of any count at any offset. The line kernels derive
// their stores, shuffles and tables from the positions below.
#ifndef HEXCAT_LAYOUT_H
#define HEXCAT_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace hexcat {

// The fields of a line for an offset below 2^32, by their first byte:
//
//   OOOOOOOO: HH HH ... HH  |CCCCCCCCCCCCCCCC|
//
// the offset's eight digits, the colon, 16 cells of a space and the byte's
// two digits, the separator "  |", the 16 characters, the closing bar and
// the newline. An offset of 2^32 and more puts its digits above the low
// eight before the line, which moves every field right by their count.
constexpr std::size_t OFFSET = 0;
constexpr std::size_t OFFSETDIGITS = 8; // of the low 32 bits
// The offset's second-last digit, which counts the lines: one up a line.
constexpr std::size_t LINEDIGIT = OFFSET + OFFSETDIGITS - 2;
constexpr std::size_t COLON = OFFSET + OFFSETDIGITS;
constexpr std::size_t CELL0 = COLON + 1;
// Cell c, for byte c of the line's 16.
constexpr std::size_t cell(std::size_t c) { return CELL0 + 3 * c; }
constexpr std::size_t SEPARATOR = cell(16);
constexpr std::size_t CHAR0 = SEPARATOR + 3;
constexpr std::size_t BAR = CHAR0 + 16;
constexpr std::size_t NEWLINE = BAR + 1;
constexpr std::size_t LINE = NEWLINE + 1; // 78
// Character c.
constexpr std::size_t character(std::size_t c) { return CHAR0 + c; }
// The fixed text between the fields: the colon after the offset, the
// space that starts each cell, the separator before the characters, the
// end of the line.
constexpr char COLONCHAR = ':';
constexpr char CELLSPACE = ' ';
constexpr char SEPARATORTEXT[] = "  |";
constexpr char ENDTEXT[] = "|\n"; // the closing bar and the newline
static_assert(sizeof SEPARATORTEXT - 1 == CHAR0 - SEPARATOR && sizeof ENDTEXT - 1 == LINE - BAR);

// The most digits an offset has above the low eight, and the longest
// line, which an offset of 16 digits widens by them.
constexpr std::size_t HIGHDIGITS = 16 - OFFSETDIGITS;
constexpr std::size_t MAXLINE = LINE + HIGHDIGITS;
// Line kernels store whole 16-byte chunks and may write this many bytes
// past the end of the last line they produce (never past SLACK).
constexpr std::size_t SLACK = 32;

// The bytes that show as themselves in the character column; every other
// byte shows as a dot.
constexpr unsigned char FIRSTPRINTABLE = 0x20, LASTPRINTABLE = 0x7E;
constexpr char DOT = '.';
constexpr char shown(unsigned char b)
{
    return b >= FIRSTPRINTABLE && b <= LASTPRINTABLE ? static_cast<char>(b) : DOT;
}

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

// What byte j of a line below 2^32 holds: digit `index` of the offset,
// the high or low digit or the character of byte `index` of the block, a
// fixed character c, or, at LINE and after, nothing (scratch a kernel may
// store past the line, c = 0).
struct linebyte {
    enum kind { offset, high, low, chr, fixed } what;
    int index;
    char c;
};
constexpr linebyte lineat(std::size_t j)
{
    if (j < COLON)
        return {linebyte::offset, static_cast<int>(j - OFFSET), 0};
    if (j >= CELL0 && j < SEPARATOR && (j - CELL0) % 3 != 0)
        return {(j - CELL0) % 3 == 1 ? linebyte::high : linebyte::low, static_cast<int>((j - CELL0) / 3), 0};
    if (j >= CHAR0 && j < BAR)
        return {linebyte::chr, static_cast<int>(j - CHAR0), 0};
    if (j == COLON)
        return {linebyte::fixed, 0, COLONCHAR};
    if (j < SEPARATOR)
        return {linebyte::fixed, 0, CELLSPACE};
    if (j < CHAR0)
        return {linebyte::fixed, 0, SEPARATORTEXT[j - SEPARATOR]};
    return {linebyte::fixed, 0, j < LINE ? ENDTEXT[j - BAR] : '\0'};
}

// An offset's part above its low 32 bits, and its digits without leading
// zeros: none below 4 GiB, at most eight. Every line from one multiple of
// 2^32 to the next starts with the same ones, followed by the eight digits
// of the low 32 bits, so they are a fixed prefix of each line there.
struct highpart {
    std::uint32_t value;
    char digits[HIGHDIGITS];
    std::size_t len;
};
highpart highdigits(std::uint64_t offset);

// Formats cnt bytes at p (clamped to 0..16) as one dump line at d, with any
// offset. Returns the end of the line (after its newline). Writes at most
// MAXLINE bytes and nothing beyond them.
char *plainline(char *d, const unsigned char *p, std::uint64_t offset, int cnt);

} // namespace hexcat

#endif
