#pragma once

#include <QString>

namespace velmora {

// How much of a name a row, label, title or menu item shows, and how much a tooltip
// shows, in UTF-16 code units with the ellipsis that ends a longer one.
inline constexpr qsizetype plainNameLength = 300;
inline constexpr qsizetype plainToolTipLength = 1000;
// Combining marks shown on one letter: enough for the scripts that stack them.
inline constexpr qsizetype plainMarksPerLetter = 3;

// Names from trackers (tasks, projects, people, accounts) are free text that anyone
// with access to the tracker wrote. They are shown as the characters they are: never
// as markup (Qt takes text that looks like HTML for rich text in labels and tooltips,
// and rich text can show images and read files), never with a mnemonic (a "&" in a menu
// item), and never reordering the text around them.

// `text` as one line of at most `maxLength` code units: line breaks (and tabs) read as a
// space, controls and characters that show nothing are dropped, a letter keeps at most
// plainMarksPerLetter combining marks, and a longer name ends in an ellipsis. Dropped
// are the bidirectional controls too (U+202A..U+202E, U+2066..U+2069), which would
// reorder what follows them ("Invoice \u202Egnp.exe" would read "Invoice exe.png"),
// and the direction marks. Costs the same however long `text` is: a name that shows
// nothing in its first stretch is cut there.
QString plainName(const QString& text, qsizetype maxLength = plainNameLength);

// Whether `c` is a combining mark of any kind: what stacks on the letter before it.
bool isCombiningMark(char32_t c);

// Whether `c` is a format character that shows nothing and takes no room: the joiners,
// zero-width spaces, direction marks and bidirectional controls, the soft hyphen, the
// byte-order mark, the tag characters. Such a character starts no new letter: text
// shaping looks past it for the letter that a mark after it sits on.
bool isInvisibleFormat(char32_t c);

} // namespace velmora
