#pragma once

#include "platform/richtext/OutsideName.h"

#include <QString>

class QLabel;

namespace velmora {

// A tooltip that shows `text` literally, bounded as a name to plainToolTipLength:
// escaped rich text, since Qt guesses the format of a tooltip from its content.
QString plainToolTip(const QString& text);

// A menu item's text that shows `text` literally: "&" doubled so it is no mnemonic.
QString plainMenuText(const QString& text);

// Makes `label` show plain text only and gives it `text`.
void setPlainText(QLabel* label, const QString& text);

} // namespace velmora
