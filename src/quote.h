// How a file name appears in a report. A name a terminal shows as it is
// (valid UTF-8 with no control character) is written byte for byte. Any
// other name, and one that itself starts as a quoted name does ("$'"), is
// written whole in the shell's ANSI-C quoting, $'...', which bash and zsh
// read back as the same bytes:
// - the control characters BEL, BS, HT, LF, VT, FF, CR and ESC as \a \b \t
//   \n \v \f \r \e;
// - every other byte of a control character (0x01 to 0x1F, DEL, and the
//   two bytes of each C1 control U+0080 to U+009F) and every byte that is
//   not part of valid UTF-8 as a backslash and three octal digits, always
//   three, so that a digit after the escape is not read as part of it;
// - the quote and the backslash as \' and \\;
// - everything else (printable ASCII, valid UTF-8 from U+00A0 on) as it is.
// So a report is always one line, no control byte of a name reaches the
// terminal, and two names never give the same report.
#ifndef HEXCAT_QUOTE_H
#define HEXCAT_QUOTE_H

#include <cstddef>

namespace hexcat {

// The least room a piece may be given: enough for the longest thing written
// at once (the two escapes of a C1 control, or the opening "$'").
constexpr std::size_t QUOTEPIECE = 16;

// A name on its way out in its report form.
struct namequote {
    const char *rest; // the part of the name not yet written
    bool quoted;      // written as $'...'
    bool opened;      // the opening "$'" is written (or not needed)
    bool done;        // the whole form is written, closing quote and all
};

// Starts the report form of name.
namequote startquote(const char *name);

// Writes the next piece of q's report form to buf, at most cap bytes (cap
// >= QUOTEPIECE), never cutting a character or an escape in two. Returns
// the piece's length. Sets q->done once the piece ends the form; called
// after that, it writes nothing.
std::size_t nextquote(namequote *q, char *buf, std::size_t cap);

} // namespace hexcat

#endif
