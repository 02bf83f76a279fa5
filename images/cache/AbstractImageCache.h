#pragma once

#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QDateTime>
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
    virtual std::shared_ptr<RemoteImageOperation>
    queryImageForKey(const QString& key, RemoteImageOptions options, const RemoteImageContext& context,
                     ImageCacheType cacheType, ImageCacheQueryCompletion completion) = 0;
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

    virtual void removeImageForKey(const QString& key, ImageCacheType cacheType,
                                   ImageCacheCompletion completion) = 0;
    virtual void containsImageForKey(const QString& key, ImageCacheType cacheType,
                                     ImageCacheContainsCompletion completion) = 0;
    virtual void clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) = 0;

    // A document whose drawing ended its drawing process (see ImageError::drawingEndedKey) is not
    // drawn again before its growing delay is over: a cache that can keeps the refusal with the
    // document's bytes, across starts too, and draws none of them while it holds; the load
    // pipeline asks it before it downloads them again.
    //
    // Until when the bytes at `key` (an original's key) are refused; none when they are not. Asked
    // on any thread, it reads no disk: it knows of the refusals of this run and of those its
    // queries found on the disk.
    virtual std::optional<QDateTime> drawingRefusedUntil(const QString& key) {
        Q_UNUSED(key);
        return std::nullopt;
    }
    // The drawing of `bytes`, the document downloaded for `key`, ended its process: they are kept
    // (on the disk) with a refusal that ends after the delay of as many such ends of theirs.
    virtual void refuseDrawing(const QString& key, const QByteArray& bytes) {
        Q_UNUSED(key);
        Q_UNUSED(bytes);
    }
};

} // namespace velmora::images
