#pragma once

#include "images/cache/AbstractDiskCache.h"
#include "images/cache/LruCache.h"
#include "platform/async/Clock.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora::images {

class ImageCacheConfig;

// Image bytes as one file per key in one folder: the file is named by the MD5 of the key plus the
// key's extension, always written to a new file in the folder and renamed over the entry (so a link
// at its path is replaced, never followed; atomic writes wait for the disk first, which a cache does
// not need and the default leaves out), the folder is held to a size, and the
// key's extended data lives in a `user.` extended attribute of that file, and so does a refused
// drawing of its bytes (gone with them when new bytes are written). Every answer comes from the
// file system at the moment of the call, so files of an earlier run are found again. Only the
// cache's own files count: a link, a pipe or a file larger than the configuration's entry limit is a
// miss. Failures are not reported: a read that fails is a miss, a write that fails leaves the
// entry as it was.
class DiskCache : public AbstractDiskCache {
public:
    ~DiskCache() override;
    // The name of the extended attribute that holds a key's extended data.
    static const char* const extendedAttributeName;
    // And the one that holds what is kept of a refused drawing of its bytes.
    static const char* const drawingRefusalAttributeName;
    // The longest extension, in UTF-8 bytes, that a file name keeps: 32 digits, a dot and this
    // many bytes fill the 255 bytes a Linux file name may have.
    static constexpr int maxExtensionBytes = 222;

    DiskCache(const QString& cachePath, std::shared_ptr<ImageCacheConfig> config,
              std::shared_ptr<Clock> clock = Clock::system());

    QString diskCachePath() const { return m_diskCachePath; }
    std::shared_ptr<ImageCacheConfig> config() const { return m_config; }

    bool containsDataForKey(const QString& key) const override;
    std::optional<QByteArray> dataForKey(const QString& key) const override;
    void setData(const QByteArray& data, const QString& key) override;
    std::optional<QByteArray> extendedDataForKey(const QString& key) const override;
    void setExtendedData(const std::optional<QByteArray>& data, const QString& key) override;
    std::optional<QByteArray> drawingRefusalForKey(const QString& key) const override;
    void setDrawingRefusal(const std::optional<QByteArray>& refusal, const QString& key) override;
    void removeDataForKey(const QString& key) override;
    void removeAllData() override;
    void removeExpiredData() override;
    QString cachePathForKey(const QString& key) const override;
    quint64 totalSize() const override;
    quint64 totalCount() const override;
    void moveCacheDirectory(const QString& sourcePath, const QString& destinationPath) override;

    // How long a write's temporary goes unchanged before it counts as left by a write that was
    // killed before its rename: one changed more recently may be a write under way in another
    // process, which changes its file as it goes. The upkeep's walk removes the older ones it
    // meets: no key names them, so nothing else ever does.
    static constexpr std::chrono::seconds leftoverWriteAge = std::chrono::hours(1);
    // Holds the folder to the configuration's size, whatever put the files there: past it the
    // oldest files go until three quarters of it are left. Runs the upkeep's steps to their end on
    // the caller's thread.
    void trimToSize();
    // One small step of the folder's upkeep, apart from lookups and writes: it counts a few hundred
    // of the folder's entries (removing the expired ones it meets), or removes a few dozen of the
    // oldest while the folder is over its size. True while more is to do. The folder's size counts
    // what the cache can remove: files it cannot remove (a folder planted read-only) are left, said
    // once in the log, and not counted, so they never push the cache's own entries out.
    bool upkeepStep();
    // Told (from the writing thread) when a write left upkeep to do.
    void setUpkeepWanted(std::function<void()> wanted);

    // The file path of a key inside `path`.
    static QString cachePathForKey(const QString& key, const QString& path);
    // The file name of a key: 32 lower-case hex digits of its MD5, then "." and its extension.
    static QString cacheFileNameForKey(const QString& key);

private:
    // Parsing the key as a URL and hashing it costs microseconds; a read and its extended data ask
    // for the same name, and the same avatars come back again and again.
    mutable LruCache<QString> m_pathForKey;
    QString m_diskCachePath;
    std::shared_ptr<ImageCacheConfig> m_config;
    std::shared_ptr<Clock> m_clock;
    // A write failed (a full disk, a folder that takes none) and the log was told.
    bool m_toldOfFailedWrites = false;
    // The folder's entries the cache can remove, oldest first, as the upkeep counted them and
    // writes and removals kept them up since (with m_sizeMutex held).
    struct Index;
    std::unique_ptr<Index> m_index;
    std::function<void()> m_upkeepWanted;
    // Writes and the rest come from two threads (AbstractDiskCache): a write, a removal and a trim
    // hold this while they count and change the folder. Reads never take it.
    std::mutex m_sizeMutex;
    // With m_sizeMutex held: removes the oldest indexed entries, at most `most` of them, until the
    // indexed bytes are at most `target`; whether it got there.
    bool removeOldestDownTo(quint64 target, int most);
    // With m_sizeMutex held: the index learns of `path` as it is now on the disk (gone: forgotten).
    void reindex(const QString& path);
    // The date (ms since the epoch) at or before which an entry dated so expired; none: none expires.
    std::optional<qint64> expiryDateMs() const;
};

} // namespace velmora::images
