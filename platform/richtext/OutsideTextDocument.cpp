#include "platform/richtext/OutsideTextDocument.h"

#include "platform/richtext/OutsideHtml.h"

#include <QImage>
#include <QUrl>

namespace velmora {

OutsideTextDocument::OutsideTextDocument(QObject* parent) : QTextDocument(parent) {
    // A provider of our own, so a process-wide default provider is never asked either;
    // it finds nothing, and loadResource() below answers.
    setResourceProvider([](const QUrl&) { return QVariant(); });
}

void OutsideTextDocument::setOutsideHtml(const QString& html) {
    setHtml(boundOutsideHtml(html));
}

QVariant OutsideTextDocument::placeholder(int type) {
    if (type == QTextDocument::ImageResource) {
        // Not a null image: for a null one Qt's image handler loads the name itself.
        static const QImage pixel = [] {
            QImage image(1, 1, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            return image;
        }();
        return pixel;
    }
    return QByteArray();
}

QVariant OutsideTextDocument::loadResource(int type, const QUrl&) {
    return placeholder(type);
}

} // namespace velmora
