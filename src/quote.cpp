// Names in reports: as they are, or in the shell's ANSI-C quoting.
#include "quote.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace hexcat {

namespace {

// One character of a name: its length in bytes, and whether a terminal
// shows it as it is.
struct character {
    std::size_t len;
    bool shown;
};

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The code points a terminal does not show as they are, in order: the
// control characters, and those that draw nothing or change how the rest of
// the line is drawn.
constexpr struct {
    char32_t first;
    char32_t last;
} HIDDEN[] = {
    {0x0000, 0x001F}, // C0 controls
    {0x007F, 0x009F}, // DEL, C1 controls
    {0x061C, 0x061C}, // Arabic letter mark
    {0x200B, 0x200F}, // zero width space, non-joiner, joiner; LRM, RLM
    {0x2028, 0x202E}, // line and paragraph separators; LRE, RLE, PDF, LRO, RLO
    {0x2060, 0x2064}, // word joiner, invisible operators
    {0x2066, 0x2069}, // LRI, RLI, FSI, PDI
    {0xFEFF, 0xFEFF}, // zero width no-break space
};

// The most one character takes inside $'...': an escape for each byte of a
// character of three bytes that is not shown.
constexpr std::size_t LONGEST = 12;
static_assert(HIDDEN[std::size(HIDDEN) - 1].last < 0x10000, "a hidden character of four bytes takes 16");

bool hidden(char32_t cp)
{
    return std::ranges::any_of(HIDDEN, [cp](const auto &r) { return cp >= r.first && cp <= r.last; });
}

// The character at p (p[0] is not NUL): a byte that starts no valid UTF-8
// sequence is a character of one byte that is not shown; a valid sequence
// is shown unless its code point is in HIDDEN. Never reads past the NUL
// that ends the name.
character characterat(const unsigned char *p)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return {1, !hidden(b)};
    // No sequence starts with a continuation byte, C0 or C1 (overlong forms
    // of two bytes), or F5 to FF (past U+10FFFF). The range of the second
    // byte rules out the other overlong forms, the UTF-16 surrogates U+D800
    // to U+DFFF and everything above U+10FFFF.
    if (b < 0xC2 || b > 0xF4)
        return {1, false};
    const std::size_t len = b <= 0xDF ? 2 : b <= 0xEF ? 3 : 4;
    const unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high)
        return {1, false};
    char32_t cp = (b & (0x7FU >> len)) << 6 | (p[1] & 0x3FU);
    for (std::size_t i = 2; i < len; i++) {
        if (!continuation(p[i]))
            return {1, false};
        cp = cp << 6 | (p[i] & 0x3FU);
    }
    return {len, !hidden(cp)};
}

bool needsquoting(const char *name)
{
    // A name that starts as a quoted one does, or as the report that
    // standard output failed ("write error: ..."), is quoted itself, so that
    // no name is reported as another one's quoted form or as that report.
    if (name[0] == '$' && name[1] == '\'')
        return true;
    constexpr char WRITEERROR[] = "write error";
    constexpr std::size_t n = sizeof WRITEERROR - 1;
    if (std::strncmp(name, WRITEERROR, n) == 0 && (name[n] == '\0' || name[n] == ':'))
        return true;
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    while (*p != 0) {
        character c = characterat(p);
        if (!c.shown)
            return true;
        p += c.len;
    }
    return false;
}

// Writes b as an escape that bash and zsh read in $'...'. Returns the end.
char *escape(char *d, unsigned char b)
{
    constexpr char NAMED[] = "abtnvfr"; // BEL (7) to CR (13)
    d[0] = '\\';
    if (b >= 7 && b <= 13) {
        d[1] = NAMED[b - 7];
        return d + 2;
    }
    if (b == 0x1B) {
        d[1] = 'e';
        return d + 2;
    }
    d[1] = static_cast<char>('0' + (b >> 6));
    d[2] = static_cast<char>('0' + ((b >> 3) & 7));
    d[3] = static_cast<char>('0' + (b & 7));
    return d + 4;
}

// Writes the character c at p inside $'...'. Returns the end; writes at
// most LONGEST bytes.
char *quotedcharacter(char *d, const unsigned char *p, character c)
{
    if (!c.shown) {
        for (std::size_t i = 0; i < c.len; i++)
            d = escape(d, p[i]);
        return d;
    }
    if (*p == '\'' || *p == '\\')
        *d++ = '\\';
    for (std::size_t i = 0; i < c.len; i++)
        *d++ = static_cast<char>(p[i]);
    return d;
}

} // namespace

namequote startquote(const char *name, bool own)
{
    const bool quoted = !own && needsquoting(name);
    return {name, quoted, !quoted, false};
}

std::size_t nextquote(namequote *q, char *buf, std::size_t cap)
{
    if (q->done)
        return 0;
    char *d = buf;
    if (!q->opened) {
        *d++ = '$';
        *d++ = '\'';
        q->opened = true;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(q->rest);
    if (!q->quoted) {
        while (*p != 0 && d < buf + cap)
            *d++ = static_cast<char>(*p++);
    } else {
        while (*p != 0 && static_cast<std::size_t>(buf + cap - d) >= LONGEST) {
            character c = characterat(p);
            d = quotedcharacter(d, p, c);
            p += c.len;
        }
    }
    q->rest = reinterpret_cast<const char *>(p);
    if (*p == 0 && (!q->quoted || d < buf + cap)) {
        if (q->quoted)
            *d++ = '\'';
        q->done = true;
    }
    return static_cast<std::size_t>(d - buf);
}

} // namespace hexcat
