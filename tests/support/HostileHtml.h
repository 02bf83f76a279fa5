#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace velmora::test {

// HTML fragments within the size bounds that once took Qt's text layout seconds to
// minutes: lengths in styles, table spans, combining marks (with joiners between them or
// not), font faces, list starts and deep lists. Each with a short name.
inline std::vector<std::pair<QString, QString>> hostileHtml() {
    const QString spanRow = QStringLiteral("<tr>") +
                            QStringLiteral("<td colspan=64 rowspan=64>x</td>").repeated(3) +
                            QStringLiteral("</tr>");
    QString faces;
    for (int i = 0; i < 2000; ++i) {
        faces += QStringLiteral("<font face=\"Face %1\">x</font>").arg(i);
    }
    return {
        {QStringLiteral("margins"), QStringLiteral("<p style=\"margin:100000px\">x</p>").repeated(100)},
        {QStringLiteral("line-heights"),
         QStringLiteral("<p style=\"line-height:100000px\">x</p>").repeated(2000)},
        {QStringLiteral("indents"),
         QStringLiteral("<p style=\"-qt-block-indent:100000; text-indent:100000px\">x</p>").repeated(100)},
        {QStringLiteral("spans-20"),
         QStringLiteral("<table>") + spanRow.repeated(20) + QStringLiteral("</table>")},
        {QStringLiteral("spans-600"),
         QStringLiteral("<table>") + spanRow.repeated(600) + QStringLiteral("</table>")},
        {QStringLiteral("marks"), QStringLiteral("a") + QString(QChar(0x0301)).repeated(20000)},
        // Marks of one letter with joiners between them: both kinds of joiner.
        {QStringLiteral("joined-marks"),
         QStringLiteral("a") + QStringLiteral("\u0301\u200c").repeated(10000)},
        {QStringLiteral("zwj-marks"), QStringLiteral("a") + QStringLiteral("\u0301\u200d").repeated(10000)},
        // Marks between code points that take no room though Qt's Unicode names none of
        // them (default-ignorable, unassigned), and marks written in the forms of reference
        // Qt's reader also decodes.
        {QStringLiteral("unassigned-marks"),
         QStringLiteral("a") + QStringLiteral("\u0301\u2065").repeated(50000)},
        {QStringLiteral("noncharacter-marks"),
         QStringLiteral("a") + QStringLiteral("\u0301\ufff0").repeated(50000)},
        {QStringLiteral("tag-plane-marks"),
         QStringLiteral("a") + QString::fromUcs4(U"\u0301\U000E0002").repeated(50000)},
        {QStringLiteral("tag-plane-marks-80"),
         QStringLiteral("a") + QString::fromUcs4(U"\u0301\U000E0080").repeated(50000)},
        {QStringLiteral("tag-plane-marks-fff"),
         QStringLiteral("a") + QString::fromUcs4(U"\u0301\U000E0FFF").repeated(50000)},
        {QStringLiteral("signed-hex-references"),
         QStringLiteral("a") + QStringLiteral("&#x+301;").repeated(50000)},
        {QStringLiteral("prefixed-hex-references"),
         QStringLiteral("a") + QStringLiteral("&#x0x301;").repeated(50000)},
        {QStringLiteral("signed-references"),
         QStringLiteral("a") + QStringLiteral("&#+769;").repeated(50000)},
        {QStringLiteral("faces"), faces},
        {QStringLiteral("list-starts"),
         QStringLiteral("<ol start=\"999999\"><li>x</li><li>y</li></ol>").repeated(600)},
        // As much as the size bounds let through, of the same kinds.
        {QStringLiteral("marked-letters"),
         (QStringLiteral("a") + QString(QChar(0x0301)).repeated(8)).repeated(2200)},
        {QStringLiteral("many-lists"), QStringLiteral("<ol start=9999><li>x</ol>").repeated(1000)},
        {QStringLiteral("full-grid"),
         QStringLiteral("<table border=99 cellpadding=99>") +
             (QStringLiteral("<tr>") + QStringLiteral("<td>x</td>").repeated(40) + QStringLiteral("</tr>"))
                 .repeated(40) +
             QStringLiteral("</table>")},
        {QStringLiteral("deep-lists"), QStringLiteral("<ul><li>").repeated(10000) + QStringLiteral("x")},
        {QStringLiteral("deep-ordered-lists"),
         QStringLiteral("<ol start=999999><li>").repeated(10000) + QStringLiteral("x")},
    };
}

} // namespace velmora::test
