#include "images/pipeline/RemoteImageManager.h"

#include "images/animation/ImageTransformer.h"
#include "images/cache/AbstractRemoteImageCacheKeyFilter.h"
#include "images/cache/AbstractRemoteImageCacheSerializer.h"
#include "images/cache/CacheKeys.h"
#include "images/cache/ImageCache.h"
#include "images/core/CallbackQueue.h"
#include "images/core/DispatchQueue.h"
#include "images/core/ImageLibraryLog.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/AbstractRemoteImageOptionsProcessor.h"
#include "images/pipeline/RemoteImageManagerDelegate.h"

#include <QHash>

#include <algorithm>

namespace velmora::images {

namespace {

// A URL's fully encoded text, the cache's key for it. Writing a URL out cost more than the rest
// of a memory hit, and the same avatars are asked for again and again as rows are painted: each
// thread keeps the texts it wrote last (comparing URLs is far cheaper than writing one out).
QString fullyEncodedText(const QUrl& url) {
    constexpr qsizetype kept = 256;
    thread_local QHash<QUrl, QString> written;
    if (const auto found = written.constFind(url); found != written.cend()) {
        return found.value();
    }
    if (written.size() >= kept) {
        written.clear();
    }
    return written.insert(url, url.toString(QUrl::FullyEncoded)).value();
}

std::mutex& defaultsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<AbstractImageCache>& defaultCacheStorage() {
    static std::shared_ptr<AbstractImageCache> cache;
    return cache;
}
std::shared_ptr<ImageLoader>& defaultLoaderStorage() {
    static std::shared_ptr<ImageLoader> loader;
    return loader;
}

bool includesDisk(ImageCacheType type) {
    return type == ImageCacheType::Disk || type == ImageCacheType::All;
}

QByteArray bytesOf(const std::optional<QByteArray>& data) {
    return data ? *data : QByteArray();
}

std::optional<QByteArray> optionalBytes(const QByteArray& data) {
    return data.isNull() ? std::nullopt : std::optional<QByteArray>(data);
}

// The answer for bytes whose drawing ended its drawing process, until their delay is over.
ImageError drawingRefusedError(const QDateTime& until) {
    return ImageError(
        ImageErrorCode::BadImageData,
        QStringLiteral("Image not drawn: drawing it ended its drawing process; drawn again after %1")
            .arg(until.toString(Qt::ISODate)),
        {{QString(ImageError::drawingEndedKey), true}, {QString(ImageError::notNowKey), true}});
}

} // namespace

// One load as it travels through the steps. Blocks hold it (and the manager) strongly and the
// operation weakly: the running set keeps the operation while the load runs.
struct RemoteImageManager::Load {
    QUrl url;
    RemoteImageOptions options = 0;
    RemoteImageContext context;
    ImageLoaderProgressBlock progress;
    RemoteImageCompletedBlock completed;
    std::weak_ptr<RemoteImageCombinedOperation> operation;
    // Past the loader the operation has left the running set; the steps that remain keep it alive
    // themselves, so a cancel through the caller's handle still reaches them.
    std::shared_ptr<RemoteImageCombinedOperation> heldOperation;

