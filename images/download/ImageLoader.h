#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/ImageError.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"
#include "images/download/ImageLoaderBlocks.h"

#include <QByteArray>
#include <QUrl>

#include <memory>

namespace velmora::images {

class AbstractRemoteImageDownloaderOperation;
class ProgressiveImageCoder;

// Anything that turns an image URL into an image for the load pipeline.
class ImageLoader {
public:
    virtual ~ImageLoader() = default;

    virtual bool canRequestImage(const QUrl& url, RemoteImageOptions options, const RemoteImageContext& context) = 0;
    bool canRequestImage(const QUrl& url) { return canRequestImage(url, 0, {}); }

    // Starts loading; the handle cancels it. None when nothing was started (the
    // completion has then already been called with the reason).
    virtual std::shared_ptr<RemoteImageOperation> requestImage(const QUrl& url, RemoteImageOptions options,
                                                               const RemoteImageContext& context,
                                                               ImageLoaderProgressBlock progress,
                                                               ImageLoaderCompletedBlock completed) = 0;

    // Whether a URL that failed with this error should not be tried again.
    virtual bool shouldBlockFailedURL(const QUrl& url, const ImageError& error, RemoteImageOptions options,
                                      const RemoteImageContext& context) = 0;
    bool shouldBlockFailedURL(const QUrl& url, const ImageError& error) {
        return shouldBlockFailedURL(url, error, 0, {});
    }
};

// The cache key of a URL for a load: the context's key filter's answer, else the URL.
QString imageLoaderCacheKey(const QUrl& url, const RemoteImageContext* context);

// The coder options of a load, from its context, its options and its cache key: the
// context's scale when it is at least 1, else the one the key names; the key's extension
// as a hint when the context gives no type hint.
DecodeOptions imageLoaderDecodeOptions(const RemoteImageContext* context, RemoteImageOptions options,
                                       const QString& cacheKey);

// Decodes a whole download by the load's options and context. Null when nothing
// decodes the bytes.
Image imageLoaderDecodeImageData(const QByteArray& imageData, const QUrl& imageURL, RemoteImageOptions options,
                                 const RemoteImageContext* context);

// Decodes the bytes of a download so far with the operation's own incremental coder,
// which the first call chooses. Null while too little has arrived or nothing can decode
// the bytes progressively.
Image imageLoaderDecodeProgressiveImageData(const QByteArray& imageData, const QUrl& imageURL, bool finished,
                                            AbstractRemoteImageDownloaderOperation& operation,
                                            RemoteImageOptions options, const RemoteImageContext* context);

std::shared_ptr<ProgressiveImageCoder> imageLoaderGetProgressiveCoder(
    const AbstractRemoteImageDownloaderOperation& operation);
void imageLoaderSetProgressiveCoder(AbstractRemoteImageDownloaderOperation& operation,
                                    std::shared_ptr<ProgressiveImageCoder> coder);

} // namespace velmora::images
