#include "images/coders/ImageAWebPCoder.h"

#include "images/coders/WebPSupport.h"

namespace velmora::images {

std::shared_ptr<ImageAWebPCoder> ImageAWebPCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageAWebPCoder>();
    return instance;
}

QByteArray ImageAWebPCoder::writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                        const EncodeOptions& options) {
    QList<WebPFrameSource::Frame> written;
    for (const ImageFrame& frame : frames) {
        written.append({frame.image.bitmap(), frame.duration});
    }
    return WebPFrameSource::encode(written, loopCount, options.compressionQuality.valueOr(1.0));
}

} // namespace velmora::images
