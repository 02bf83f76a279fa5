#pragma once

#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace velmora::images {

// (image or null, data or none, where it was found)
using ImageCacheQueryCompletion =
    std::function<void(const Image& image, const std::optional<QByteArray>& data, ImageCacheType cacheType)>;
using ImageCacheCompletion = std::function<void()>;
using ImageCacheContainsCompletion = std::function<void(ImageCacheType cacheType)>;

// What the load pipeline needs of any image cache: one cache, or several asked as one.
class AbstractImageCache {
public:
    virtual ~AbstractImageCache() = default;

    // Answers through `completion`; the result cancels a pending query, and is null when the query
    // has already answered.
    virtual std::shared_ptr<RemoteImageOperation> queryImageForKey(const QString& key, RemoteImageOptions options,
                                                                   const RemoteImageContext& context,
                                                                   ImageCacheType cacheType,
                                                                   ImageCacheQueryCompletion completion) = 0;
    std::shared_ptr<RemoteImageOperation> queryImageForKey(const QString& key, RemoteImageOptions options,
                                                           const RemoteImageContext& context,
                                                           ImageCacheQueryCompletion completion) {
        return queryImageForKey(key, options, context, ImageCacheType::All, std::move(completion));
    }

    virtual void storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                            RemoteImageOptions options, const RemoteImageContext& context,
                            ImageCacheType cacheType, ImageCacheCompletion completion) = 0;
    void storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                    ImageCacheType cacheType, ImageCacheCompletion completion) {
        storeImage(image, data, key, 0, RemoteImageContext{}, cacheType, std::move(completion));
    }

    virtual void removeImageForKey(const QString& key, ImageCacheType cacheType, ImageCacheCompletion completion) = 0;
    virtual void containsImageForKey(const QString& key, ImageCacheType cacheType,
                                     ImageCacheContainsCompletion completion) = 0;
    virtual void clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) = 0;
};

} // namespace velmora::images