    // The operation while it may still deliver; null once it is gone or cancelled.
    std::shared_ptr<RemoteImageCombinedOperation> liveOperation() const {
        auto op = heldOperation ? heldOperation : operation.lock();
        return op && !op->isCancelled() ? op : nullptr;
    }
};

RemoteImageManager::RemoteImageManager() : RemoteImageManager(defaultImageCache(), defaultImageLoader()) {}

RemoteImageManager::RemoteImageManager(std::shared_ptr<AbstractImageCache> cache,
                                       std::shared_ptr<ImageLoader> loader)
    : m_imageCache(cache ? std::move(cache) : ImageCache::sharedImageCache()),
      m_imageLoader(loader ? std::move(loader) : RemoteImageDownloader::sharedDownloader()) {}

RemoteImageManager::~RemoteImageManager() = default;

std::shared_ptr<RemoteImageManager> RemoteImageManager::sharedManager() {
    static const auto manager = std::make_shared<RemoteImageManager>();
    return manager;
}

std::shared_ptr<AbstractImageCache> RemoteImageManager::defaultImageCache() {
    std::lock_guard lock(defaultsMutex());
    return defaultCacheStorage();
}

void RemoteImageManager::setDefaultImageCache(std::shared_ptr<AbstractImageCache> cache) {
    std::lock_guard lock(defaultsMutex());
    defaultCacheStorage() = std::move(cache);
}

std::shared_ptr<ImageLoader> RemoteImageManager::defaultImageLoader() {
    std::lock_guard lock(defaultsMutex());
    return defaultLoaderStorage();
}

void RemoteImageManager::setDefaultImageLoader(std::shared_ptr<ImageLoader> loader) {
    std::lock_guard lock(defaultsMutex());
    defaultLoaderStorage() = std::move(loader);
}

// Cache keys.

QString RemoteImageManager::cacheKeyForURL(const QUrl& url) const {
    if (url.isEmpty()) {
        return QStringLiteral("");
    }
    return cacheKeyFilter ? cacheKeyFilter->cacheKeyForURL(url) : url.toString(QUrl::FullyEncoded);
}

QString RemoteImageManager::originalCacheKeyForURL(const QUrl& url, const RemoteImageContext& context) const {
    if (url.isEmpty()) {
        return QStringLiteral("");
    }
    const auto filter = context.cacheKeyFilter.hasValue() ? context.cacheKeyFilter.value() : cacheKeyFilter;
    return filter ? filter->cacheKeyForURL(url) : fullyEncodedText(url);
}

QString RemoteImageManager::cacheKeyForURL(const QUrl& url, const RemoteImageContext& context) const {
    if (url.isEmpty()) {
        return QStringLiteral("");
    }
    auto key = originalCacheKeyForURL(url, context);
    if (context.imageThumbnailPixelSize.hasValue()) {
        const auto size = context.imageThumbnailPixelSize.value();
        key = thumbnailCacheKey(key, context.imagePreserveAspectRatio.valueOr(true), size.width(),
                                size.height());
    }
    // The context's transformer wins, and an explicit none there means no transformer at all.
    const auto chosen =
        context.imageTransformer.isPresent() ? context.imageTransformer.valueOr(nullptr) : transformer;
    if (chosen) {
        key = transformedCacheKey(key, chosen->transformerKey());
    }
    return key;
}

// Load.

std::shared_ptr<RemoteImageCombinedOperation>
RemoteImageManager::loadImage(const QString& url, RemoteImageOptions options,
                              const RemoteImageContext& context, ImageLoaderProgressBlock progress,
                              RemoteImageCompletedBlock completed) {
    const QUrl parsed(url, QUrl::StrictMode);
    return loadImage(parsed.isValid() ? parsed : QUrl(), options, context, std::move(progress),
                     std::move(completed));
}

std::shared_ptr<RemoteImageCombinedOperation>
RemoteImageManager::loadImage(const QUrl& url, RemoteImageOptions options, ImageLoaderProgressBlock progress,
                              RemoteImageCompletedBlock completed) {
    return loadImage(url, options, RemoteImageContext{}, std::move(progress), std::move(completed));
}

std::shared_ptr<RemoteImageCombinedOperation>
RemoteImageManager::loadImage(const QUrl& url, RemoteImageOptions options, const RemoteImageContext& context,
                              ImageLoaderProgressBlock progress, RemoteImageCompletedBlock completed) {
    Q_ASSERT_X(completed, "RemoteImageManager::loadImage",
               "If you mean to prefetch the image, use RemoteImagePrefetcher::prefetchURLs instead");
    auto operation = std::make_shared<RemoteImageCombinedOperation>(weak_from_this());
    const bool isFailed = !url.isEmpty() && isFailedURL(url);

    // The options and context the load runs with: the manager's hooks where the caller gave none,
    // then whatever the options processor makes of them.
    RemoteImageContext processedContext = context;
    if (processedContext.imageTransformer.isAbsent() && transformer) {
        processedContext.imageTransformer = transformer;
    }
    if (processedContext.cacheKeyFilter.isAbsent() && cacheKeyFilter) {
        processedContext.cacheKeyFilter = cacheKeyFilter;
    }
    if (processedContext.cacheSerializer.isAbsent() && cacheSerializer) {
        processedContext.cacheSerializer = cacheSerializer;
    }
    RemoteImageOptions processedOptions = options;
    if (optionsProcessor) {
        if (auto result = optionsProcessor->processedResultForURL(url, options, processedContext)) {
            processedOptions = result->options;
            processedContext = std::move(result->context);
        }
    }

    auto load = std::make_shared<Load>();
    load->url = url;
    load->options = processedOptions;
    load->context = std::move(processedContext);
    load->progress = std::move(progress);
    load->completed = std::move(completed);
    load->operation = operation;

    // An invalid URL is one whose text is empty; asked this way, without writing the text
    // out, which a memory hit pays for once more only to build the cache key.
    if (!url.isValid() || (isFailed && !(options & RemoteImageRetryFailedURL))) {
        const auto error =
            isFailed ? ImageError(ImageErrorCode::BlockedURL, QStringLiteral("Image url is blacklisted"))
                     : ImageError(ImageErrorCode::InvalidURL, QStringLiteral("Image url is nil"));
        deliver(load, Image(), QByteArray(), error, ImageCacheType::None, true);
        return operation;
    }
    {
        std::lock_guard lock(m_runningMutex);
        m_runningOperations.push_back(operation);
    }
    callCacheProcess(load);
    return operation;
}

void RemoteImageManager::callCacheProcess(const std::shared_ptr<Load>& load) {
    const auto cache =
        load->context.imageCache.valueOr(nullptr) ? load->context.imageCache.value() : m_imageCache;
    const auto queryType = load->context.queryCacheType.valueOr(ImageCacheType::All);
    if (load->options & RemoteImageFromLoaderOnly) {
        callDownloadProcess(load, Image(), QByteArray(), ImageCacheType::None);
        return;
    }
    const auto key = cacheKeyForURL(load->url, load->context);
    // The key already names the thumbnail; the cache decodes full images for it otherwise.
    auto queryContext = load->context;
    queryContext.imageThumbnailPixelSize.clear();
    queryContext.imagePreserveAspectRatio.clear();
    const auto operation = cache->queryImageForKey(
        key, load->options, queryContext, queryType,
        [self = shared_from_this(), load, key](const Image& image, const std::optional<QByteArray>& data,
                                               ImageCacheType cacheType) {
            const auto op = load->liveOperation();
            if (!op) {
                // Cancelled while querying: nothing more is delivered.
                self->safelyRemoveOperationFromRunning(load->operation.lock());
                return;
            }
            if (!image && key != self->originalCacheKeyForURL(load->url, load->context)) {
                self->callOriginalCacheProcess(load);
                return;
            }
            self->callDownloadProcess(load, image, bytesOf(data), cacheType);
        });
    if (const auto op = load->operation.lock()) {
        op->setCacheOperation(operation);
    }
}

void RemoteImageManager::callOriginalCacheProcess(const std::shared_ptr<Load>& load) {
    const auto& context = load->context;
    const auto cache = originalCacheOf(context);
    const auto queryType = context.originalQueryCacheType.valueOr(ImageCacheType::Disk);
    if (queryType == ImageCacheType::None) {
        callDownloadProcess(load, Image(), QByteArray(), ImageCacheType::None);
        return;
    }
    const auto key = originalCacheKeyForURL(load->url, context);
    const auto operation = cache->queryImageForKey(
        key, load->options, context, queryType,
        [self = shared_from_this(), load](const Image& image, const std::optional<QByteArray>& data,
                                          ImageCacheType cacheType) {
            const auto op = load->liveOperation();
            if (!op) {
                self->safelyRemoveOperationFromRunning(load->operation.lock());
                return;
            }
            if (!image) {
                self->callDownloadProcess(load, Image(), QByteArray(), ImageCacheType::None);
                return;
            }
            // The original is cached: transform it rather than download it again.
            self->callTransformProcess(load, image, bytesOf(data), cacheType, true);
            self->safelyRemoveOperationFromRunning(op);
        });
    if (const auto op = load->operation.lock()) {
        op->setCacheOperation(operation);
    }
}

void RemoteImageManager::callDownloadProcess(const std::shared_ptr<Load>& load, const Image& cachedImage,
                                             const QByteArray& cachedData, ImageCacheType cacheType) {
    const auto op = load->liveOperation();
    if (!op) {
        safelyRemoveOperationFromRunning(load->operation.lock());
        return;
    }
    op->setCacheOperation(nullptr);

    if (!cachedImage) {
        // Bytes whose drawing ended its process wait their delay: neither drawn nor downloaded.
        if (const auto until = originalCacheOf(load->context)
                                   ->drawingRefusedUntil(originalCacheKeyForURL(load->url, load->context))) {
            deliver(load, Image(), QByteArray(), drawingRefusedError(*until), ImageCacheType::None, true);
            safelyRemoveOperationFromRunning(op);
            return;
        }
    }
    const auto loader =
        load->context.imageLoader.valueOr(nullptr) ? load->context.imageLoader.value() : m_imageLoader;
    bool shouldDownload = !(load->options & RemoteImageFromCacheOnly) &&
                          (!cachedImage || (load->options & RemoteImageRefreshCached));
    if (const auto owner = delegate.lock()) {
        if (const auto answer = owner->shouldDownloadImageForURL(*this, load->url)) {
            shouldDownload = shouldDownload && *answer;
        }
    }
    shouldDownload = shouldDownload && loader->canRequestImage(load->url, load->options, load->context);

    if (!shouldDownload) {
        if (cachedImage) {
            deliver(load, cachedImage, cachedData, ImageError(), cacheType, true);
        } else {
            deliver(load, Image(), QByteArray(), ImageError(), ImageCacheType::None, true);
        }
        safelyRemoveOperationFromRunning(op);
        return;
    }

    const bool refreshing = cachedImage && (load->options & RemoteImageRefreshCached);
    auto loaderContext = load->context;
    if (refreshing) {
        // The cached image is shown at once; the download may replace it.
        deliver(load, cachedImage, cachedData, ImageError(), cacheType, true);
        loaderContext.loaderCachedImage = cachedImage;
    }
    auto downloadLoad = load;
    if (refreshing) {
        downloadLoad = std::make_shared<Load>(*load);
        downloadLoad->context = loaderContext;
    }
    const auto operation = loader->requestImage(
        load->url, load->options, loaderContext, load->progress,
        [self = shared_from_this(), load = downloadLoad,
         refreshing](const Image& image, const QByteArray& data, const ImageError& error, bool finished) {
            const auto op = load->liveOperation();
            if (!op) {
                if (finished) {
                    self->safelyRemoveOperationFromRunning(load->operation.lock());
                }
                return;
            }
            if (refreshing && error.is(ImageErrorCode::CacheNotModified)) {
                // The cached image was already reported.
            } else if (error.is(ImageErrorCode::Cancelled)) {
                self->deliver(load, Image(), QByteArray(), error, ImageCacheType::None, true);
            } else if (!error.isNull()) {
                self->deliver(load, Image(), QByteArray(), error, ImageCacheType::None, true);
                if (finished && !data.isEmpty() && error.value(ImageError::drawingEndedKey).toBool()) {
                    // Its drawing ended its process: kept with the refusal, which waits its delay.
                    self->originalCacheOf(load->context)
                        ->refuseDrawing(self->originalCacheKeyForURL(load->url, load->context), data);
                } else if (finished && !data.isEmpty() && error.value(ImageError::notNowKey).toBool()) {
                    // Downloaded whole but not drawn now: kept where the next load looks before it
                    // downloads. A cache may drop it under load; the download it then costs waits
                    // until the decodes have room for its bytes, so it is not dropped again.
                    self->keepUndrawn(load, data);
                }
                if (self->shouldBlockFailedURL(load, error)) {
                    bool added = false;
                    {
                        std::lock_guard lock(self->m_failedURLsMutex);
                        added = !self->m_failedURLs.contains(load->url);
                        self->m_failedURLs.insert(load->url);
                    }
                    if (added) {
                        qCInfo(imageLibraryLog).noquote()
                            << "Refusing" << load->url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)
                            << "until asked to retry:" << error.message();
                    }
                }
            } else {
                if (load->options & RemoteImageRetryFailedURL) {
                    self->removeFailedURL(load->url);
                }
                self->callTransformProcess(load, image, data, ImageCacheType::None, finished);
            }
            if (finished) {
                self->safelyRemoveOperationFromRunning(op);
            }
        });
    op->setLoaderOperation(operation);
}

