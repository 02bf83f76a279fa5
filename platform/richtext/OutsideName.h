#pragma once

#include "platform/richtext/LetterMarks.h"

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
// space, controls and characters that take no room (see takesNoRoom) are dropped, a letter
// keeps at most plainMarksPerLetter combining marks, and a longer name ends in an ellipsis. Dropped
// are the bidirectional controls too (U+202A..U+202E, U+2066..U+2069), which would
// reorder what follows them ("Invoice \u202Egnp.exe" would read "Invoice exe.png"),
// and the direction marks. Costs the same however long `text` is: a name that shows
// nothing in its first stretch is cut there.
QString plainName(const QString& text, qsizetype maxLength = plainNameLength);

} // namespace velmora
