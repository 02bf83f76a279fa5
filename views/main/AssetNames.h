#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace velmora {

// The app's bundled colours and images, looked up by name.
namespace AssetNames {
inline const QString accentColor = QStringLiteral("AccentColor");
inline const QString asana = QStringLiteral("Asana");
inline const QString jira = QStringLiteral("Jira");
inline const QString youTrack = QStringLiteral("YouTrack");
inline const QString menuBarActive = QStringLiteral("MenuBarActive");
inline const QString menuBarInactive = QStringLiteral("MenuBarInactive");
} // namespace AssetNames

class Assets {
public:
    Assets() = delete;

    // Makes the bundled resources reachable; the application calls it once at start-up
    // (they sit in a static library, which the linker would otherwise leave out).
    static void initialise();

    // The resource path of an image asset (":/assets/Jira.svg"); empty for an unknown name.
    static QString imagePath(const QString& name);
    // The image by name; a null icon for an unknown name. Toolbar symbols are bundled
    // under their symbol names ("play.circle", "arrow.clockwise.circle", ...).
    static QIcon icon(const QString& name);
    static QPixmap pixmap(const QString& name, const QSize& size);
    // The colour by name; invalid for an unknown name.
    static QColor color(const QString& name);
};

} // namespace velmora
