#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/EncodeOptions.h"
#include "images/core/Field.h"
#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/ImageForceDecodePolicy.h"

#include <QSizeF>
#include <QString>

#include <memory>

namespace velmora::images {

class AbstractImageCache;
class AbstractRemoteImageCacheKeyFilter;
class AbstractRemoteImageCacheSerializer;
class AbstractRemoteImageDownloaderDecryptor;
class AbstractRemoteImageDownloaderRequestModifier;
class AbstractRemoteImageDownloaderResponseModifier;
class AnimatedImageClass;
class CallbackQueue;
class ImageCoder;
class ImageLoader;
class ImageTransformer;
class RemoteImageManager;

// The per-request settings that travel with one load from the pipeline into the caches, the
// downloader and the coders. A value type: a step that adds entries changes its own copy.
// Each entry is absent (the reader's default), explicitly none, or a value.
struct RemoteImageContext {
    // Cache for the query and the final store, instead of the manager's.
    Field<std::shared_ptr<AbstractImageCache>> imageCache;
    // Loader for this load, instead of the manager's.
    Field<std::shared_ptr<ImageLoader>> imageLoader;
    // Transformer for this load; none means no transformer even if the manager has one.
    Field<std::shared_ptr<ImageTransformer>> imageTransformer;
    Field<std::shared_ptr<AbstractRemoteImageCacheKeyFilter>> cacheKeyFilter;
    Field<std::shared_ptr<AbstractRemoteImageCacheSerializer>> cacheSerializer;
    // Where the completion runs; the main queue by default.
    Field<std::shared_ptr<CallbackQueue>> callbackQueue;
    Field<ImageCacheType> queryCacheType;
    Field<ImageCacheType> storeCacheType;
    Field<ImageCacheType> originalQueryCacheType;
    Field<ImageCacheType> originalStoreCacheType;
    Field<std::shared_ptr<AbstractImageCache>> originalImageCache;
    Field<QSizeF> imageThumbnailPixelSize;
    Field<bool> imagePreserveAspectRatio;
    // The cached image a refreshing download replaces.
    Field<Image> loaderCachedImage;
    Field<std::shared_ptr<ImageCoder>> imageCoder;
    Field<ImageForceDecodePolicy> imageForceDecodePolicy;
    Field<std::shared_ptr<const AnimatedImageClass>> animatedImageClass;
    Field<double> imageScaleFactor;
    Field<DecodeOptions> imageDecodeOptions;
    Field<QString> imageTypeIdentifierHint;
    Field<quint64> imageScaleDownLimitBytes;
    Field<EncodeOptions> imageEncodeOptions;
    Field<std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier>> downloadRequestModifier;
    Field<std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier>> downloadResponseModifier;
    Field<std::shared_ptr<AbstractRemoteImageDownloaderDecryptor>> downloadDecryptor;
    Field<QString> setImageOperationKey;
    Field<std::shared_ptr<RemoteImageManager>> customManager;
    // Read by the SVG coder: render a bitmap of this size, prefer a bitmap to a vector image,
    // keep the document's proportions.
    Field<QSizeF> svgImageSize;
    Field<bool> svgPrefersBitmap;
    Field<bool> svgImagePreserveAspectRatio;
};

} // namespace velmora::images
