#include "images/cache/ImageCacheDecoding.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/cache/CacheKeys.h"
#include "images/coders/ImageCoder.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageCodersManager.h"
#include "images/core/ImageFormat.h"

namespace velmora::images {

namespace {

// The extension of the key taken as a file path.
QString fileExtension(const QString& key) {
    const auto name = key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
    const auto dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1) {
        return {};
    }
    return name.mid(dot + 1);
}

} // namespace

DecodeOptions decodeOptionsFromContext(const RemoteImageContext& context, RemoteImageOptions options,
                                       const QString& cacheKey) {
    auto result = context.imageDecodeOptions.valueOr(DecodeOptions{});

    const double contextScale = context.imageScaleFactor.valueOr(0.0);
    // NaN and anything below 1 fall back to the scale the key names.
    const double scale = contextScale >= 1.0 ? contextScale : scaleFactorForCacheKey(cacheKey);

    result.firstFrameOnly = (options & RemoteImageDecodeFirstFrameOnly) != 0;
    result.scaleFactor = scale;
    result.preserveAspectRatio = context.imagePreserveAspectRatio;
    result.thumbnailPixelSize = context.imageThumbnailPixelSize;
    result.typeIdentifierHint = context.imageTypeIdentifierHint;
    result.fileExtensionHint.clear();
    if (context.imageTypeIdentifierHint.isAbsent()) {
        const auto extension = fileExtension(cacheKey);
        if (!extension.isEmpty()) {
            result.fileExtensionHint = extension;
        }
    }
    if (context.imageScaleDownLimitBytes.isPresent()) {
        result.scaleDownLimitBytes = context.imageScaleDownLimitBytes;
    } else if (options & RemoteImageScaleDownLargeImages) {
        result.scaleDownLimitBytes = ImageCoderHelper::defaultScaleDownLimitBytes();
    } else {
        result.scaleDownLimitBytes.clear();
    }
    // Coders that read keys of their own (the SVG coder) find them in the request's context.
    result.remoteImageContext = std::make_shared<const RemoteImageContext>(context);
    return result;
}

void contextFromDecodeOptions(RemoteImageContext& context, RemoteImageOptions& options,
                              const DecodeOptions& decodeOptions) {
    if (decodeOptions.firstFrameOnly.valueOr(false)) {
        options |= RemoteImageDecodeFirstFrameOnly;
    } else {
        options &= ~RemoteImageOptions(RemoteImageDecodeFirstFrameOnly);
    }
    context.imageScaleFactor = decodeOptions.scaleFactor;
    context.imagePreserveAspectRatio = decodeOptions.preserveAspectRatio;
    context.imageThumbnailPixelSize = decodeOptions.thumbnailPixelSize;
    context.imageScaleDownLimitBytes = decodeOptions.scaleDownLimitBytes;
    if (decodeOptions.typeIdentifierHint.hasValue()) {
        context.imageTypeIdentifierHint = decodeOptions.typeIdentifierHint.value();
    } else if (decodeOptions.fileExtensionHint.hasValue()) {
        const auto type = utTypeForFileExtension(decodeOptions.fileExtensionHint.value());
        if (utTypeIsDynamic(type)) {
            context.imageTypeIdentifierHint.clear();
        } else {
            context.imageTypeIdentifierHint = type;
        }
    } else {
        context.imageTypeIdentifierHint.clear();
    }
}

Image forceDecodedImage(const Image& image, RemoteImageOptions options, const RemoteImageContext& context,
                        const DecodeOptions& decodeOptions) {
    auto policy = context.imageForceDecodePolicy.valueOr(ImageForceDecodePolicy::Automatic);
    if (options & RemoteImageAvoidDecodeImage) {
        policy = ImageForceDecodePolicy::Never;
    }
    Image result = ImageCoderHelper::decodedImage(image, policy);
    // Tells the cache later whether this was a thumbnail decode, and of which size.
    result.setDecodeOptions(decodeOptions);
    return result;
}

Image decodeImageDataWithOptions(const QByteArray& data, RemoteImageOptions options,
                                 const RemoteImageContext& context, const DecodeOptions& decodeOptions) {
    const double scale = decodeOptions.scaleFactor.valueOr(1.0);
    Image image;
    const auto animatedClass = context.animatedImageClass.valueOr(nullptr);
    if (!(options & RemoteImageDecodeFirstFrameOnly) && animatedClass) {
        image = animatedClass->imageWithData(data, scale, decodeOptions);
        if (image) {
            if (options & RemoteImagePreloadAllFrames) {
                animatedClass->preloadAllFrames(image);
            }
        } else if (options & RemoteImageMatchAnimatedImageClass) {
            return {};
        }
    }
    if (!image) {
        const auto coder = context.imageCoder.valueOr(nullptr);
        image = coder ? coder->decodedImageWithData(data, decodeOptions)
                      : ImageCodersManager::sharedManager()->decodedImageWithData(data, decodeOptions);
        if (!image) {
            return {};
        }
    }
    return forceDecodedImage(image, options, context, decodeOptions);
}

Image imageCacheDecodeImageData(const QByteArray& data, const QString& cacheKey, RemoteImageOptions options,
                                const RemoteImageContext& context) {
    if (data.isEmpty() || cacheKey.isEmpty()) {
        return {};
    }
    return decodeImageDataWithOptions(data, options, context,
                                      decodeOptionsFromContext(context, options, cacheKey));
}

} // namespace velmora::images
