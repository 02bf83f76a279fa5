#include "images/coders/ImageAPNGCoder.h"

#include "images/coders/ApngSupport.h"
#include "images/coders/PngWriter.h"

namespace velmora::images {

std::shared_ptr<ImageAPNGCoder> ImageAPNGCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageAPNGCoder>();
    return instance;
}

bool ImageAPNGCoder::canDecodeFromData(const QByteArray& data) {
    return ApngSupport::isAnimated(data);
}

QByteArray ImageAPNGCoder::writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                       const EncodeOptions&) {
    if (frames.size() == 1) {
        return PngWriter::write(frames.first().image.bitmap());
    }
    const QSize canvas = frames.first().image.pixelSize();
    QList<ApngSupport::Frame> written;
    for (const ImageFrame& frame : frames) {
        QImage bitmap = frame.image.bitmap();
        if (bitmap.size() != canvas) {
            bitmap = bitmap.scaled(canvas);
        }
        written.append(
            {bitmap, QPoint(0, 0), frame.duration, ApngSupport::DisposeNone, ApngSupport::BlendSource});
    }
    return ApngSupport::write(canvas, written, loopCount);
}

} // namespace velmora::images
