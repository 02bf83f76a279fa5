#pragma once

#include "images/core/Image.h"

#include <QByteArray>
#include <QUrl>

#include <optional>

namespace velmora::images {

// Decides the bytes written to the disk cache for a loaded image; none stores the image only.
class AbstractRemoteImageCacheSerializer {
public:
    virtual ~AbstractRemoteImageCacheSerializer() = default;
    virtual std::optional<QByteArray> cacheDataWithImage(const Image& image, const std::optional<QByteArray>& originalData,
                                                         const QUrl& imageURL) = 0;
};

} // namespace velmora::images
