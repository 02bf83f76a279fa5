#include "images/animation/ImageAssetManager.h"

#include "images/core/GraphicsImageRenderer.h"

#include <QFileInfo>

namespace velmora::images {

namespace {

QString scaleSuffix(double scale) {
    return QStringLiteral("@%1x").arg(scale);
}

QString resourcePath(const QString& folder, const QString& base, const QString& extension) {
    const QString path = folder + QLatin1Char('/') + base + QLatin1Char('.') + extension;
    return QFileInfo::exists(path) ? path : QString();
}

} // namespace

std::shared_ptr<ImageAssetManager> ImageAssetManager::sharedAssetManager() {
    static const auto instance = std::make_shared<ImageAssetManager>();
    return instance;
}

Image ImageAssetManager::imageForName(const QString& name) const {
    std::lock_guard lock(m_mutex);
    return m_table.value(name).lock();
}

void ImageAssetManager::storeImage(const Image& image, const QString& name) {
    Q_ASSERT_X(!name.isNull(), "storeImage", "Invalid parameter not satisfying: name");
    std::lock_guard lock(m_mutex);
    if (image.isNull()) {
        m_table.remove(name);
    } else {
        m_table.insert(name, image);
    }
}

void ImageAssetManager::didReceiveMemoryWarning() {
    std::lock_guard lock(m_mutex);
    m_table.clear();
}

QList<double> ImageAssetManager::scalePreferences(double screenScale) {
    if (screenScale <= 0) {
        screenScale = 1;
    }
    if (screenScale <= 1) {
        return {1, 2, 3};
    }
    if (screenScale <= 2) {
        return {2, 3, 1};
    }
    return {3, 2, 1};
}

QString ImageAssetManager::pathForName(const QString& name, const QString& folder, double* scale) const {
    if (name.isEmpty() || name.endsWith(QLatin1Char('/'))) {
        return {};
    }
    const QFileInfo info(name);
    QString extension = info.suffix();
    QString base = name;
    if (!extension.isEmpty()) {
        base.chop(extension.size() + 1);
    } else {
        extension = QStringLiteral("png");
    }
    static const QList<double> preferences = scalePreferences(mainScreenScale());
    // A name that already carries a scale suffix is looked up as it is.
    for (double candidate : preferences) {
        if (base.endsWith(scaleSuffix(candidate))) {
            const QString path = resourcePath(folder, base, extension);
            if (!path.isEmpty()) {
                if (scale) {
                    *scale = candidate;
                }
                return path;
            }
        }
    }
    const double wanted = scale ? *scale : 0;
    if (wanted != 0) {
        const QString path = resourcePath(folder, base + scaleSuffix(wanted), extension);
        if (!path.isEmpty()) {
            return path;
        }
    }
    for (double candidate : preferences) {
        if (candidate == wanted) {
            continue;
        }
        const QString path = resourcePath(folder, base + scaleSuffix(candidate), extension);
        if (!path.isEmpty()) {
            if (scale) {
                *scale = candidate;
            }
            return path;
        }
    }
    return resourcePath(folder, base, extension);
}

} // namespace velmora::images
