#include "images/cache/CacheKeys.h"

#include <QUrl>

namespace velmora::images {

namespace {

// The index of the dot that starts the extension of the last component of `path`, or -1.
qsizetype extensionDot(const QString& path) {
    auto end = path.size();
    while (end > 0 && path.at(end - 1) == QLatin1Char('/')) {
        --end;
    }
    const auto nameStart = path.lastIndexOf(QLatin1Char('/'), end - 1) + 1;
    const auto dot = path.lastIndexOf(QLatin1Char('.'), end - 1);
    if (dot <= nameStart || dot >= end - 1) {
        return -1;
    }
    return dot;
}

QString insertBeforeExtension(const QString& path, const QString& text) {
    const auto dot = extensionDot(path);
    if (dot < 0) {
        return path + QLatin1Char('-') + text;
    }
    return path.left(dot) + QLatin1Char('-') + text + path.mid(dot);
}

} // namespace

QString transformedCacheKey(const QString& key, const QString& transformerKey) {
    if (key.isNull() || transformerKey.isNull()) {
        return {};
    }
    QUrl url(key, QUrl::StrictMode);
    if (url.isValid() && !url.isLocalFile() && !url.scheme().isEmpty()) {
        const auto path = url.path(QUrl::FullyDecoded);
        if (extensionDot(path) < 0) {
            return key + QLatin1Char('-') + transformerKey;
        }
        // Query and fragment stay where they were; only the path changes.
        url.setPath(insertBeforeExtension(path, transformerKey), QUrl::DecodedMode);
        return url.toString(QUrl::FullyEncoded);
    }
    return insertBeforeExtension(key, transformerKey);
}

QString thumbnailCacheKey(const QString& key, bool preserveAspectRatio, double width, double height) {
    return transformedCacheKey(
        key, QString::asprintf("Thumbnail({%f,%f},%d)", width, height, preserveAspectRatio ? 1 : 0));
}

double scaleFactorForCacheKey(const QString& key) {
    if (key.size() < 8) {
        return 1.0;
    }
    const bool webUrl = key.startsWith(QLatin1String("http://")) || key.startsWith(QLatin1String("https://"));
    for (const int scale : {2, 3}) {
        if (key.contains(QStringLiteral("@%1x.").arg(scale))) {
            return scale;
        }
        if (webUrl && key.contains(QStringLiteral("%40%1x.").arg(scale))) {
            return scale;
        }
    }
    return 1.0;
}

} // namespace velmora::images