std::shared_ptr<AbstractImageCache>
RemoteImageManager::originalCacheOf(const RemoteImageContext& context) const {
    return context.originalImageCache.valueOr(nullptr) ? context.originalImageCache.value()
           : context.imageCache.valueOr(nullptr)       ? context.imageCache.value()
                                                       : m_imageCache;
}

void RemoteImageManager::keepUndrawn(const std::shared_ptr<Load>& load, const QByteArray& data) {
    const auto& context = load->context;
    const auto cache = originalCacheOf(context);
    const auto target = context.originalStoreCacheType.valueOr(ImageCacheType::Disk);
    const auto queried = context.originalQueryCacheType.valueOr(ImageCacheType::Disk);
    if (!includesDisk(target) || !includesDisk(queried) || context.cacheSerializer.valueOr(nullptr)) {
        return; // the next load would not find it there, or would not read it as these bytes
    }
    cache->storeImage(Image(), data, originalCacheKeyForURL(load->url, context), load->options, context,
                      ImageCacheType::Disk, nullptr);
}

bool RemoteImageManager::shouldBlockFailedURL(const std::shared_ptr<Load>& load, const ImageError& error) {
    if (const auto owner = delegate.lock()) {
        if (const auto answer = owner->shouldBlockFailedURL(*this, load->url, error)) {
            return *answer;
        }
    }
    const auto loader =
        load->context.imageLoader.valueOr(nullptr) ? load->context.imageLoader.value() : m_imageLoader;
    return loader->shouldBlockFailedURL(load->url, error, load->options, load->context);
}

