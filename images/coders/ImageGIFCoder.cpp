#include "images/coders/ImageGIFCoder.h"

#include "images/coders/GifEncoder.h"

namespace velmora::images {

std::shared_ptr<ImageGIFCoder> ImageGIFCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageGIFCoder>();
    return instance;
}

QByteArray ImageGIFCoder::writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                      const EncodeOptions&) {
    QList<GifEncoder::Frame> written;
    for (const ImageFrame& frame : frames) {
        written.append({frame.image.bitmap(), frame.duration});
    }
    return GifEncoder::encode(written, loopCount);
}

} // namespace velmora::images
