#include "images/core/Image.h"

#include "images/core/AbstractAnimatedImage.h"
#include "images/core/AnimatedImageProvider.h"
#include "images/core/VectorImageSource.h"

#include <QPainter>

#include <cmath>
#include <mutex>

namespace velmora::images {

struct Image::Data {
    QImage bitmap;
    qreal scale = 1.0;
    std::shared_ptr<VectorImageSource> vector;
    std::shared_ptr<AnimatedImageProvider> provider;

    mutable std::mutex mutex;
    std::optional<ImageFormat> format;
    bool decoded = false;
    bool incremental = false;
    bool transformed = false;
    std::optional<DecodeOptions> decodeOptions;
    std::optional<quint64> memoryCost;
    unsigned loopCount = 0;
    std::optional<QByteArray> extendedObject;
};

namespace {
qreal atLeastOne(qreal scale) {
    return (std::isfinite(scale) && scale >= 1.0) ? scale : 1.0;
}
} // namespace

Image::Image() = default;

Image::Image(const QImage& bitmap, qreal scale) : m_data(std::make_shared<Data>()) {
    m_data->scale = atLeastOne(scale);
    m_data->bitmap = bitmap;
    m_data->bitmap.setDevicePixelRatio(m_data->scale);
}

Image::Image(const QImage& posterFrame, qreal scale, std::shared_ptr<AnimatedImageProvider> provider)
    : Image(posterFrame, scale) {
    m_data->provider = std::move(provider);
    if (m_data->provider) {
        m_data->loopCount = m_data->provider->animatedImageLoopCount();
    }
}

Image::Image(std::shared_ptr<VectorImageSource> source) : m_data(std::make_shared<Data>()) {
    m_data->vector = std::move(source);
}

QImage Image::bitmap() const {
    if (!m_data) {
        return {};
    }
    if (!m_data->vector) {
        return m_data->bitmap;
    }
    const QSize pixels = pixelSize();
    if (pixels.isEmpty()) {
        return {};
    }
    QImage rendered(pixels, QImage::Format_ARGB32_Premultiplied);
    rendered.fill(Qt::transparent);
    {
        QPainter painter(&rendered);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        m_data->vector->render(painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    }
    rendered.setDevicePixelRatio(m_data->scale);
    return rendered;
}

bool Image::hasBitmapRepresentation() const {
    return m_data && !m_data->vector && !m_data->bitmap.isNull();
}

QSizeF Image::size() const {
    if (!m_data) {
        return {};
    }
    if (m_data->vector) {
        return m_data->vector->size();
    }
    return QSizeF(m_data->bitmap.size()) / m_data->scale;
}

qreal Image::scale() const {
    return m_data ? m_data->scale : 1.0;
}

QSize Image::pixelSize() const {
    if (!m_data) {
        return {};
    }
    if (m_data->vector) {
        const QSizeF points = m_data->vector->size() * m_data->scale;
        return QSize(static_cast<int>(std::ceil(points.width())),
                     static_cast<int>(std::ceil(points.height())));
    }
    return m_data->bitmap.size();
}

std::shared_ptr<VectorImageSource> Image::vectorSource() const {
    return m_data ? m_data->vector : nullptr;
}

std::shared_ptr<AnimatedImageProvider> Image::animatedProvider() const {
    return m_data ? m_data->provider : nullptr;
}

QByteArray Image::animatedImageData() const {
    return (m_data && m_data->provider) ? m_data->provider->animatedImageData() : QByteArray();
}

ImageFormat Image::imageFormat() const {
    if (!m_data) {
        return ImageFormat::Undefined;
    }
    {
        std::lock_guard lock(m_data->mutex);
        if (m_data->format) {
            return *m_data->format;
        }
    }
    return m_data->vector ? m_data->vector->format() : ImageFormat::Undefined;
}

void Image::setImageFormat(ImageFormat format) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->format = format;
    }
}

bool Image::isDecoded() const {
    if (!m_data) {
        return false;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->decoded;
}

void Image::setDecoded(bool decoded) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->decoded = decoded;
    }
}

bool Image::isIncremental() const {
    if (!m_data) {
        return false;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->incremental;
}

void Image::setIncremental(bool incremental) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->incremental = incremental;
    }
}

bool Image::isTransformed() const {
    if (!m_data) {
        return false;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->transformed;
}

void Image::setTransformed(bool transformed) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->transformed = transformed;
    }
}

std::optional<DecodeOptions> Image::decodeOptions() const {
    if (!m_data) {
        return std::nullopt;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->decodeOptions;
}

void Image::setDecodeOptions(std::optional<DecodeOptions> options) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->decodeOptions = std::move(options);
    }
}

bool Image::isThumbnail() const {
    const auto options = decodeOptions();
    if (!options || !options->thumbnailPixelSize.hasValue()) {
        return false;
    }
    const QSizeF size = options->thumbnailPixelSize.value();
    return size.width() > 0 && size.height() > 0;
}

quint64 Image::memoryCost() const {
    if (!m_data) {
        return 0;
    }
    {
        std::lock_guard lock(m_data->mutex);
        if (m_data->memoryCost) {
            return *m_data->memoryCost;
        }
    }
    if (m_data->vector) {
        // What the bitmap would cost if it were rendered, without rendering it.
        const QSize pixels = pixelSize();
        return pixels.isEmpty() ? 0 : quint64(pixels.width()) * 4u * quint64(pixels.height());
    }
    if (m_data->bitmap.isNull()) {
        return 0;
    }
    const quint64 frameCost = quint64(m_data->bitmap.bytesPerLine()) * quint64(m_data->bitmap.height());
    // An animation that holds all its frames decoded costs all of them.
    if (const auto animated = std::dynamic_pointer_cast<AbstractAnimatedImage>(m_data->provider);
        animated && animated->isAllFramesLoaded()) {
        return frameCost * std::max(animated->animatedImageFrameCount(), 1u);
    }
    return frameCost;
}

void Image::setMemoryCost(quint64 cost) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->memoryCost = cost;
    }
}

unsigned Image::imageLoopCount() const {
    if (!m_data || m_data->vector) {
        return 0;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->loopCount;
}

void Image::setImageLoopCount(unsigned loopCount) {
    if (m_data && !m_data->vector) {
        std::lock_guard lock(m_data->mutex);
        m_data->loopCount = loopCount;
    }
}

unsigned Image::imageFrameCount() const {
    if (!m_data || m_data->vector || !m_data->provider) {
        return 1;
    }
    return std::max(m_data->provider->animatedImageFrameCount(), 1u);
}

bool Image::isAnimated() const {
    return imageFrameCount() > 1;
}

bool Image::isVector() const {
    return m_data && m_data->vector;
}

std::optional<QByteArray> Image::extendedObject() const {
    if (!m_data) {
        return std::nullopt;
    }
    std::lock_guard lock(m_data->mutex);
    return m_data->extendedObject;
}

void Image::setExtendedObject(std::optional<QByteArray> object) {
    if (m_data) {
        std::lock_guard lock(m_data->mutex);
        m_data->extendedObject = std::move(object);
    }
}

void copyImageMetadata(const Image& source, const Image& target) {
    if (source.isNull() || target.isNull() || source == target) {
        return;
    }
    Image copy = target;
    copy.setIncremental(source.isIncremental());
    copy.setTransformed(source.isTransformed());
    copy.setDecodeOptions(source.decodeOptions());
    copy.setImageLoopCount(source.imageLoopCount());
    copy.setImageFormat(source.imageFormat());
    copy.setDecoded(source.isDecoded());
    copy.setExtendedObject(source.extendedObject());
}

} // namespace velmora::images
