// A deliberately simple formatter of dump lines, written straight from the
// line layout with snprintf, for the tests to compare the tool against; and
// a reader of the shell's quoting, to read back the names in reports; and
// the tests' random data.
#ifndef HEXCAT_TESTS_REFERENCE_H
#define HEXCAT_TESTS_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

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

// n bytes that look random, the same for the same seed.
inline std::string randombytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// The bytes of s, as the formatters take them.
inline const unsigned char *bytesof(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// The code points that draw nothing or change how the rest of the line is
// drawn, read from the Unicode Character Database in /usr/share/unicode
// (Debian's unicode-data): general category Cc, Cf, Zl or Zp, or the
// property Default_Ignorable_Code_Point. Empty when the files are not there.
inline const std::vector<bool> &refhiddenset()
{
    static const std::vector<bool> set = [] {
        std::vector<bool> v;
        std::ifstream data("/usr/share/unicode/UnicodeData.txt");
        std::ifstream props("/usr/share/unicode/DerivedCoreProperties.txt");
        if (!data || !props)
            return v;
        v.assign(0x110000, false);
        // UnicodeData.txt: "CODE;NAME;CATEGORY;...", a range as its first
        // and last code points, named "<..., First>" and "<..., Last>".
        std::uint32_t first = 0;
        for (std::string line; std::getline(data, line);) {
            std::size_t a = line.find(';'), b = line.find(';', a + 1);
            const std::uint32_t cp = std::stoul(line.substr(0, a), nullptr, 16);
            const std::string name = line.substr(a + 1, b - a - 1), cat = line.substr(b + 1, 2);
            const bool last = name.size() > 6 && name.compare(name.size() - 6, 6, "Last>") == 0;
            if (name.find(", First>") == std::string::npos && cat.size() == 2 &&
                (cat == "Cc" || cat == "Cf" || cat == "Zl" || cat == "Zp"))
                for (std::uint32_t c = last ? first : cp; c <= cp; c++)
                    v[c] = true;
            first = cp;
        }
        // DerivedCoreProperties.txt: "FIRST[..LAST] ; PROPERTY # comment".
        for (std::string line; std::getline(props, line);) {
            line = line.substr(0, line.find('#'));
            std::size_t semi = line.find(';');
            if (semi == std::string::npos ||
                line.find("Default_Ignorable_Code_Point", semi) == std::string::npos)
                continue;
            std::size_t dots = line.find("..");
            const std::uint32_t lo = std::stoul(line.substr(0, dots), nullptr, 16);
            const std::uint32_t hi = dots < semi ? std::stoul(line.substr(dots + 2), nullptr, 16) : lo;
            for (std::uint32_t c = lo; c <= hi; c++)
                v[c] = true;
        }
        return v;
    }();
    return set;
}

// Whether a terminal shows s as it is: valid UTF-8 (shortest forms, no
// UTF-16 surrogates, nothing above U+10FFFF) with no character that
// refhiddenset() holds. Decodes each code point from its bits. Needs the
// Unicode data (refhiddenset() not empty).
inline bool refshown(const std::string &s)
{
    const std::vector<bool> &hidden = refhiddenset();
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        std::uint32_t cp = len == 1 ? b : b & (0x7Fu >> len);
        for (std::size_t k = 1; k < len; k++) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (c & 0x3Fu);
        }
        constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (hidden.empty() || hidden[cp])
            return false;
        i += len;
    }
    return true;
}

// Reads text as bash reads one word in ANSI-C quoting, $'...', into *out:
// the escapes \a \b \e \E \f \n \r \t \v \\ \' \" \?, one to three octal digits
// and \x with one or two hex digits, each taking as many digits as follow.
// False when text is not exactly one such word, or holds an escape that
// this reader does not know (\c, \u, \U, an octal value above 0377).
inline bool refunquote(const std::string &text, std::string *out)
{
    out->clear();
    if (text.rfind("$'", 0) != 0)
        return false;
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    auto hex = [](char c) {
        const char *digits = "0123456789abcdef0123456789ABCDEF";
        const char *at = c != '\0' ? std::strchr(digits, c) : nullptr;
        return at != nullptr ? static_cast<int>(at - digits) % 16 : -1;
    };
    for (std::size_t i = 2; i < text.size(); i++) {
        char c = text[i];
        if (c == '\'')
            return i + 1 == text.size();
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i == text.size())
            return false;
        c = text[i];
        const std::string from = "abeEfnrtv\\'\"?";
        const std::string to = "\a\b\x1B\x1B\f\n\r\t\v\\'\"?";
        if (from.find(c) != std::string::npos) {
            *out += to[from.find(c)];
        } else if (octal(c)) {
            unsigned v = 0;
            std::size_t k = 0;
            for (; k < 3 && i + k < text.size() && octal(text[i + k]); k++)
                v = v * 8 + static_cast<unsigned>(text[i + k] - '0');
            if (v > 0377)
                return false;
            *out += static_cast<char>(v);
            i += k - 1;
        } else if (c == 'x' && i + 1 < text.size() && hex(text[i + 1]) >= 0) {
            unsigned v = 0;
            std::size_t k = 1;
            for (; k < 3 && i + k < text.size() && hex(text[i + k]) >= 0; k++)
                v = v * 16 + static_cast<unsigned>(hex(text[i + k]));
            *out += static_cast<char>(v);
            i += k - 1;
        } else {
            return false;
        }
    }
    return false;
}

#endif
