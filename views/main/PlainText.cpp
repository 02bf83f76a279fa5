#include "views/main/PlainText.h"

#include <QLabel>
#include <QTextDocument>

namespace velmora {

QString plainToolTip(const QString& text) {
    const QString plain = plainName(text, plainToolTipLength, plainToolTipCost);
    if (plain.isEmpty()) {
        // An empty tooltip hides the tooltip; "<p></p>" would show an empty one.
        return plain;
    }
    return Qt::convertFromPlainText(plain, Qt::WhiteSpaceNormal);
}

QString plainMenuText(const QString& text) {
    QString plain = plainName(text);
    plain.replace(u'&', QLatin1String("&&"));
    return plain;
}

void setPlainText(QLabel* label, const QString& text) {
    label->setTextFormat(Qt::PlainText);
    label->setText(plainName(text));
}

} // namespace velmora
