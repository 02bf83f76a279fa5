#include "images/coders/ImageAPNGCoder.h"

#include "images/coders/ApngSupport.h"

#include <QBuffer>
#include <QImageWriter>

namespace velmora::images {

std::shared_ptr<ImageAPNGCoder> ImageAPNGCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageAPNGCoder>();
    return instance;
}

QByteArray ImageAPNGCoder::writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                       const EncodeOptions&) {
    if (frames.size() == 1) {
        QImage bitmap = frames.first().image.bitmap();
        bitmap.setDevicePixelRatio(1.0);
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        return writer.write(bitmap) ? data : QByteArray();
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
