#pragma once

#include "images/cache/AbstractImageCache.h"
#include "images/core/Image.h"
#include "images/core/ImageError.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOptions.h"
#include "images/download/ImageLoader.h"
#include "images/pipeline/RemoteImageCombinedOperation.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

class AbstractRemoteImageCacheKeyFilter;
class AbstractRemoteImageCacheSerializer;
class AbstractRemoteImageOptionsProcessor;
class ImageTransformer;
class RemoteImageManagerDelegate;

// (image or null, data or null, error or null, where the image came from, whether loading has
// finished, the URL)
using RemoteImageCompletedBlock =
    std::function<void(const Image& image, const QByteArray& data, const ImageError& error,
                       ImageCacheType cacheType, bool finished, const QUrl& imageURL)>;

// The one way the library obtains a remote image: the cache under the load's key, on a miss the
// cache under the original key, then the loader; the result is transformed when asked, stored, and
// delivered on the load's callback queue (the main one by default). URLs that failed for good are
// kept on a list and refused until asked to retry. Make it with std::make_shared: the handles it
// returns find it again through a weak reference.
class RemoteImageManager : public std::enable_shared_from_this<RemoteImageManager> {
public:
    // Over the default cache and loader: `defaultImageCache()`/`defaultImageLoader()` when set, else
    // the shared image cache and the shared downloader.
    RemoteImageManager();
    RemoteImageManager(std::shared_ptr<AbstractImageCache> cache, std::shared_ptr<ImageLoader> loader);
    ~RemoteImageManager();

    static std::shared_ptr<RemoteImageManager> sharedManager();
    static std::shared_ptr<AbstractImageCache> defaultImageCache();
    static void setDefaultImageCache(std::shared_ptr<AbstractImageCache> cache);
    static std::shared_ptr<ImageLoader> defaultImageLoader();
    static void setDefaultImageLoader(std::shared_ptr<ImageLoader> loader);

    std::shared_ptr<AbstractImageCache> imageCache() const { return m_imageCache; }
    std::shared_ptr<ImageLoader> imageLoader() const { return m_imageLoader; }
    // The settings below are meant to be made before the manager is shared between threads.
    std::shared_ptr<ImageTransformer> transformer;
    std::shared_ptr<AbstractRemoteImageCacheKeyFilter> cacheKeyFilter;
    std::shared_ptr<AbstractRemoteImageCacheSerializer> cacheSerializer;
    std::shared_ptr<AbstractRemoteImageOptionsProcessor> optionsProcessor;
    std::weak_ptr<RemoteImageManagerDelegate> delegate;

    QString cacheKeyForURL(const QUrl& url) const;
    // The key of the loaded image: the original key, then its thumbnail, then its transformation.
    QString cacheKeyForURL(const QUrl& url, const RemoteImageContext& context) const;
    // The key of the image as downloaded: the filter's answer, or the URL.
    QString originalCacheKeyForURL(const QUrl& url, const RemoteImageContext& context) const;

    // Never null. `completed` is required (to fill the cache without an answer, use the prefetcher).
    std::shared_ptr<RemoteImageCombinedOperation> loadImage(const QUrl& url, RemoteImageOptions options,
                                                            const RemoteImageContext& context,
                                                            ImageLoaderProgressBlock progress,
                                                            RemoteImageCompletedBlock completed);
    std::shared_ptr<RemoteImageCombinedOperation> loadImage(const QUrl& url, RemoteImageOptions options,
                                                            ImageLoaderProgressBlock progress,
                                                            RemoteImageCompletedBlock completed);
    // A text that does not parse as a URL loads as no URL.
    std::shared_ptr<RemoteImageCombinedOperation> loadImage(const QString& url, RemoteImageOptions options,
                                                            const RemoteImageContext& context,
                                                            ImageLoaderProgressBlock progress,
                                                            RemoteImageCompletedBlock completed);

    void cancelAll();
    bool isRunning() const;
    bool isFailedURL(const QUrl& url) const;
    void removeFailedURL(const QUrl& url);
    void removeAllFailedURLs();

    void safelyRemoveOperationFromRunning(const std::shared_ptr<RemoteImageCombinedOperation>& operation);

    struct Load;

private:
    void callCacheProcess(const std::shared_ptr<Load>& load);
    void callOriginalCacheProcess(const std::shared_ptr<Load>& load);
    void callDownloadProcess(const std::shared_ptr<Load>& load, const Image& cachedImage,
                             const QByteArray& cachedData, ImageCacheType cacheType);
    void callTransformProcess(const std::shared_ptr<Load>& load, const Image& originalImage,
                              const QByteArray& originalData, ImageCacheType cacheType, bool finished);
    void callStoreOriginalProcess(const std::shared_ptr<Load>& load, const Image& originalImage,
                                  const Image& cacheImage, const QByteArray& originalData,
                                  const QByteArray& cacheData, ImageCacheType cacheType, bool finished);
    void callStoreFinalProcess(const std::shared_ptr<Load>& load, const Image& image, const QByteArray& data,
                               ImageCacheType cacheType, bool finished);
    void storeImage(const std::shared_ptr<Load>& load, const Image& image, const QByteArray& data,
                    const QString& key, const std::shared_ptr<AbstractImageCache>& cache,
                    ImageCacheType target, bool finished, std::function<void()> completion);
    bool shouldBlockFailedURL(const std::shared_ptr<Load>& load, const ImageError& error);
    // The cache the original's bytes are kept in (and their refused drawings).
    std::shared_ptr<AbstractImageCache> originalCacheOf(const RemoteImageContext& context) const;
    // Keeps the bytes of an image downloaded but not drawn now in the disk level of the original
    // cache, so that it is not downloaded again.
    void keepUndrawn(const std::shared_ptr<Load>& load, const QByteArray& data);
    void deliver(const std::shared_ptr<Load>& load, const Image& image, const QByteArray& data,
                 const ImageError& error, ImageCacheType cacheType, bool finished);

    std::shared_ptr<AbstractImageCache> m_imageCache;
    std::shared_ptr<ImageLoader> m_imageLoader;

    mutable std::mutex m_failedURLsMutex;
    QSet<QUrl> m_failedURLs;
    mutable std::mutex m_runningMutex;
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> m_runningOperations;
};

} // namespace velmora::images