void RemoteImageManager::callTransformProcess(const std::shared_ptr<Load>& givenLoad,
                                              const Image& originalImage, const QByteArray& originalData,
                                              ImageCacheType cacheType, bool finished) {
    auto load = givenLoad;
    if (!load->heldOperation) {
        load = std::make_shared<Load>(*givenLoad);
        load->heldOperation = givenLoad->operation.lock();
    }
    const auto chosen = load->context.imageTransformer.valueOr(nullptr);
    const auto options = load->options;
    const bool shouldTransform =
        originalImage && chosen &&
        ((options & RemoteImageTransformAnimatedImage) || !originalImage.isAnimated()) &&
        ((options & RemoteImageTransformVectorImage) || !originalImage.isVector());
    // A thumbnail is no original: the original store keeps the bytes only, the final store no bytes.
    const bool thumbnail = originalImage && originalImage.isThumbnail();
    const Image storedOriginal = thumbnail ? Image() : originalImage;
    const QByteArray cacheData = thumbnail ? QByteArray() : originalData;

    if (!shouldTransform) {
        callStoreOriginalProcess(load, storedOriginal, originalImage, originalData, cacheData, cacheType,
                                 finished);
        return;
    }
    DispatchQueue::global().async([self = shared_from_this(), load, chosen, originalImage, storedOriginal,
                                   originalData, cacheData, cacheType, finished] {
        if (!load->liveOperation()) {
            return;
        }
        const auto key = self->cacheKeyForURL(load->url, load->context);
        auto transformed = chosen->transformedImageWithImage(originalImage, key);
        if (transformed) {
            if (chosen->preserveImageMetadata().value_or(true)) {
                copyImageMetadata(originalImage, transformed);
            }
            transformed.setTransformed(true);
            self->callStoreOriginalProcess(load, storedOriginal, transformed, originalData, QByteArray(),
                                           cacheType, finished);
        } else {
            self->callStoreOriginalProcess(load, storedOriginal, originalImage, originalData, cacheData,
                                           cacheType, finished);
        }
    });
}

