#include "views/main/AssetNames.h"

#include <QFile>

static void initialiseVelmoraResources() {
    Q_INIT_RESOURCE(velmora);
}

namespace velmora {

void Assets::initialise() {
    static const bool done = [] {
        initialiseVelmoraResources();
        return true;
    }();
    Q_UNUSED(done);
}

QString Assets::imagePath(const QString& name) {
    initialise();
    const QString path = QStringLiteral(":/assets/") + name + QStringLiteral(".svg");
    return QFile::exists(path) ? path : QString();
}

QIcon Assets::icon(const QString& name) {
    const QString path = imagePath(name);
    return path.isEmpty() ? QIcon() : QIcon(path);
}

QPixmap Assets::pixmap(const QString& name, const QSize& size) {
    return icon(name).pixmap(size);
}

QColor Assets::color(const QString& name) {
    if (name == AssetNames::accentColor) {
        // The app's own blue; the same in light and dark appearance.
        return QColor(0x2f, 0x6f, 0xeb);
    }
    return {};
}

} // namespace velmora
