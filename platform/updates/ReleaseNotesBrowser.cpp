#include "platform/updates/ReleaseNotesBrowser.h"

#include <QImage>
#include <QTextDocument>

namespace velmora {

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setSearchPaths({});
}

QVariant ReleaseNotesBrowser::loadResource(int type, const QUrl&) {
    if (type == QTextDocument::ImageResource) {
        // Not a null image: for a null one Qt's image handler loads the name itself when
        // it is a plain path, so notes naming /dev/zero or a FIFO would take the app down.
        static const QImage pixel = [] {
            QImage image(1, 1, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            return image;
        }();
        return pixel;
    }
    return QByteArray();
}

} // namespace velmora
