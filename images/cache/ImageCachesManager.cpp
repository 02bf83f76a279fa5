#include "images/cache/ImageCachesManager.h"

#include "images/cache/CachesManagerOperation.h"
#include "images/cache/ImageCache.h"

#include <algorithm>
#include <atomic>

namespace velmora::images {

namespace {

using Caches = std::vector<std::shared_ptr<AbstractImageCache>>;
using Policy = ImageCachesManagerOperationPolicy;

// The state of one walk over several caches. `claimed` lets exactly one answer reach the caller even
// when caches answer at once on different threads.
struct Walk {
    Caches caches;
    std::shared_ptr<CachesManagerOperation> operation = std::make_shared<CachesManagerOperation>();
    std::weak_ptr<int> alive;
    std::atomic<bool> claimed{false};
    qsizetype next = 0; // serial walks: the index of the next cache to ask, counting down

    bool stopped() const { return alive.expired() || operation->isCancelled() || operation->isFinished(); }
    bool claim() { return !claimed.exchange(true); }
};

struct QueryWalk : Walk, std::enable_shared_from_this<QueryWalk> {
    QString key;
    RemoteImageOptions options = 0;
    RemoteImageContext context;
    ImageCacheType cacheType = ImageCacheType::All;
    ImageCacheQueryCompletion completion;

    void answer(const Image& image, const std::optional<QByteArray>& data, ImageCacheType type) {
        if (claim()) {
            operation->done();
            if (completion) {
                completion(image, data, type);
            }
        }
    }

    void serialStep() {
        if (next < 0) {
            answer(Image(), std::nullopt, ImageCacheType::None);
            return;
        }
        const auto cache = caches[size_t(next--)];
        cache->queryImageForKey(key, options, context, cacheType,
                                [self = shared_from_this()](const Image& image,
                                                            const std::optional<QByteArray>& data,
                                                            ImageCacheType type) {
                                    if (self->stopped()) {
                                        return;
                                    }
                                    self->operation->completeOne();
                                    if (image) {
                                        self->answer(image, data, type);
                                    } else {
                                        self->serialStep();
                                    }
                                });
    }

    void concurrent() {
        for (auto it = caches.rbegin(); it != caches.rend(); ++it) {
            (*it)->queryImageForKey(key, options, context, cacheType,
                                    [self = shared_from_this()](const Image& image,
                                                                const std::optional<QByteArray>& data,
                                                                ImageCacheType type) {
                                        if (self->stopped()) {
                                            return;
                                        }
                                        self->operation->completeOne();
                                        if (image) {
                                            self->answer(image, data, type);
                                        } else if (self->operation->pendingCount() == 0) {
                                            self->answer(Image(), std::nullopt, ImageCacheType::None);
                                        }
                                    });
        }
    }
};

struct ContainsWalk : Walk, std::enable_shared_from_this<ContainsWalk> {
    QString key;
    ImageCacheType cacheType = ImageCacheType::All;
    ImageCacheContainsCompletion completion;

    void answer(ImageCacheType type) {
        if (claim()) {
            operation->done();
            if (completion) {
                completion(type);
            }
        }
    }

    void serialStep() {
        if (next < 0) {
            answer(ImageCacheType::None);
            return;
        }
        const auto cache = caches[size_t(next--)];
        cache->containsImageForKey(key, cacheType, [self = shared_from_this()](ImageCacheType type) {
            if (self->stopped()) {
                return;
            }
            self->operation->completeOne();
            if (type != ImageCacheType::None) {
                self->answer(type);
            } else {
                self->serialStep();
            }
        });
    }

    void concurrent() {
        for (auto it = caches.rbegin(); it != caches.rend(); ++it) {
            (*it)->containsImageForKey(key, cacheType, [self = shared_from_this()](ImageCacheType type) {
                if (self->stopped()) {
                    return;
                }
                self->operation->completeOne();
                if (type != ImageCacheType::None) {
                    self->answer(type);
                } else if (self->operation->pendingCount() == 0) {
                    self->answer(ImageCacheType::None);
                }
            });
        }
    }
};

// Store, remove and clear: one call per cache, the caller's completion once after the last.
struct PlainWalk : Walk, std::enable_shared_from_this<PlainWalk> {
    std::function<void(AbstractImageCache&, ImageCacheCompletion)> call;
    ImageCacheCompletion completion;

    void finish() {
        if (claim() && completion) {
            completion();
        }
    }

    void serialStep() {
        if (next < 0) {
            finish();
            return;
        }
        const auto cache = caches[size_t(next--)];
        call(*cache, [self = shared_from_this()] {
            if (!self->alive.expired()) {
                self->serialStep();
            }
        });
    }

