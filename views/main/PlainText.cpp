#include "views/main/PlainText.h"

#include <QLabel>
#include <QTextDocument>

namespace velmora {

namespace {
bool isBidiControl(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}
} // namespace

QString plainName(const QString& text) {
    QString plain = text;
    plain.removeIf(isBidiControl);
    return plain;
}

QString plainToolTip(const QString& text) {
    const QString plain = plainName(text);
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
