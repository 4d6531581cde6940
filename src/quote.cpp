// Names in reports: as they are, or in the shell's ANSI-C quoting.
#include "quote.h"

namespace hexcat {

namespace {

// One character of a name: its length in bytes, and whether a terminal
// shows it as it is.
struct character {
    std::size_t len;
    bool shown;
};

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The character at p (p[0] is not NUL): printable ASCII, or a valid UTF-8
// sequence from U+00A0 on, is shown. Any other byte that starts no valid
// sequence is a character of one byte that is not shown, and so is a
// control character (C0, DEL; the C1 controls take two bytes). Never reads
// past the NUL that ends the name.
character characterat(const unsigned char *p)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return {1, b >= 0x20 && b != 0x7F};
    // The range of the second byte rules out overlong forms, the UTF-16
    // surrogates U+D800 to U+DFFF and everything above U+10FFFF.
    std::size_t len = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return {1, false};
    }
    if (p[1] < low || p[1] > high)
        return {1, false};
    for (std::size_t i = 2; i < len; i++)
        if (!continuation(p[i]))
            return {1, false};
    // U+0080 to U+009F, the C1 controls, are 0xC2 0x80 to 0xC2 0x9F.
    return {len, b != 0xC2 || p[1] >= 0xA0};
}

bool needsquoting(const char *name)
{
    // A name that starts as a quoted one does is quoted itself, so that no
    // name is reported as another one's quoted form.
    if (name[0] == '$' && name[1] == '\'')
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
// most 8 bytes (the two escapes of a C1 control).
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

namequote startquote(const char *name)
{
    const bool quoted = needsquoting(name);
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
        while (*p != 0 && static_cast<std::size_t>(buf + cap - d) >= 8) {
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
