#pragma once

#include "images/core/Image.h"

#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>

namespace velmora::images {

// Named images of the application's resources: a table of images by name (held weakly, so it
// never keeps an image alive on its own) and the look-up of a named resource file at the
// screen's scale ("icon" finds "icon@2x.png" on a 2x screen).
class ImageAssetManager {
public:
    static std::shared_ptr<ImageAssetManager> sharedAssetManager();

    Image imageForName(const QString& name) const;
    void storeImage(const Image& image, const QString& name);
    // Empties the table.
    void didReceiveMemoryWarning();

    // The path of the resource for the name inside the resource folder (":/images" or a folder
    // on disk), trying scale suffixes in the order the screen prefers; `scale` is in and out: a
    // preferred scale (0 for none) and the scale of the file found. Empty when nothing is found,
    // for an empty name or one ending in "/".
    QString pathForName(const QString& name, const QString& folder, double* scale) const;

    // The scales in the order tried for a screen scale: 1x screens [1, 2, 3], 2x [2, 3, 1],
    // others [3, 2, 1].
    static QList<double> scalePreferences(double screenScale);

private:
    mutable std::mutex m_mutex;
    QHash<QString, WeakImage> m_table;
};

} // namespace velmora::images
