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
        return QImage();
    }
    return QByteArray();
}

} // namespace velmora
