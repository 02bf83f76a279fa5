#include "images/core/Image.h"

#include "images/core/AbstractAnimatedImage.h"
#include "images/core/AnimatedImageProvider.h"
#include "images/core/VectorImageSource.h"

#include <QImageReader>
#include <QPainter>

#include <atomic>

#include <climits>
#include <cmath>
#include <limits>
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

    // The last rendering of a vector image and the pixel size it was asked for.
    mutable std::mutex renderMutex;
    QSize renderedFor;
    QImage rendered;
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

namespace {

// The vector source drawn into a bitmap of the wanted pixel size (the drawn size times the
// ratio), or of the largest size of its proportions within the pixel budget; the bitmap's own
// ratio keeps it the drawn size either way.
QImage renderVector(const VectorImageSource& source, const QSizeF& wantedPixels, qreal ratio) {
    const QSize pixels = sizeWithinPixelBudget(wantedPixels);
    if (pixels.isEmpty()) {
        return {};
    }
    QImage rendered(pixels, QImage::Format_ARGB32_Premultiplied);
    if (rendered.isNull()) {
        return {};
    }
    rendered.fill(Qt::transparent);
    {
        QPainter painter(&rendered);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        source.render(painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    }
    rendered.setDevicePixelRatio(pixels.width() == int(wantedPixels.width())
                                     ? ratio
                                     : ratio * double(pixels.width()) / wantedPixels.width());
    return rendered;
}

} // namespace

QImage Image::bitmap() const {
    if (!m_data) {
        return {};
    }
    if (!m_data->vector) {
        return m_data->bitmap;
    }
    return bitmap(size(), m_data->scale);
}

QImage Image::bitmap(const QSizeF& drawnSize, qreal devicePixelRatio) const {
    if (!m_data) {
        return {};
    }
    if (!m_data->vector) {
        return m_data->bitmap;
    }
    const qreal ratio = (std::isfinite(devicePixelRatio) && devicePixelRatio > 0) ? devicePixelRatio : 1.0;
    const QSizeF wanted(std::ceil(drawnSize.width() * ratio), std::ceil(drawnSize.height() * ratio));
    if (!(wanted.width() >= 1) || !(wanted.height() >= 1) || !std::isfinite(wanted.width()) ||
        !std::isfinite(wanted.height())) {
        return {};
    }
    // Sizes beyond int are never rendered at; the budget brings them down first.
    const QSize key(int(std::min(wanted.width(), double(INT_MAX))),
                    int(std::min(wanted.height(), double(INT_MAX))));
    std::lock_guard lock(m_data->renderMutex);
    if (m_data->renderedFor != key || m_data->rendered.isNull()) {
        m_data->rendered = renderVector(*m_data->vector, wanted, ratio);
        m_data->renderedFor = key;
    }
    return m_data->rendered;
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

namespace {
std::atomic<quint64> budgetOverride{0};
} // namespace

quint64 pixelBudget() {
    if (const quint64 set = budgetOverride.load(std::memory_order_relaxed); set > 0) {
        return set;
    }
    // Qt's limit is in megabytes; 0 there means none, which is no budget for outside data.
    const int megabytes = QImageReader::allocationLimit();
    return quint64(megabytes > 0 ? megabytes : 256) * 1024u * 1024u / 4u;
}

void setPixelBudget(quint64 pixels) {
    budgetOverride.store(pixels, std::memory_order_relaxed);
}

bool fitsPixelBudget(qint64 width, qint64 height) {
    if (width <= 0 || height <= 0 || width > std::numeric_limits<int>::max() ||
        height > std::numeric_limits<int>::max()) {
        return false;
    }
    return quint64(width) * quint64(height) <= pixelBudget();
}

QSize sizeWithinPixelBudget(const QSizeF& wanted) {
    const double width = wanted.width();
    const double height = wanted.height();
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height)) {
        return {};
    }
    const double budget = double(pixelBudget());
    double factor = 1.0;
    if (width * height > budget) {
        factor = std::sqrt(budget / (width * height));
    }
    // A side clamped to 1 may still step over the budget: the longer side gives way.
    // Brought down, sides round down; else up, as a drawing of a fractional size covers it.
    const auto side = [factor](double length) {
        return quint64(std::max(1.0, factor < 1.0 ? std::floor(length * factor) : std::ceil(length)));
    };
    quint64 w = side(width);
    quint64 h = side(height);
    const quint64 pixels = pixelBudget();
    if (w * h > pixels) {
        if (w >= h) {
            w = std::max<quint64>(1, pixels / h);
        } else {
            h = std::max<quint64>(1, pixels / w);
        }
    }
    if (!fitsPixelBudget(qint64(std::min<quint64>(w, quint64(INT_MAX) + 1)),
                         qint64(std::min<quint64>(h, quint64(INT_MAX) + 1)))) {
        return {};
    }
    return QSize(int(w), int(h));
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
