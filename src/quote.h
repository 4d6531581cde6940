// How a file name appears in a report. A name a terminal shows as it is
// (valid UTF-8 with no character that is not shown, below) is written byte
// for byte. Any other name, and one that itself starts as a quoted name
// does ("$'") or as the report that standard output failed does (the name
// "write error", or "write error:" and anything), is written whole in the
// shell's ANSI-C quoting, $'...', which bash and zsh read back as the same
// bytes:
// - the control characters BEL, BS, HT, LF, VT, FF, CR and ESC as \a \b \t
//   \n \v \f \r \e;
// - every other byte of a character that is not shown, and every byte that
//   is not part of valid UTF-8, as a backslash and three octal digits,
//   always three, so that a digit after the escape is not read as part of
//   it. Not shown are the characters that draw nothing or change how the
//   rest of the line is drawn, as the Unicode Character Database gives them
//   (HIDDEN in quote.cpp, made by tools/hidden.py): the control characters
//   (general category Cc: 0x01 to 0x1F, DEL, the C1 controls U+0080 to
//   U+009F), the format characters (Cf: the bidirectional controls, the
//   zero-width characters, the tags...), the line and paragraph separators
//   U+2028 and U+2029, and every Default_Ignorable_Code_Point (the soft
//   hyphen U+00AD, the variation selectors, the Hangul fillers...);
// - the quote and the backslash as \' and \\;
// - everything else (printable ASCII, every other valid character from
//   U+00A0 on) as it is.
// So a report is always one line, no name reorders, hides or splits it, no
// control byte of a name reaches the terminal, and two names never give the
// same report.
#ifndef HEXCAT_QUOTE_H
#define HEXCAT_QUOTE_H

#include <cstddef>

namespace hexcat {

// The least room a piece may be given: enough for the opening "$'" and the
// longest thing written at once (the four escapes of a character of four
// bytes that is not shown).
constexpr std::size_t QUOTEPIECE = 18;

// A name on its way out in its report form.
struct namequote {
    const char *rest; // the part of the name not yet written
    bool quoted;      // written as $'...'
    bool opened;      // the opening "$'" is written (or not needed)
    bool done;        // the whole form is written, closing quote and all
};

// Starts the report form of name. A name of the tool's own (own: "write
// error" when standard output failed) is written as it is.
namequote startquote(const char *name, bool own = false);

// Writes the next piece of q's report form to buf, at most cap bytes (cap
// >= QUOTEPIECE), never cutting a character or an escape in two. Returns
// the piece's length. Sets q->done once the piece ends the form; called
// after that, it writes nothing.
std::size_t nextquote(namequote *q, char *buf, std::size_t cap);

} // namespace hexcat

#endif
