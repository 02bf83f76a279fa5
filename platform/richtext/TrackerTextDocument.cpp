#include "platform/richtext/TrackerTextDocument.h"

#include "platform/richtext/TrackerHtml.h"

#include <QImage>
#include <QUrl>

namespace velmora {

TrackerTextDocument::TrackerTextDocument(QObject* parent) : QTextDocument(parent) {
    // A provider of our own, so a process-wide default provider is never asked either;
    // it finds nothing, and loadResource() below answers.
    setResourceProvider([](const QUrl&) { return QVariant(); });
}

void TrackerTextDocument::setTrackerHtml(const QString& html) {
    setHtml(boundTrackerHtml(html));
}

QVariant TrackerTextDocument::placeholder(int type) {
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

QVariant TrackerTextDocument::loadResource(int type, const QUrl&) {
    return placeholder(type);
}

} // namespace velmora
