#include "images/coders/ImageMultiFormat.h"

#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageGIFCoder.h"

#include <algorithm>

namespace velmora::images {

Image imageWithData(const QByteArray& data, double scale, bool firstFrameOnly) {
    if (data.isNull()) {
        return {};
    }
    DecodeOptions options;
    options.scaleFactor = std::max(scale, 1.0);
    options.firstFrameOnly = firstFrameOnly;
    return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

Image imageWithGIFData(const QByteArray& data) {
    if (data.isNull()) {
        return {};
    }
    return ImageGIFCoder::sharedCoder()->decodedImageWithData(data, {});
}

QByteArray imageData(const Image& image) {
    const QByteArray animated = image.animatedImageData();
    if (!animated.isEmpty()) {
        return animated;
    }
    return imageDataAsFormat(image, image.imageFormat());
}

QByteArray imageDataAsFormat(const Image& image, ImageFormat format, double compressionQuality,
                             bool firstFrameOnly) {
    EncodeOptions options;
    options.compressionQuality = compressionQuality;
    options.firstFrameOnly = firstFrameOnly;
    return ImageCodersManager::sharedManager()->encodedDataWithImage(image, format, options);
}

Image decodedImage(const Image& image) {
    return image.isNull() ? Image() : ImageCoderHelper::decodedImage(image);
}

Image decodedAndScaledDownImage(const Image& image, quint64 limitBytes) {
    return image.isNull() ? Image() : ImageCoderHelper::decodedAndScaledDownImage(image, limitBytes);
}

} // namespace velmora::images