void RemoteImageManager::callStoreOriginalProcess(const std::shared_ptr<Load>& load,
                                                  const Image& originalImage, const Image& cacheImage,
                                                  const QByteArray& originalData, const QByteArray& cacheData,
                                                  ImageCacheType cacheType, bool finished) {
    const auto& context = load->context;
    const auto cache = originalCacheOf(context);
    auto target = context.originalStoreCacheType.valueOr(ImageCacheType::Disk);
    if (cacheType == ImageCacheType::Disk) {
        // It came from the disk: writing it there again gains nothing.
        if (target == ImageCacheType::All) {
            target = ImageCacheType::Memory;
        } else if (target == ImageCacheType::Disk) {
            target = ImageCacheType::None;
        }
    }
    const auto serializer = context.cacheSerializer.valueOr(nullptr);
    const auto key = originalCacheKeyForURL(load->url, context);
    auto next = [self = shared_from_this(), load, cacheImage, cacheData, cacheType, finished] {
        self->callStoreFinalProcess(load, cacheImage, cacheData, cacheType, finished);
    };
    if (finished && serializer && includesDisk(target)) {
        DispatchQueue::global().async([self = shared_from_this(), load, serializer, originalImage,
                                       originalData, key, cache, target, finished,
                                       next = std::move(next)]() mutable {
            const auto data =
                serializer->cacheDataWithImage(originalImage, optionalBytes(originalData), load->url);
            self->storeImage(load, originalImage, data ? *data : QByteArray(), key, cache, target, finished,
                             std::move(next));
        });
        return;
    }
    storeImage(load, originalImage, originalData, key, cache, target, finished, std::move(next));
}

