#include "images/download/ImageLoader.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/cache/AbstractRemoteImageCacheKeyFilter.h"
#include "images/cache/ImageCacheDecoding.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ProgressiveImageCoder.h"
#include "images/download/AbstractRemoteImageDownloaderOperation.h"

namespace velmora::images {

namespace {

const RemoteImageContext& orEmpty(const RemoteImageContext* context) {
    static const RemoteImageContext empty;
    return context ? *context : empty;
}

} // namespace

QString imageLoaderCacheKey(const QUrl& url, const RemoteImageContext* context) {
    if (context && context->cacheKeyFilter.hasValue() && context->cacheKeyFilter.value()) {
        return context->cacheKeyFilter.value()->cacheKeyForURL(url);
    }
    return url.toString(QUrl::FullyEncoded);
}

DecodeOptions imageLoaderDecodeOptions(const RemoteImageContext* context, RemoteImageOptions options,
                                       const QString& cacheKey) {
    // One builder for downloads and cache reads, so both decode alike.
    return decodeOptionsFromContext(orEmpty(context), options, cacheKey);
}

Image imageLoaderDecodeImageData(const QByteArray& imageData, const QUrl& imageURL,
                                 RemoteImageOptions options, const RemoteImageContext* maybeContext) {
    const RemoteImageContext& context = orEmpty(maybeContext);
    return decodeImageDataWithOptions(
        imageData, options, context,
        imageLoaderDecodeOptions(&context, options, imageLoaderCacheKey(imageURL, &context)));
}

Image imageLoaderDecodeProgressiveImageData(const QByteArray& imageData, const QUrl& imageURL, bool finished,
                                            AbstractRemoteImageDownloaderOperation& operation,
                                            RemoteImageOptions options,
                                            const RemoteImageContext* maybeContext) {
    const RemoteImageContext& context = orEmpty(maybeContext);
    const DecodeOptions decodeOptions =
        imageLoaderDecodeOptions(&context, options, imageLoaderCacheKey(imageURL, &context));
    std::shared_ptr<ProgressiveImageCoder> coder = imageLoaderGetProgressiveCoder(operation);
    if (!coder) {
        const auto contextCoder =
            context.imageCoder.hasValue()
                ? std::dynamic_pointer_cast<ProgressiveImageCoder>(context.imageCoder.value())
                : nullptr;
        if (contextCoder) {
            coder = contextCoder->createIncrementalCoder(decodeOptions);
        } else {
            const auto coders = ImageCodersManager::sharedManager()->coders();
            for (auto it = coders.rbegin(); it != coders.rend(); ++it) {
                const auto progressive = std::dynamic_pointer_cast<ProgressiveImageCoder>(*it);
                if (progressive && progressive->canIncrementalDecodeFromData(imageData)) {
                    coder = progressive->createIncrementalCoder(decodeOptions);
                    break;
                }
            }
        }
        imageLoaderSetProgressiveCoder(operation, coder);
    }
    if (!coder) {
        return {};
    }
    coder->updateIncrementalData(imageData, finished);
    const Image image = coder->incrementalDecodedImageWithOptions(decodeOptions);
    if (!image) {
        return {};
    }
    Image result = forceDecodedImage(image, options, context, decodeOptions);
    result.setIncremental(!finished);
    return result;
}

std::shared_ptr<ProgressiveImageCoder>
imageLoaderGetProgressiveCoder(const AbstractRemoteImageDownloaderOperation& operation) {
    return operation.progressiveCoder();
}

void imageLoaderSetProgressiveCoder(AbstractRemoteImageDownloaderOperation& operation,
                                    std::shared_ptr<ProgressiveImageCoder> coder) {
    operation.setProgressiveCoder(std::move(coder));
}

} // namespace velmora::images
