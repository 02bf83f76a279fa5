#pragma once

#include "images/coders/ImageFrame.h"
#include "images/core/Image.h"
#include "images/core/ImageForceDecodePolicy.h"

#include <QImage>
#include <QList>
#include <QSize>
#include <QSizeF>

#include <optional>

namespace velmora::images {

// How an image is redrawn when it is decoded. Both redraw through QPainter here; the setting is
// kept for callers that choose one.
enum class ImageCoderDecodeSolution : int {
    Automatic = 0,
    CoreGraphics = 1,
    ImageRenderer = 2,
};

// The pixel operations every coder and cache shares: decoding an image into a bitmap the display
// can use as it is, scaling it down under a byte limit, applying an EXIF orientation and fitting
// sizes. Stateless apart from two process-wide settings meant to be set at start-up.
class ImageCoderHelper {
public:
    ImageCoderHelper() = delete;

    static ImageCoderDecodeSolution defaultDecodeSolution();
    static void setDefaultDecodeSolution(ImageCoderDecodeSolution solution);
    // 90 MiB unless changed; a value below 4 is ignored.
    static quint64 defaultScaleDownLimitBytes();
    static void setDefaultScaleDownLimitBytes(quint64 limitBytes);

    // The bitmap format QPainter draws fastest, with or without alpha.
    static QImage::Format preferredPixelFormat(bool containsAlpha);
    static bool imageContainsAlpha(const QImage& bitmap);
    // True when the bitmap is already in the preferred format for its alpha.
    static bool imageIsHardwareSupported(const QImage& bitmap);

    // The bitmap redrawn upright for an EXIF orientation (1 to 8; others leave it as it is);
    // null for a null or empty bitmap.
    static QImage createDecoded(const QImage& bitmap, int orientation = 1);
    // The bitmap scaled to exactly this pixel size with smooth resampling; the bitmap itself for
    // its own size; null for an empty target.
    static QImage createScaled(const QImage& bitmap, const QSize& size);

    // An image of the bitmap at the scale, redrawn first when the orientation is not 1.
    static Image imageWithBitmap(const QImage& bitmap, qreal scale, int orientation = 1);

    static QSizeF scaledSize(const QSizeF& imageSize, const QSizeF& scaleSize, bool preserveAspectRatio,
                             bool shouldScaleUp);
    static QSizeF scaledSize(const QSizeF& imageSize, quint64 limitBytes, quint64 bytesPerPixel,
                             unsigned frameCount);

    static bool shouldDecodeImage(const Image& image, ImageForceDecodePolicy policy);
    static bool shouldScaleDownImagePixelSize(const QSizeF& pixelSize, quint64 limitBytes);

    static Image decodedImage(const Image& image,
                              ImageForceDecodePolicy policy = ImageForceDecodePolicy::Automatic);
    // Decoded and scaled down so that its bitmap stays within the limit (0 means the default).
    static Image decodedAndScaledDownImage(const Image& image, quint64 limitBytes,
                                           ImageForceDecodePolicy policy = ImageForceDecodePolicy::Automatic);

    // One animated image of decoded frames (its bitmap is the first frame's); null for no frames.
    static Image animatedImageWithFrames(const QList<ImageFrame>& frames, unsigned loopCount = 0);
    // The frames of an animated image: the very list it was made of, or each frame of its
    // provider; nothing for a still or vector image.
    static std::optional<QList<ImageFrame>> framesFromAnimatedImage(const Image& image);
};

} // namespace velmora::images
