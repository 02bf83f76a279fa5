#pragma once

#include "images/core/Image.h"
#include "images/core/ImageCacheType.h"
#include "images/core/ImageError.h"

#include <QByteArray>

#include <functional>

namespace velmora::images {
class AnimatedImageView;
}

namespace velmora::imageviews {

class AnimatedImageCoordinator;

// The caller's callbacks of an `AnimatedImage`; all run on the main thread.
class AnimatedImageHandler {
public:
    using SuccessBlock = std::function<void(const images::Image&, const QByteArray&, images::ImageCacheType)>;
    using FailureBlock = std::function<void(const images::ImageError&)>;
    using ProgressBlock = std::function<void(qint64 received, qint64 expected)>;
    using ViewBlock = std::function<void(images::AnimatedImageView*, AnimatedImageCoordinator&)>;

    SuccessBlock successBlock;
    FailureBlock failureBlock;
    ProgressBlock progressBlock;
    // Right after the image view is made.
    ViewBlock viewCreateBlock;
    // At the end of every update.
    ViewBlock viewUpdateBlock;
};

} // namespace velmora::imageviews
