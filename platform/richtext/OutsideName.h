#pragma once

#include "platform/richtext/LetterMarks.h"

#include <QString>

namespace velmora {

// How much of a name a row, label, title or menu item shows, and how much a tooltip
// shows, in UTF-16 code units with the ellipsis that ends a longer one.
inline constexpr qsizetype plainNameLength = 300;
inline constexpr qsizetype plainToolTipLength = 1000;
// What laying a name out may cost (see ShapingCost), in Latin letters, and a tooltip: a label
// lays its text out again at each paint, and a name of 500 emoji took a tooltip a second. Some
// fifty pictures of a colour emoji font, a hundred in a tooltip; thousands of letters.
inline constexpr qint64 plainNameCost = 16000;
inline constexpr qint64 plainToolTipCost = 32000;
// What finding the fonts of a name may cost past the first it needs (see ShapingCost), the first
// time this process lays them out: a few.
inline constexpr qint64 plainNameLoading = 32000;
// Combining marks shown on one letter of most scripts; the scripts whose words stack more on one
// letter keep what those carry (see LetterMarks::marksAllowed).
inline constexpr qsizetype plainMarksPerLetter = 3;

// Names from trackers (tasks, projects, people, accounts) are free text that anyone
// with access to the tracker wrote. They are shown as the characters they are: never
// as markup (Qt takes text that looks like HTML for rich text in labels and tooltips,
// and rich text can show images and read files), never with a mnemonic (a "&" in a menu
// item), and never reordering the text around them.

// Whether a name leaves `c` out wherever it stands: controls, halves of surrogate pairs,
// noncharacters, the grapheme joiner (a mark that draws nothing), format characters but the
// number signs, and whatever takes no room (see takesNoRoom: joiners, direction marks,
// bidirectional controls, fillers, tags). A name keeps the joiners where they join and the
// Mongolian vowel separator where it parts (see plainName), and the tags of a region's flag.
bool isHiddenInName(char32_t c);

// `text` as one line of at most `maxLength` code units: line breaks (and tabs) read as a
// space, what isHiddenInName names is dropped, a letter keeps the combining marks its script's
// words carry (plainMarksPerLetter in most), and a longer name ends in an ellipsis. Dropped are
// the bidirectional controls too (U+202A..U+202E, U+2066..U+2069), which would reorder what
// follows them ("Invoice \u202Egnp.exe" would read "Invoice exe.png"), and the direction marks.
// The joiners stay only where they shape the word: after a virama (a conjunct or a half form
// before a letter: Sinhala "ශ්‍රී", Hindi "क्‍ष"; a joiner where no letter follows,
// Malayalam's
// old-style chillu "അവന്‍"), between a letter and its virama (the Bengali ra-phala "র‍্য"),
// a non-joiner between letters of a joining script (Persian "می‌خواهم"), a joiner after such a
// letter before what does not join it (Persian "ه‍."), a joiner between pictures of an emoji
// sequence; so does the Mongolian vowel separator between Mongolian letters. Elsewhere they join
// nothing and only hide in a word ("pay\u200Dpal" reads "paypal"). A region's flag keeps the
// tags that name it. Code points newer than Qt's Unicode are letters and stay. Costs the
// same however long `text` is: a name that shows nothing in its first stretch is cut there. A
// name that would cost more than `maxCost` to lay out (see ShapingCost: what the fonts that draw
// it cost), or find more fonts than `maxLoading` buys, ends in an ellipsis where that is spent.
QString plainName(const QString& text, qsizetype maxLength = plainNameLength, qint64 maxCost = plainNameCost,
                  qint64 maxLoading = plainNameLoading);

// How much of a name a sentence quotes where several share a line (the tray's notes, what an
// alert lists).
inline constexpr qsizetype quotedNameShortLength = 80;

// `plain` (a name as plainName gives it) as one of the app's sentences, labels or titles quotes
// it: isolated (U+2068 ... U+2069) where it holds what would give the sentence a direction of its
// own or carry the words beside it into its run, right-to-left letters or Arabic digits. The
// sentence reads in the app's direction whatever the name it opens with: "פרויקט 12 starts once
// this time is booked." keeps its full stop at its end. A name of neither cannot turn a
// left-to-right sentence and goes in as it is, so what other tools match in a text keeps its
// plain form.
QString isolatedName(const QString& plain);
// What a sentence quotes of a tracker's name: `text` bounded as plainName bounds it (cut between
// whole characters, with an ellipsis, at `maxLength`), then isolated (isolatedName). Every
// sentence that quotes a name takes it from here, never from a cut of its own.
QString quotedName(const QString& text, qsizetype maxLength = plainNameLength);

} // namespace velmora
