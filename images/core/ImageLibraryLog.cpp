#include "images/core/ImageLibraryLog.h"

namespace velmora::images {

QString libraryPrefix() {
    return QStringLiteral("app.velmora.images");
}

} // namespace velmora::images

Q_LOGGING_CATEGORY(imageLibraryLog, "app.velmora.images.VIRemoteImage.Default")