void RemoteImageManager::callStoreFinalProcess(const std::shared_ptr<Load>& load, const Image& image,
                                               const QByteArray& data, ImageCacheType cacheType,
                                               bool finished) {
    const auto& context = load->context;
    const auto cache = context.imageCache.valueOr(nullptr) ? context.imageCache.value() : m_imageCache;
    const auto target = context.storeCacheType.valueOr(ImageCacheType::All);
    const auto serializer = context.cacheSerializer.valueOr(nullptr);
    const auto key = cacheKeyForURL(load->url, context);
    auto done = [self = shared_from_this(), load, image, data, cacheType, finished] {
        self->deliver(load, image, data, ImageError(), cacheType, finished);
    };
    if (finished && serializer && includesDisk(target)) {
        DispatchQueue::global().async([self = shared_from_this(), load, serializer, image, data, key, cache,
                                       target, finished, done = std::move(done)]() mutable {
            const auto serialized = serializer->cacheDataWithImage(image, optionalBytes(data), load->url);
            self->storeImage(load, image, serialized ? *serialized : QByteArray(), key, cache, target,
                             finished, std::move(done));
        });
        return;
    }
    storeImage(load, image, data, key, cache, target, finished, std::move(done));
}

void RemoteImageManager::storeImage(const std::shared_ptr<Load>& load, const Image& image,
                                    const QByteArray& data, const QString& key,
                                    const std::shared_ptr<AbstractImageCache>& cache, ImageCacheType target,
                                    bool finished, std::function<void()> completion) {
    if (!finished) {
        completion();
        return;
    }
    if (load->options & RemoteImageWaitStoreCache) {
        cache->storeImage(image, optionalBytes(data), key, load->options, load->context, target,
                          std::move(completion));
        return;
    }
    cache->storeImage(image, optionalBytes(data), key, load->options, load->context, target, nullptr);
    completion();
}

void RemoteImageManager::deliver(const std::shared_ptr<Load>& load, const Image& image,
                                 const QByteArray& data, const ImageError& error, ImageCacheType cacheType,
                                 bool finished) {
    if (!load->completed) {
        return;
    }
    const auto queue = load->context.callbackQueue.valueOr(nullptr) ? load->context.callbackQueue.value()
                                                                    : CallbackQueue::mainQueue();
    queue->async([load, image, data, error, cacheType, finished] {
        // A cancel wins over whatever was on its way: nothing is delivered after it.
        const auto op = load->heldOperation ? load->heldOperation : load->operation.lock();
        if (op && op->isCancelled()) {
            return;
        }
        load->completed(image, data, error, cacheType, finished, load->url);
    });
}

// Running set and failed list.

void RemoteImageManager::cancelAll() {
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> running;
    {
        std::lock_guard lock(m_runningMutex);
        running = m_runningOperations;
    }
    for (const auto& operation : running) {
        operation->cancel();
    }
}

bool RemoteImageManager::isRunning() const {
    std::lock_guard lock(m_runningMutex);
    return !m_runningOperations.empty();
}

void RemoteImageManager::safelyRemoveOperationFromRunning(
    const std::shared_ptr<RemoteImageCombinedOperation>& operation) {
    if (!operation) {
        return;
    }
    std::shared_ptr<RemoteImageCombinedOperation> removed;
    std::lock_guard lock(m_runningMutex);
    const auto found = std::find(m_runningOperations.begin(), m_runningOperations.end(), operation);
    if (found != m_runningOperations.end()) {
        removed = std::move(*found);
        m_runningOperations.erase(found);
    }
}

bool RemoteImageManager::isFailedURL(const QUrl& url) const {
    std::lock_guard lock(m_failedURLsMutex);
    return m_failedURLs.contains(url);
}

void RemoteImageManager::removeFailedURL(const QUrl& url) {
    if (url.isEmpty()) {
        return;
    }
    std::lock_guard lock(m_failedURLsMutex);
    m_failedURLs.remove(url);
}

void RemoteImageManager::removeAllFailedURLs() {
    std::lock_guard lock(m_failedURLsMutex);
    m_failedURLs.clear();
}

} // namespace velmora::images
