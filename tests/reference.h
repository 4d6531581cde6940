// A deliberately simple formatter of dump lines, written straight from the
// line layout with snprintf, for the tests to compare the tool against.
#ifndef HEXCAT_TESTS_REFERENCE_H
#define HEXCAT_TESTS_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string refline(const unsigned char *p, std::uint64_t offset, int cnt)
{
    if (cnt > 16)
        cnt = 16;
    char cell[32];
    std::snprintf(cell, sizeof cell, "%08llX:", static_cast<unsigned long long>(offset));
    std::string line = cell;
    for (int c = 0; c < 16; c++) {
        if (c < cnt) {
            std::snprintf(cell, sizeof cell, " %02X", static_cast<unsigned>(p[c]));
            line += cell;
        } else {
            line += "   ";
        }
    }
    line += "  |";
    for (int c = 0; c < 16; c++) {
        if (c < cnt)
            line += (p[c] >= 0x20 && p[c] <= 0x7E) ? static_cast<char>(p[c]) : '.';
        else
            line += ' ';
    }
    line += "|\n";
    return line;
}

// The lines of n full 16-byte blocks at p, the first at offset.
inline std::string refblocks(const unsigned char *p, std::uint64_t offset, std::size_t n)
{
    std::string out;
    for (std::size_t i = 0; i < n; i++)
        out += refline(p + 16 * i, offset + 16 * i, 16);
    return out;
}

// The whole dump of data as the tool prints it for a file holding it.
inline std::string refdump(const std::string &data, std::uint64_t start = 0)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    for (std::size_t i = 0; i < data.size(); i += 16) {
        int cnt = data.size() - i < 16 ? static_cast<int>(data.size() - i) : 16;
        out += refline(p + i, start + i, cnt);
    }
    return out;
}

#endif
