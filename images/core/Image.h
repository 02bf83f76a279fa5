#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/ImageFormat.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <memory>
#include <optional>

namespace velmora::images {

class AnimatedImageProvider;
class VectorImageSource;

// A cheap shared handle to one image: a bitmap (whose device pixel ratio is the image's
// scale), a vector source that draws at any size, or the first frame of an animation with the
// provider of the rest, together with the library's metadata. Copies share the image and its
// metadata, as references to one object would; a default-constructed handle is "no image".
// Metadata may be read and written from any thread.
class Image {
public:
    Image();
    // A bitmap at the given scale (pixels per point; below 1 counts as 1).
    explicit Image(const QImage& bitmap, qreal scale = 1.0);
    // The first frame of an animation at the given scale, with the provider of all frames.
    Image(const QImage& posterFrame, qreal scale, std::shared_ptr<AnimatedImageProvider> provider);
    // A vector image of the source's size in points.
    explicit Image(std::shared_ptr<VectorImageSource> source);

    bool isNull() const { return !m_data; }
    explicit operator bool() const { return static_cast<bool>(m_data); }
    // Two handles are equal when they share one image.
    bool operator==(const Image& other) const { return m_data == other.m_data; }

    // The bitmap: the stored one, or, for a vector image, one rendered at its size and scale.
    // Null when there is none.
    QImage bitmap() const;
    bool hasBitmapRepresentation() const;
    // Size in points, scale in pixels per point.
    QSizeF size() const;
    qreal scale() const;
    QSize pixelSize() const;

    std::shared_ptr<VectorImageSource> vectorSource() const;
    std::shared_ptr<AnimatedImageProvider> animatedProvider() const;
    // The encoded data an animation was decoded from; empty for other images.
    QByteArray animatedImageData() const;

    // The stored format, or the one of the vector source; Undefined when unknown.
    ImageFormat imageFormat() const;
    void setImageFormat(ImageFormat format);

    bool isDecoded() const;
    void setDecoded(bool decoded);
    // A partial image made while the data was still arriving.
    bool isIncremental() const;
    void setIncremental(bool incremental);
    bool isTransformed() const;
    void setTransformed(bool transformed);
    std::optional<DecodeOptions> decodeOptions() const;
    void setDecodeOptions(std::optional<DecodeOptions> options);
    // Decoded as a thumbnail: the decode options hold a thumbnail size with both sides above 0.
    bool isThumbnail() const;

    // The stored cost when one was set (0 included), else bytes per line times height.
    quint64 memoryCost() const;
    void setMemoryCost(quint64 cost);

    // Loop count of a bitmap image (0 for vector images, whose setter does nothing).
    unsigned imageLoopCount() const;
    void setImageLoopCount(unsigned loopCount);
    // 1 unless the image is an animation.
    unsigned imageFrameCount() const;
    bool isAnimated() const;
    bool isVector() const;

    // Opaque bytes a caller keeps with the image (the disk cache stores them beside the file).
    std::optional<QByteArray> extendedObject() const;
    void setExtendedObject(std::optional<QByteArray> object);

private:
    friend class WeakImage;
    struct Data;
    std::shared_ptr<Data> m_data;
};

// A handle that does not keep its image alive: `lock` gives the image while somebody else holds
// it, and a null image afterwards.
class WeakImage {
public:
    WeakImage() = default;
    WeakImage(const Image& image) : m_data(image.m_data) {}

    Image lock() const {
        Image image;
        image.m_data = m_data.lock();
        return image;
    }
    bool expired() const { return m_data.expired(); }

private:
    std::weak_ptr<Image::Data> m_data;
};

// Copies the metadata of one image to another (incremental, transformed, decode options, loop
// count, format, decoded, extended object); nothing happens when either is null.
void copyImageMetadata(const Image& source, const Image& target);

} // namespace velmora::images
