#pragma once

#include "images/cache/AbstractImageCache.h"

#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

// How the caches manager asks its caches for one kind of operation.
enum class ImageCachesManagerOperationPolicy : unsigned {
    // One by one, the cache added last first.
    Serial = 0,
    // All at once.
    Concurrent = 1,
    // Only the cache added last.
    HighestOnly = 2,
    // Only the cache added first.
    LowestOnly = 3,
};

// Several image caches asked as one, where the load pipeline expects a single cache. The cache added
// last has the highest priority. A query or contains asked of several caches returns a group
// operation; cancelling it stops the manager from asking further caches and from answering.
class ImageCachesManager : public AbstractImageCache {
public:
    using AbstractImageCache::queryImageForKey;
    using AbstractImageCache::storeImage;

    // Starts with the shared image cache as its only cache.
    ImageCachesManager();
    ~ImageCachesManager() override;

    static std::shared_ptr<ImageCachesManager> sharedManager();

    std::vector<std::shared_ptr<AbstractImageCache>> caches() const;
    void setCaches(std::vector<std::shared_ptr<AbstractImageCache>> caches);
    void addCache(const std::shared_ptr<AbstractImageCache>& cache);
    void removeCache(const std::shared_ptr<AbstractImageCache>& cache);

    ImageCachesManagerOperationPolicy queryOperationPolicy = ImageCachesManagerOperationPolicy::Serial;
    ImageCachesManagerOperationPolicy storeOperationPolicy = ImageCachesManagerOperationPolicy::HighestOnly;
    ImageCachesManagerOperationPolicy removeOperationPolicy = ImageCachesManagerOperationPolicy::Concurrent;
    ImageCachesManagerOperationPolicy containsOperationPolicy = ImageCachesManagerOperationPolicy::Serial;
    ImageCachesManagerOperationPolicy clearOperationPolicy = ImageCachesManagerOperationPolicy::Concurrent;

    std::shared_ptr<RemoteImageOperation> queryImageForKey(const QString& key, RemoteImageOptions options,
                                                           const RemoteImageContext& context,
                                                           ImageCacheType cacheType,
                                                           ImageCacheQueryCompletion completion) override;
    void storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                    RemoteImageOptions options, const RemoteImageContext& context, ImageCacheType cacheType,
                    ImageCacheCompletion completion) override;
    void removeImageForKey(const QString& key, ImageCacheType cacheType,
                           ImageCacheCompletion completion) override;
    void containsImageForKey(const QString& key, ImageCacheType cacheType,
                             ImageCacheContainsCompletion completion) override;
    void clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) override;

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<AbstractImageCache>> m_caches;
    // Continuations hold this weakly: once the manager is gone, a walk stops without answering.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

} // namespace velmora::images
