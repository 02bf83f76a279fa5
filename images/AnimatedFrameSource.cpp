#include "images/AnimatedFrameSource.h"

#include "images/ApngFrameSource.h"
#include "images/GifFrameSource.h"
#include "images/HeifSupport.h"
#include "images/StillFrameSource.h"
#include "images/WebPSupport.h"

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
