#include "images/coders/ImageHEICCoder.h"

#include "images/coders/HeifSupport.h"

namespace velmora::images {

std::shared_ptr<ImageHEICCoder> ImageHEICCoder::sharedCoder() {
    static const auto instance = std::make_shared<ImageHEICCoder>();
    return instance;
}

bool ImageHEICCoder::decodesFormat(ImageFormat format) const {
    return (format == ImageFormat::HEIC || format == ImageFormat::HEIF) && HeifSupport::canDecode();
}

bool ImageHEICCoder::canEncodeToFormat(ImageFormat format) {
    return (format == ImageFormat::HEIC || format == ImageFormat::HEIF) && HeifSupport::canEncode();
}

QByteArray ImageHEICCoder::writeFrames(const QList<ImageFrame>& frames, unsigned,
                                       const EncodeOptions& options) {
    // One still: libheif here writes no image sequences.
    return HeifSupport::encode(frames.first().image.bitmap(), options.compressionQuality.valueOr(1.0));
}

} // namespace velmora::images
