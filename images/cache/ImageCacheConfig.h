#pragma once

#include "images/core/RetryDelay.h"
#include "platform/async/Clock.h"

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace velmora::images {

class AbstractDiskCache;
class AbstractMemoryCache;
class ImageCacheConfig;

// Which file date decides whether a disk cache file has expired.
enum class ImageCacheConfigExpireType : int {
    AccessDate = 0,
    ModificationDate = 1,
    CreationDate = 2,
    ChangeDate = 3,
};

// How an image cache makes its two levels; the defaults make `MemoryCache` and `DiskCache`.
using MemoryCacheFactory =
    std::function<std::shared_ptr<AbstractMemoryCache>(const std::shared_ptr<ImageCacheConfig>& config)>;
using DiskCacheFactory = std::function<std::shared_ptr<AbstractDiskCache>(
    const QString& cachePath, const std::shared_ptr<ImageCacheConfig>& config)>;

// The settings one image cache shares with its memory and disk levels. The levels read it at each
// operation, so a change takes effect with the next one; the two memory limits are also announced,
// because the memory cache applies them at once. Fields may be read and written from any thread.
class ImageCacheConfig : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint64 maxMemoryCost READ maxMemoryCost WRITE setMaxMemoryCost NOTIFY maxMemoryCostChanged)
    Q_PROPERTY(
        quint64 maxMemoryCount READ maxMemoryCount WRITE setMaxMemoryCount NOTIFY maxMemoryCountChanged)

public:
    // File-writing option bit: the bytes are on the disk before the new file is renamed into place
    // (every write goes through a new file and a rename). Off by default: a cache needs no
    // durability, and a sync per file made every write wait for the disk.
    static constexpr quint32 WriteAtomic = 1;

    // The folder's default bound: some tens of thousands of avatars of a few kilobytes, or 32 of
    // the largest a download may have.
    static constexpr quint64 defaultMaxDiskSize = 128ull * 1024 * 1024;
    // The default budget of bytes waiting to be written: four of the largest avatars, thousands of
    // ordinary ones.
    static constexpr quint64 defaultMaxDiskWriteBacklog = 16ull * 1024 * 1024;

    ImageCacheConfig();
    ~ImageCacheConfig() override;

    // The configuration the shared image cache is made with; made once.
    static std::shared_ptr<ImageCacheConfig> defaultCacheConfig();

    // A new configuration holding every field of this one.
    std::shared_ptr<ImageCacheConfig> copy() const;

    bool shouldCacheImagesInMemory() const;
    void setShouldCacheImagesInMemory(bool value);
    bool shouldUseWeakMemoryCache() const;
    void setShouldUseWeakMemoryCache(bool value);
    bool shouldRemoveExpiredDataWhenTerminate() const;
    void setShouldRemoveExpiredDataWhenTerminate(bool value);
    quint32 diskCacheWritingOptions() const;
    void setDiskCacheWritingOptions(quint32 value);
    // Seconds; negative (or NaN) never expires, 0 expires everything.
    double maxDiskAge() const;
    void setMaxDiskAge(double seconds);
    // Bytes the folder may hold, whatever put them there; the oldest files go first. 0 is no limit.
    quint64 maxDiskSize() const;
    void setMaxDiskSize(quint64 bytes);
    // Bytes waiting to be written to the disk level; past it the oldest waiting write is dropped.
    // 0 is no limit.
    quint64 maxDiskWriteBacklog() const;
    void setMaxDiskWriteBacklog(quint64 bytes);
    // Bytes; a file of the disk cache larger than this is a miss and such bytes are not written.
    // The default is the downloader's default limit on a body, the largest image it hands over.
    quint64 maxDiskEntrySize() const;
    void setMaxDiskEntrySize(quint64 bytes);
    // 0 is no limit.
    quint64 maxMemoryCost() const;
    void setMaxMemoryCost(quint64 value);
    quint64 maxMemoryCount() const;
    void setMaxMemoryCount(quint64 value);
    ImageCacheConfigExpireType diskCacheExpireType() const;
    void setDiskCacheExpireType(ImageCacheConfigExpireType value);
    // A document whose drawing ended its drawing process waits this long (seconds) before it is
    // drawn again, twice as long after each further such end, up to the most: as a download that
    // failed in a way that may pass waits (see RetryDelay).
    double drawingRetryDelay() const;
    void setDrawingRetryDelay(double seconds);
    double maxDrawingRetryDelay() const;
    void setMaxDrawingRetryDelay(double seconds);
    // The clock those delays are read on, which a refusal is kept by across starts (a wall clock).
    std::shared_ptr<Clock> clock() const;
    void setClock(std::shared_ptr<Clock> clock);
    MemoryCacheFactory memoryCacheFactory() const;
    void setMemoryCacheFactory(MemoryCacheFactory factory);
    DiskCacheFactory diskCacheFactory() const;
    void setDiskCacheFactory(DiskCacheFactory factory);

signals:
    void maxMemoryCostChanged();
    void maxMemoryCountChanged();

private:
    mutable std::mutex m_mutex;
    bool m_shouldCacheImagesInMemory = true;
    bool m_shouldUseWeakMemoryCache = false;
    bool m_shouldRemoveExpiredDataWhenTerminate = true;
    quint32 m_diskCacheWritingOptions = 0;
    double m_maxDiskAge = 60.0 * 60 * 24 * 7;
    quint64 m_maxDiskSize = defaultMaxDiskSize;
    quint64 m_maxDiskWriteBacklog = defaultMaxDiskWriteBacklog;
    quint64 m_maxDiskEntrySize = quint64(50) * 1024 * 1024;
    quint64 m_maxMemoryCost = 0;
    quint64 m_maxMemoryCount = 0;
    ImageCacheConfigExpireType m_diskCacheExpireType = ImageCacheConfigExpireType::ModificationDate;
    double m_drawingRetryDelay = RetryDelay::firstSeconds;
    double m_maxDrawingRetryDelay = RetryDelay::mostSeconds;
    std::shared_ptr<Clock> m_clock = Clock::system();
    MemoryCacheFactory m_memoryCacheFactory;
    DiskCacheFactory m_diskCacheFactory;
};

} // namespace velmora::images
