#include "images/coders/AnimatedFrameSource.h"

#include "images/coders/ApngFrameSource.h"
#include "images/coders/GifFrameSource.h"
#include "images/coders/HeifSupport.h"
#include "images/coders/StillFrameSource.h"
#include "images/coders/WebPSupport.h"

namespace velmora::images {

std::shared_ptr<AnimatedFrameSource> AnimatedFrameSource::create(ImageFormat format, const QByteArray& data) {
    switch (format) {
    case ImageFormat::GIF:
        return GifFrameSource::create(data);
    case ImageFormat::PNG:
        return ApngFrameSource::create(data);
    case ImageFormat::WebP:
        return WebPFrameSource::create(data);
    case ImageFormat::HEIC:
    case ImageFormat::HEIF: {
        QImage image = HeifSupport::decode(data);
        if (image.isNull()) {
            return nullptr;
        }
        return std::make_shared<StillFrameSource>(std::move(image));
    }
    default:
        return nullptr;
    }
}

} // namespace velmora::images
