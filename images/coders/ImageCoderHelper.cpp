#include "images/coders/ImageCoderHelper.h"

#include "images/coders/FramesAnimatedImageProvider.h"

#include <QPainter>
#include <QTransform>

#include <atomic>
#include <cmath>

namespace velmora::images {

namespace {
std::atomic<int> decodeSolution{0};
std::atomic<quint64> scaleDownLimitBytes{94371840}; // 90 MiB

constexpr quint64 bytesPerPixel = 4;
} // namespace

ImageCoderDecodeSolution ImageCoderHelper::defaultDecodeSolution() {
    return static_cast<ImageCoderDecodeSolution>(decodeSolution.load());
}

void ImageCoderHelper::setDefaultDecodeSolution(ImageCoderDecodeSolution solution) {
    decodeSolution = static_cast<int>(solution);
}

quint64 ImageCoderHelper::defaultScaleDownLimitBytes() {
    return scaleDownLimitBytes;
}

void ImageCoderHelper::setDefaultScaleDownLimitBytes(quint64 limitBytes) {
    if (limitBytes < bytesPerPixel) {
        return;
    }
    scaleDownLimitBytes = limitBytes;
}

QImage::Format ImageCoderHelper::preferredPixelFormat(bool containsAlpha) {
    return containsAlpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
}

bool ImageCoderHelper::imageContainsAlpha(const QImage& bitmap) {
    return !bitmap.isNull() && bitmap.hasAlphaChannel();
}

bool ImageCoderHelper::imageIsHardwareSupported(const QImage& bitmap) {
    return !bitmap.isNull() && bitmap.format() == preferredPixelFormat(imageContainsAlpha(bitmap));
}

QImage ImageCoderHelper::createDecoded(const QImage& bitmap, int orientation) {
    if (bitmap.isNull() || bitmap.width() == 0 || bitmap.height() == 0) {
        return {};
    }
    const QImage source = bitmap.convertToFormat(preferredPixelFormat(imageContainsAlpha(bitmap)));
    // Rotations by multiples of 90 degrees and mirroring move pixels without resampling.
    const auto rotated = [](const QImage& image, int degrees) {
        return image.transformed(QTransform().rotate(degrees), Qt::FastTransformation);
    };
    switch (orientation) {
    case 2:
        return source.mirrored(true, false);
    case 3:
        return rotated(source, 180);
    case 4:
        return source.mirrored(false, true);
    case 5:
        return rotated(source, 90).mirrored(true, false);
    case 6:
        return rotated(source, 90);
    case 7:
        return rotated(source, 270).mirrored(true, false);
    case 8:
        return rotated(source, 270);
    default:
        return source;
    }
}

QImage ImageCoderHelper::createScaled(const QImage& bitmap, const QSize& size) {
    if (bitmap.isNull() || size.width() <= 0 || size.height() <= 0) {
        return {};
    }
    if (bitmap.size() == size) {
        return bitmap;
    }
    return bitmap.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

Image ImageCoderHelper::imageWithBitmap(const QImage& bitmap, qreal scale, int orientation) {
    if (bitmap.isNull()) {
        return {};
    }
    if (orientation == 1 || orientation < 1 || orientation > 8) {
        return Image(bitmap, scale);
    }
    const QImage upright = createDecoded(bitmap, orientation);
    return upright.isNull() ? Image() : Image(upright, scale);
}

QSizeF ImageCoderHelper::scaledSize(const QSizeF& imageSize, const QSizeF& scaleSize,
                                    bool preserveAspectRatio, bool shouldScaleUp) {
    const double width = imageSize.width();
    const double height = imageSize.height();
    const double targetWidth = scaleSize.width();
    const double targetHeight = scaleSize.height();
    if (width <= 0 || height <= 0 || targetWidth <= 0 || targetHeight <= 0) {
        return imageSize;
    }
    double resultWidth = targetWidth;
    double resultHeight = targetHeight;
    if (preserveAspectRatio) {
        const double ratio = width / height;
        if (ratio > targetWidth / targetHeight) {
            resultHeight = std::ceil(targetWidth / ratio);
        } else {
            resultWidth = std::ceil(targetHeight * ratio);
        }
    }
    if (!shouldScaleUp) {
        resultWidth = std::min(resultWidth, width);
        resultHeight = std::min(resultHeight, height);
    }
    return QSizeF(resultWidth, resultHeight);
}

QSizeF ImageCoderHelper::scaledSize(const QSizeF& imageSize, quint64 limitBytes, quint64 bytesPerPixelValue,
                                    unsigned frameCount) {
    if (imageSize.width() <= 0 && imageSize.height() <= 0) {
        return QSizeF(1, 1);
    }
    // A zero side or a zero pixel size would divide by zero: the size is kept.
    if (imageSize.width() <= 0 || imageSize.height() <= 0 || bytesPerPixelValue == 0) {
        return imageSize;
    }
    const quint64 pixels = limitBytes / bytesPerPixelValue / std::max(frameCount, 1u);
    const double ratio = imageSize.height() / imageSize.width();
    const double root = std::sqrt(double(pixels) / ratio);
    return QSizeF(std::max(std::floor(root), 1.0), std::max(std::floor(ratio * root), 1.0));
}

bool ImageCoderHelper::shouldDecodeImage(const Image& image, ImageForceDecodePolicy policy) {
    if (image.isNull() || policy == ImageForceDecodePolicy::Never) {
        return false;
    }
    if (image.isDecoded() || image.isAnimated() || image.isVector()) {
        return false;
    }
    if (policy == ImageForceDecodePolicy::Always) {
        return true;
    }
    const QImage bitmap = image.bitmap();
    return bitmap.isNull() || !imageIsHardwareSupported(bitmap);
}

bool ImageCoderHelper::shouldScaleDownImagePixelSize(const QSizeF& pixelSize, quint64 limitBytes) {
    const double area = pixelSize.width() * pixelSize.height();
    if (!(area > 0)) {
        return false;
    }
    if (limitBytes == 0) {
        limitBytes = defaultScaleDownLimitBytes();
    }
    limitBytes = std::max(limitBytes, bytesPerPixel);
    return double(limitBytes / bytesPerPixel) / area < 1.0;
}

Image ImageCoderHelper::decodedImage(const Image& image, ImageForceDecodePolicy policy) {
    if (!shouldDecodeImage(image, policy)) {
        return image;
    }
    const QImage bitmap = image.bitmap();
    if (bitmap.isNull() || bitmap.width() == 0 || bitmap.height() == 0 || bitmap.depth() == 0) {
        return image;
    }
    Image decoded(bitmap.convertToFormat(preferredPixelFormat(imageContainsAlpha(bitmap))), image.scale());
    copyImageMetadata(image, decoded);
    decoded.setDecoded(true);
    return decoded;
}

Image ImageCoderHelper::decodedAndScaledDownImage(const Image& image, quint64 limitBytes,
                                                  ImageForceDecodePolicy policy) {
    if (!shouldDecodeImage(image, policy)) {
        return image;
    }
    if (limitBytes == 0) {
        limitBytes = defaultScaleDownLimitBytes();
    }
    limitBytes = std::max(limitBytes, bytesPerPixel);
    const QImage bitmap = image.bitmap();
    // An image without pixels (or without bits per pixel) is left as it is rather than divided by.
    if (bitmap.isNull() || bitmap.width() == 0 || bitmap.height() == 0 || bitmap.depth() == 0) {
        return image;
    }
    if (!shouldScaleDownImagePixelSize(QSizeF(bitmap.size()), limitBytes)) {
        return decodedImage(image, ImageForceDecodePolicy::Automatic);
    }
    const double destinationPixels = double(limitBytes / bytesPerPixel);
    const double sourceWidth = bitmap.width();
    const double sourceHeight = bitmap.height();
    const double factor = std::sqrt(destinationPixels / (sourceWidth * sourceHeight));
    const int width = std::max(static_cast<int>(std::trunc(factor * sourceWidth)), 1);
    const int height = std::max(static_cast<int>(std::trunc(factor * sourceHeight)), 1);

    QImage destination(width, height, preferredPixelFormat(imageContainsAlpha(bitmap)));
    if (destination.isNull()) {
        return image;
    }
    destination.fill(Qt::transparent);
    {
        QPainter painter(&destination);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        QImage source = bitmap;
        source.setDevicePixelRatio(1.0);
        painter.drawImage(QRectF(0, 0, width, height), source);
    }
    Image scaled(destination, image.scale());
    copyImageMetadata(image, scaled);
    scaled.setDecoded(true);
    return scaled;
}

Image ImageCoderHelper::animatedImageWithFrames(const QList<ImageFrame>& frames, unsigned loopCount) {
    if (frames.isEmpty() || frames.first().image.isNull()) {
        return {};
    }
    const Image& first = frames.first().image;
    return Image(first.bitmap(), first.scale(),
                 std::make_shared<FramesAnimatedImageProvider>(frames, loopCount));
}

std::optional<QList<ImageFrame>> ImageCoderHelper::framesFromAnimatedImage(const Image& image) {
    const auto provider = image.animatedProvider();
    if (!provider || image.isVector()) {
        return std::nullopt;
    }
    if (const auto known = std::dynamic_pointer_cast<FramesAnimatedImageProvider>(provider)) {
        return known->frames();
    }
    const unsigned count = provider->animatedImageFrameCount();
    if (count == 0) {
        return std::nullopt;
    }
    QList<ImageFrame> frames;
    for (unsigned index = 0; index < count; ++index) {
        const Image frame = provider->animatedImageFrameAtIndex(index);
        if (!frame.isNull()) {
            frames.append({frame, provider->animatedImageDurationAtIndex(index)});
        }
    }
    return frames;
}

} // namespace velmora::images