    void concurrent() {
        operation->beginWithTotalCount(caches.size());
        for (auto it = caches.rbegin(); it != caches.rend(); ++it) {
            call(**it, [self = shared_from_this()] {
                self->operation->completeOne();
                if (self->operation->pendingCount() == 0) {
                    self->operation->done();
                    self->finish();
                }
            });
        }
    }
};

// Runs a store, remove or clear by `policy`.
void runPlain(const Caches& caches, Policy policy, const std::weak_ptr<int>& alive,
              std::function<void(AbstractImageCache&, ImageCacheCompletion)> call,
              ImageCacheCompletion completion) {
    if (caches.empty()) {
        return;
    }
    if (caches.size() == 1 || policy == Policy::HighestOnly || policy == Policy::LowestOnly) {
        const auto& cache =
            (caches.size() == 1 || policy == Policy::HighestOnly) ? caches.back() : caches.front();
        call(*cache, std::move(completion));
        return;
    }
    auto walk = std::make_shared<PlainWalk>();
    walk->caches = caches;
    walk->alive = alive;
    walk->call = std::move(call);
    walk->completion = std::move(completion);
    if (policy == Policy::Serial) {
        walk->next = qsizetype(caches.size()) - 1;
        walk->serialStep();
    } else {
        walk->concurrent();
    }
}

} // namespace

ImageCachesManager::ImageCachesManager() : m_caches{ImageCache::sharedImageCache()} {}

ImageCachesManager::~ImageCachesManager() = default;

std::shared_ptr<ImageCachesManager> ImageCachesManager::sharedManager() {
    static const auto manager = std::make_shared<ImageCachesManager>();
    return manager;
}

std::vector<std::shared_ptr<AbstractImageCache>> ImageCachesManager::caches() const {
    std::lock_guard lock(m_mutex);
    return m_caches;
}

void ImageCachesManager::setCaches(std::vector<std::shared_ptr<AbstractImageCache>> caches) {
    caches.erase(std::remove(caches.begin(), caches.end(), nullptr), caches.end());
    std::lock_guard lock(m_mutex);
    m_caches = std::move(caches);
}

void ImageCachesManager::addCache(const std::shared_ptr<AbstractImageCache>& cache) {
    if (!cache) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_caches.push_back(cache);
}

void ImageCachesManager::removeCache(const std::shared_ptr<AbstractImageCache>& cache) {
    if (!cache) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_caches.erase(std::remove(m_caches.begin(), m_caches.end(), cache), m_caches.end());
}

std::shared_ptr<RemoteImageOperation>
ImageCachesManager::queryImageForKey(const QString& key, RemoteImageOptions options,
                                     const RemoteImageContext& context, ImageCacheType cacheType,
                                     ImageCacheQueryCompletion completion) {
    const auto list = caches();
    if (key.isEmpty() || list.empty()) {
        return nullptr;
    }
    const auto policy = queryOperationPolicy;
    if (list.size() == 1 || policy == Policy::HighestOnly || policy == Policy::LowestOnly) {
        const auto& cache = (list.size() == 1 || policy == Policy::HighestOnly) ? list.back() : list.front();
        return cache->queryImageForKey(key, options, context, cacheType, std::move(completion));
    }
    auto walk = std::make_shared<QueryWalk>();
    walk->caches = list;
    walk->alive = m_alive;
    walk->key = key;
    walk->options = options;
    walk->context = context;
    walk->cacheType = cacheType;
    walk->completion = std::move(completion);
    walk->operation->beginWithTotalCount(list.size());
    const auto operation = walk->operation;
    if (policy == Policy::Serial) {
        walk->next = qsizetype(list.size()) - 1;
        walk->serialStep();
    } else {
        walk->concurrent();
    }
    return operation;
}

void ImageCachesManager::storeImage(const Image& image, const std::optional<QByteArray>& data,
                                    const QString& key, RemoteImageOptions options,
                                    const RemoteImageContext& context, ImageCacheType cacheType,
                                    ImageCacheCompletion completion) {
    if (key.isEmpty()) {
        return;
    }
    runPlain(
        caches(), storeOperationPolicy, m_alive,
        [=](AbstractImageCache& cache, ImageCacheCompletion done) {
            cache.storeImage(image, data, key, options, context, cacheType, std::move(done));
        },
        std::move(completion));
}

void ImageCachesManager::removeImageForKey(const QString& key, ImageCacheType cacheType,
                                           ImageCacheCompletion completion) {
    if (key.isEmpty()) {
        return;
    }
    runPlain(
        caches(), removeOperationPolicy, m_alive,
        [=](AbstractImageCache& cache, ImageCacheCompletion done) {
            cache.removeImageForKey(key, cacheType, std::move(done));
        },
        std::move(completion));
}

void ImageCachesManager::clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) {
    runPlain(
        caches(), clearOperationPolicy, m_alive,
        [=](AbstractImageCache& cache, ImageCacheCompletion done) {
            cache.clearWithCacheType(cacheType, std::move(done));
        },
        std::move(completion));
}

void ImageCachesManager::containsImageForKey(const QString& key, ImageCacheType cacheType,
                                             ImageCacheContainsCompletion completion) {
    const auto list = caches();
    if (key.isEmpty() || list.empty()) {
        return;
    }
    const auto policy = containsOperationPolicy;
    if (list.size() == 1 || policy == Policy::HighestOnly || policy == Policy::LowestOnly) {
        const auto& cache = (list.size() == 1 || policy == Policy::HighestOnly) ? list.back() : list.front();
        cache->containsImageForKey(key, cacheType, std::move(completion));
        return;
    }
    auto walk = std::make_shared<ContainsWalk>();
    walk->caches = list;
    walk->alive = m_alive;
    walk->key = key;
    walk->cacheType = cacheType;
    walk->completion = std::move(completion);
    walk->operation->beginWithTotalCount(list.size());
    if (policy == Policy::Serial) {
        walk->next = qsizetype(list.size()) - 1;
        walk->serialStep();
    } else {
        walk->concurrent();
    }
}

} // namespace velmora::images
