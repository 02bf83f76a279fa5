#pragma once

#include "images/cache/AbstractImageCache.h"
#include "images/cache/ImageCacheOptions.h"
#include "images/cache/ImageCacheToken.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::images {

class AbstractDiskCache;
class AbstractMemoryCache;
class ImageCacheConfig;

// The two-level image cache: decoded images in a memory level, their encoded bytes in a disk level
// under the namespace's folder. Every disk access but a write runs on the cache's own I/O thread, in
// submission order. Writes wait in a list, their bytes held to the configuration's backlog (past it
// the oldest waiting write is dropped), and a writer thread of their own writes them oldest first:
// a lookup never waits behind a write, and reads the bytes of one still waiting. Stores and
// asynchronous queries complete through the context's callback queue (the main one by default),
// a store once its bytes are written or dropped; remove, clear, trim, size and existence tests
// complete on the main thread; answers that need no disk run on the calling thread.
class ImageCache : public AbstractImageCache {
public:
    using AbstractImageCache::queryImageForKey;
    using AbstractImageCache::storeImage;

    // A cache in `diskCacheDirectory` (default: `defaultDiskCacheDirectory()`) joined with the
    // namespace, with a copy of `config` (default: the shared default configuration).
    explicit ImageCache(const QString& nameSpace = QStringLiteral("default"),
                        const QString& diskCacheDirectory = {},
                        const std::shared_ptr<ImageCacheConfig>& config = nullptr);
    ~ImageCache() override;

    ImageCache(const ImageCache&) = delete;
    ImageCache& operator=(const ImageCache&) = delete;

    // The cache of namespace "default", made once and kept for the process.
    static std::shared_ptr<ImageCache> sharedImageCache();
    // The user's cache folder.
    static QString userCacheDirectory();
    // The folder that holds the namespaces of caches made without a folder of their own.
    static QString defaultDiskCacheDirectory();
    static void setDefaultDiskCacheDirectory(const QString& directory);

    std::shared_ptr<ImageCacheConfig> config() const;
    std::shared_ptr<AbstractMemoryCache> memoryCache() const;
    std::shared_ptr<AbstractDiskCache> diskCache() const;
    QString diskCachePath() const;
    // A further file to read when the disk level misses a key.
    void setAdditionalCachePathBlock(std::function<QString(const QString& key)> block);
    QString cachePathForKey(const QString& key) const;

    // Store.
    void storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                    RemoteImageOptions options, const RemoteImageContext& context, ImageCacheType cacheType,
                    ImageCacheCompletion completion) override;
    void storeImage(const Image& image, const QString& key, ImageCacheCompletion completion);
    void storeImage(const Image& image, const QString& key, bool toDisk, ImageCacheCompletion completion);
    void storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                    bool toDisk, ImageCacheCompletion completion);
    void storeImageData(const QByteArray& data, const QString& key, ImageCacheCompletion completion);
    // Whatever the configuration says about memory.
    void storeImageToMemory(const Image& image, const QString& key);
    // Synchronously on the I/O thread.
    void storeImageDataToDisk(const QByteArray& data, const QString& key);

    // Query.
    std::shared_ptr<ImageCacheToken> queryCacheOperationForKey(const QString& key, ImageCacheOptions options,
                                                               const RemoteImageContext& context,
                                                               ImageCacheType cacheType,
                                                               ImageCacheQueryCompletion done);
    std::shared_ptr<ImageCacheToken> queryCacheOperationForKey(const QString& key,
                                                               ImageCacheQueryCompletion done);
    std::shared_ptr<ImageCacheToken> queryCacheOperationForKey(const QString& key, ImageCacheOptions options,
                                                               const RemoteImageContext& context,
                                                               ImageCacheQueryCompletion done);
    std::shared_ptr<RemoteImageOperation> queryImageForKey(const QString& key, RemoteImageOptions options,
                                                           const RemoteImageContext& context,
                                                           ImageCacheType cacheType,
                                                           ImageCacheQueryCompletion completion) override;

    Image imageFromMemoryCacheForKey(const QString& key) const;
    Image imageFromDiskCacheForKey(const QString& key, ImageCacheOptions options = 0,
                                   const RemoteImageContext& context = {});
    Image imageFromCacheForKey(const QString& key, ImageCacheOptions options = 0,
                               const RemoteImageContext& context = {});
    Image diskImageForKey(const QString& key);
    Image diskImageForKey(const QString& key, const std::optional<QByteArray>& data,
                          ImageCacheOptions options, const RemoteImageContext& context);
    std::optional<QByteArray> diskImageDataForKey(const QString& key);
    void diskImageDataQueryForKey(const QString& key,
                                  std::function<void(const std::optional<QByteArray>&)> completion);
    void diskImageExistsWithKey(const QString& key, std::function<void(bool)> completion);
    bool diskImageDataExistsWithKey(const QString& key);
    void containsImageForKey(const QString& key, ImageCacheType cacheType,
                             ImageCacheContainsCompletion completion) override;

    // Remove and clear.
    void removeImageForKey(const QString& key, bool fromMemory, bool fromDisk,
                           ImageCacheCompletion completion);
    void removeImageForKey(const QString& key, ImageCacheCompletion completion);
    void removeImageForKey(const QString& key, bool fromDisk, ImageCacheCompletion completion);
    void removeImageForKey(const QString& key, ImageCacheType cacheType,
                           ImageCacheCompletion completion) override;
    void removeImageFromMemoryForKey(const QString& key);
    void removeImageFromDiskForKey(const QString& key);
    void clearMemory();
    void clearDiskOnCompletion(ImageCacheCompletion completion);
    void clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) override;
    // Refused drawings: kept with the bytes on the disk level (see DiskCache), and known to this
    // run; bytes refused are not drawn by any query (a miss) until their refusal ends.
    std::optional<QDateTime> drawingRefusedUntil(const QString& key) override;
    void refuseDrawing(const QString& key, const QByteArray& bytes) override;
    // Removes expired files, then trims to the size limit.
    void deleteOldFilesWithCompletion(ImageCacheCompletion completion);

    // Sizes, read on the I/O thread.
    quint64 totalDiskSize();
    quint64 totalDiskCount();
    void calculateSizeWithCompletion(std::function<void(quint64 fileCount, quint64 totalSize)> completion);

    struct Core;

private:
    std::shared_ptr<Core> d;
    std::unique_ptr<QObject> m_terminationGuard;
};

} // namespace velmora::images
