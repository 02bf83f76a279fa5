#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace velmora::images {

// What an image cache needs of its disk level: bytes per key, an optional blob of extended data per
// key, trimming and sizes. It knows nothing of images. The image cache writes (setData, and
// setExtendedData after it) from its writer thread and calls everything else from its I/O thread;
// never two calls on one thread at once, and never a removal of a key while that key is written.
class AbstractDiskCache {
public:
    virtual ~AbstractDiskCache() = default;

    virtual bool containsDataForKey(const QString& key) const = 0;
    virtual std::optional<QByteArray> dataForKey(const QString& key) const = 0;
    virtual void setData(const QByteArray& data, const QString& key) = 0;
    virtual std::optional<QByteArray> extendedDataForKey(const QString& key) const = 0;
    // No data removes the extended data.
    virtual void setExtendedData(const std::optional<QByteArray>& data, const QString& key) = 0;
    virtual void removeDataForKey(const QString& key) = 0;
    virtual void removeAllData() = 0;
    virtual void removeExpiredData() = 0;
    virtual QString cachePathForKey(const QString& key) const = 0;
    virtual quint64 totalSize() const = 0;
    virtual quint64 totalCount() const = 0;

    // What is kept of a refused drawing with a key's bytes (see AbstractImageCache::refuseDrawing);
    // a cache that keeps none answers none. No data removes it; new bytes for the key have none.
    virtual std::optional<QByteArray> drawingRefusalForKey(const QString& key) const {
        Q_UNUSED(key);
        return std::nullopt;
    }
    virtual void setDrawingRefusal(const std::optional<QByteArray>& refusal, const QString& key) {
        Q_UNUSED(refusal);
        Q_UNUSED(key);
    }

    // Carries the files of an older location over; a cache without a location of its own ignores it.
    virtual void moveCacheDirectory(const QString& sourcePath, const QString& destinationPath) {
        Q_UNUSED(sourcePath);
        Q_UNUSED(destinationPath);
    }
};

} // namespace velmora::images
