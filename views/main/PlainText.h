#pragma once

#include <QString>

class QLabel;

namespace velmora {

// Names from trackers (tasks, projects, people, accounts) are free text that anyone
// with access to the tracker wrote. They are shown as the characters they are: never
// as markup (Qt takes text that looks like HTML for rich text in labels and tooltips,
// and rich text can show images and read files), never with a mnemonic (a "&" in a menu
// item), and never reordering the text around them.

// `text` without the bidirectional embedding, override and isolate controls
// (U+202A..U+202E, U+2066..U+2069), which would reorder what follows them:
// "Invoice \u202Egnp.exe" would read "Invoice exe.png".
QString plainName(const QString& text);

// A tooltip that shows `text` literally: escaped rich text, since Qt guesses the
// format of a tooltip from its content.
QString plainToolTip(const QString& text);

// A menu item's text that shows `text` literally: "&" doubled so it is no mnemonic.
QString plainMenuText(const QString& text);

// Makes `label` show plain text only and gives it `text`.
void setPlainText(QLabel* label, const QString& text);

} // namespace velmora
