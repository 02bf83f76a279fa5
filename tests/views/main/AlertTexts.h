#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QStringList>
#include <QTextDocument>

namespace velmora::test {

// A name that Qt would take for markup: an image read from a local path, bold text.
inline const QString markupName = QStringLiteral("Fix <img src=\"/nonexistent.png\"><b>the header</b>");

// The texts of `box`'s labels as the labels lay them out: rich text as the characters it
// shows, plain text as it is.
inline QStringList shownTexts(const QMessageBox& box) {
    QStringList shown;
    for (const QLabel* label : box.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) {
            continue;
        }
        const Qt::TextFormat format = label->textFormat();
        if (format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(label->text()))) {
            QTextDocument document;
            document.setHtml(label->text());
            shown << document.toPlainText();
        } else {
            shown << label->text();
        }
    }
    return shown;
}

// The labels of `box` that hold text but would lay it out as rich text.
inline QStringList richLabels(const QMessageBox& box) {
    QStringList rich;
    for (const QLabel* label : box.findChildren<QLabel*>()) {
        if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText) {
            rich << label->objectName();
        }
    }
    return rich;
}

// Whether one of `box`'s labels shows `text` among its characters.
inline bool showsLiterally(const QMessageBox& box, const QString& text) {
    for (const QString& shown : shownTexts(box)) {
        if (shown.contains(text)) {
            return true;
        }
    }
    return false;
}

} // namespace velmora::test
