#include "images/coders/AnimatedFrameSource.h"

#include "images/coders/ApngFrameSource.h"
#include "images/coders/GifFrameSource.h"
#include "images/coders/HeifSupport.h"
#include "images/coders/StillFrameSource.h"
#include "images/coders/WebPSupport.h"

#include <QPainter>

#include <atomic>

namespace velmora::images {

namespace {
// A 1024 x 1024 canvas: 4 MB, redrawn in a few milliseconds.
constexpr quint64 defaultCompositionPixels = 1024u * 1024u;
std::atomic<quint64> compositionOverride{0};
} // namespace

quint64 AnimatedFrameSource::compositionPixelBudget() {
    const quint64 set = compositionOverride.load(std::memory_order_relaxed);
    return set > 0 ? set : defaultCompositionPixels;
}

void AnimatedFrameSource::setCompositionPixelBudget(quint64 pixels) {
    compositionOverride.store(pixels, std::memory_order_relaxed);
}

bool AnimatedFrameSource::fitsCompositionBudget(const QSize& canvas) {
    return canvas.width() > 0 && canvas.height() > 0 &&
           quint64(canvas.width()) * quint64(canvas.height()) <= compositionPixelBudget();
}

QImage AnimatedFrameSource::drawnScaled(const QImage& pixels, const QPoint& offset, const QSize& canvas,
                                        const QSize& size) {
    QImage result(size, QImage::Format_ARGB32_Premultiplied);
    if (result.isNull() || canvas.isEmpty()) {
        return {};
    }
    result.fill(Qt::transparent);
    const double xScale = double(size.width()) / canvas.width();
    const double yScale = double(size.height()) / canvas.height();
    QPainter painter(&result);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(
        QRectF(offset.x() * xScale, offset.y() * yScale, pixels.width() * xScale, pixels.height() * yScale),
        pixels);
    return result;
}

std::shared_ptr<AnimatedFrameSource> AnimatedFrameSource::create(ImageFormat format, const QByteArray& data) {
    switch (format) {
    case ImageFormat::GIF:
        return GifFrameSource::create(data);
    case ImageFormat::PNG:
        return ApngFrameSource::create(data);
    case ImageFormat::WebP:
        return WebPFrameSource::create(data);
    case ImageFormat::HEIC:
    case ImageFormat::HEIF: {
        QImage image = HeifSupport::decode(data);
        if (image.isNull()) {
            return nullptr;
        }
        return std::make_shared<StillFrameSource>(std::move(image));
    }
    default:
        return nullptr;
    }
}

} // namespace velmora::images
