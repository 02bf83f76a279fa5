#include "images/animation/ImageTransform.h"

#include "images/core/GraphicsImageRenderer.h"
#include "images/core/ImageLibraryLog.h"
#include "images/core/VectorImageSource.h"

#include <QPainter>
#include <QTransform>

#include <cfloat>
#include <cmath>
#include <numbers>
#include <vector>

namespace velmora::images {

namespace {

bool finite(double value) {
    return std::isfinite(value);
}

bool usableRect(const QRectF& rect) {
    return finite(rect.x()) && finite(rect.y()) && finite(rect.width()) && finite(rect.height());
}

GraphicsImageRendererFormat formatFor(const Image& image) {
    GraphicsImageRendererFormat format;
    format.scale = image.scale();
    format.opaque = false;
    return format;
}

void drawWhole(const Image& image, QPainter& painter, const QRectF& target) {
    if (const auto vector = image.vectorSource()) {
        vector->render(painter, target);
        return;
    }
    QImage bitmap = image.bitmap();
    bitmap.setDevicePixelRatio(1.0);
    painter.drawImage(target, bitmap);
}

QImage argb(const Image& image) {
    QImage bitmap = image.bitmap();
    bitmap.setDevicePixelRatio(1.0);
    return bitmap.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

QRectF imageDrawingRect(const QSizeF& imageSize, const QRectF& rect, int scaleMode) {
    const QRectF area = rect.normalized();
    const double width = std::abs(imageSize.width());
    const double height = std::abs(imageSize.height());
    if (scaleMode != 1 && scaleMode != 2) {
        return area;
    }
    if (area.width() < 0.01 || area.height() < 0.01 || width < 0.01 || height < 0.01) {
        return QRectF(area.center(), QSizeF(0, 0));
    }
    const double imageRatio = width / height;
    const double rectRatio = area.width() / area.height();
    const bool byHeight = scaleMode == 1 ? imageRatio < rectRatio : imageRatio >= rectRatio;
    const double scale = byHeight ? area.height() / height : area.width() / width;
    const QSizeF drawn(width * scale, height * scale);
    return QRectF(QPointF(area.center().x() - drawn.width() / 2, area.center().y() - drawn.height() / 2),
                  drawn);
}

void drawImageInRect(const Image& image, QPainter* painter, const QRectF& rect, int scaleMode,
                     bool clipsToBounds) {
    if (image.isNull() || !painter || !usableRect(rect)) {
        return;
    }
    const QRectF target = imageDrawingRect(image.size(), rect, scaleMode);
    if (target.width() <= 0 || target.height() <= 0) {
        return;
    }
    if (!clipsToBounds) {
        drawWhole(image, *painter, target);
        return;
    }
    painter->save();
    painter->setClipRect(rect, Qt::IntersectClip);
    drawWhole(image, *painter, target);
    painter->restore();
}

Image resizedImage(const Image& image, const QSizeF& size, int scaleMode) {
    if (image.isNull() || !(size.width() > 0) || !(size.height() > 0) || !finite(size.width()) ||
        !finite(size.height())) {
        return {};
    }
    return GraphicsImageRenderer(size, formatFor(image)).imageWithActions([&](QPainter& painter) {
        drawImageInRect(image, &painter, QRectF(QPointF(0, 0), size), scaleMode, false);
    });
}

Image croppedImage(const Image& image, const QRectF& rect) {
    if (image.isNull() || !usableRect(rect)) {
        return {};
    }
    const double scale = image.scale();
    const QRectF pixels(rect.x() * scale, rect.y() * scale, rect.width() * scale, rect.height() * scale);
    if (!(pixels.width() > 0) || !(pixels.height() > 0)) {
        return {};
    }
    QImage bitmap = image.bitmap();
    if (bitmap.isNull()) {
        return {};
    }
    const QRect wanted = pixels.toAlignedRect().intersected(QRect(QPoint(0, 0), bitmap.size()));
    if (wanted.isEmpty()) {
        return {};
    }
    bitmap.setDevicePixelRatio(1.0);
    return Image(bitmap.copy(wanted), scale);
}

QPainterPath roundedRectPath(const QRectF& rect, quint64 corners, double radius) {
    QPainterPath path;
    if (!usableRect(rect)) {
        return path;
    }
    const QRectF r = rect.normalized();
    const double limit = std::min(r.width(), r.height()) / 2;
    const double wanted = finite(radius) ? std::max(radius, 0.0) : 0.0;
    const auto cornerRadius = [&](quint64 bit) { return (corners & bit) ? std::min(limit, wanted) : 0.0; };
    const double topLeft = cornerRadius(ImageRectCornerTopLeft);
    const double topRight = cornerRadius(ImageRectCornerTopRight);
    const double bottomLeft = cornerRadius(ImageRectCornerBottomLeft);
    const double bottomRight = cornerRadius(ImageRectCornerBottomRight);

    path.moveTo(r.left() + r.width() / 2, r.top());
    path.lineTo(r.right() - topRight, r.top());
    if (topRight > 0) {
        path.arcTo(QRectF(r.right() - 2 * topRight, r.top(), 2 * topRight, 2 * topRight), 90, -90);
    }
    path.lineTo(r.right(), r.bottom() - bottomRight);
    if (bottomRight > 0) {
        path.arcTo(QRectF(r.right() - 2 * bottomRight, r.bottom() - 2 * bottomRight, 2 * bottomRight,
                          2 * bottomRight),
                   0, -90);
    }
    path.lineTo(r.left() + bottomLeft, r.bottom());
    if (bottomLeft > 0) {
        path.arcTo(QRectF(r.left(), r.bottom() - 2 * bottomLeft, 2 * bottomLeft, 2 * bottomLeft), 270, -90);
    }
    path.lineTo(r.left(), r.top() + topLeft);
    if (topLeft > 0) {
        path.arcTo(QRectF(r.left(), r.top(), 2 * topLeft, 2 * topLeft), 180, -90);
    }
    path.closeSubpath();
    return path;
}

Image roundedCornerImage(const Image& image, double radius, quint64 corners, double borderWidth,
                         const std::optional<QColor>& borderColor) {
    if (image.isNull()) {
        return {};
    }
    radius = finite(radius) ? std::max(radius, 0.0) : 0.0;
    borderWidth = finite(borderWidth) ? std::max(borderWidth, 0.0) : 0.0;
    const QSizeF size = image.size();
    const double scale = image.scale();
    const double half = std::min(size.width(), size.height()) / 2;
    const QRectF whole(QPointF(0, 0), size);
    return GraphicsImageRenderer(size, formatFor(image)).imageWithActions([&](QPainter& painter) {
        if (borderWidth < half) {
            const QPainterPath clip = roundedRectPath(
                whole.adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth), corners, radius);
            painter.save();
            painter.setClipPath(clip);
            drawWhole(image, painter, whole);
            painter.restore();
        }
        if (borderColor && borderWidth > 0 && borderWidth < half) {
            const double inset = (std::floor(borderWidth * scale) + 0.5) / scale;
            const double strokeRadius = radius > scale / 2 ? radius - scale / 2 : 0;
            const QPainterPath stroke =
                roundedRectPath(whole.adjusted(inset, inset, -inset, -inset), corners, strokeRadius);
            QPen pen(*borderColor);
            pen.setWidthF(borderWidth);
            painter.strokePath(stroke, pen);
        }
    });
}

Image rotatedImage(const Image& image, double angle, bool fitSize) {
    if (image.isNull() || !finite(angle)) {
        return {};
    }
    const double width = std::trunc(image.size().width());
    const double height = std::trunc(image.size().height());
    if (width <= 0 || height <= 0) {
        return {};
    }
    // Qt's y axis points down, so a turn that looks counter-clockwise is a negative one here.
    const double degrees = -angle * 180.0 / std::numbers::pi;
    QRectF output(0, 0, width, height);
    if (fitSize) {
        output = QTransform().rotate(degrees).mapRect(output);
    }
    const QSizeF outputSize(std::round(output.width() * 1e6) / 1e6, std::round(output.height() * 1e6) / 1e6);
    return GraphicsImageRenderer(outputSize, formatFor(image)).imageWithActions([&](QPainter& painter) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(outputSize.width() / 2, outputSize.height() / 2);
        painter.rotate(degrees);
        drawWhole(image, painter, QRectF(-width / 2, -height / 2, width, height));
    });
}

Image flippedImage(const Image& image, bool horizontal, bool vertical) {
    if (image.isNull()) {
        return {};
    }
    const double width = std::trunc(image.size().width());
    const double height = std::trunc(image.size().height());
    return GraphicsImageRenderer(image.size(), formatFor(image)).imageWithActions([&](QPainter& painter) {
        if (horizontal) {
            painter.translate(width, 0);
            painter.scale(-1, 1);
        }
        if (vertical) {
            painter.translate(0, height);
            painter.scale(1, -1);
        }
        drawWhole(image, painter, QRectF(0, 0, width, height));
    });
}

Image tintedImage(const Image& image, const QColor& color) {
    if (image.isNull()) {
        return {};
    }
    if (!color.isValid() || color.alphaF() <= FLT_EPSILON) {
        return image;
    }
    const QRectF whole(QPointF(0, 0), image.size());
    return GraphicsImageRenderer(image.size(), formatFor(image)).imageWithActions([&](QPainter& painter) {
        drawWhole(image, painter, whole);
        painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        painter.fillRect(whole, color);
    });
}

std::optional<QColor> colorAtPoint(const Image& image, const QPointF& point) {
    if (image.isNull() || !finite(point.x()) || !finite(point.y())) {
        return std::nullopt;
    }
    const QImage bitmap = argb(image);
    if (bitmap.isNull()) {
        return std::nullopt;
    }
    const qint64 x = point.x() < 0 ? 0 : qint64(point.x());
    const qint64 y = point.y() < 0 ? 0 : qint64(point.y());
    if (x >= bitmap.width() || y >= bitmap.height()) {
        return std::nullopt;
    }
    return QColor::fromRgba(bitmap.pixel(int(x), int(y)));
}

std::optional<QList<QColor>> colorsWithRect(const Image& image, const QRectF& rect) {
    if (image.isNull() || !usableRect(rect)) {
        return std::nullopt;
    }
    const QImage bitmap = argb(image);
    if (bitmap.isNull() || !(rect.width() > 0) || !(rect.height() > 0) || rect.left() < 0 || rect.top() < 0 ||
        rect.right() > bitmap.width() || rect.bottom() > bitmap.height()) {
        return std::nullopt;
    }
    const int left = int(rect.left());
    const int top = int(rect.top());
    const int right = int(std::ceil(rect.right()));
    const int bottom = int(std::ceil(rect.bottom()));
    QList<QColor> colors;
    colors.reserve(qsizetype(right - left) * (bottom - top));
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            colors.append(QColor::fromRgba(bitmap.pixel(x, y)));
        }
    }
    return colors;
}

int blurBoxSize(double pixelRadius) {
    if (!finite(pixelRadius) || pixelRadius - 2.0 < FLT_EPSILON) {
        pixelRadius = 2.0;
    }
    const int size = int(std::floor(pixelRadius * 3.0 * std::sqrt(2 * std::numbers::pi) / 4.0 + 0.5));
    return size | 1;
}

namespace {

// One box pass along rows (or columns) of premultiplied 32-bit pixels, edges extended.
void boxPass(const std::vector<quint32>& source, std::vector<quint32>& target, int width, int height, int box,
             bool alongRows) {
    const int half = box / 2;
    const int lines = alongRows ? height : width;
    const int length = alongRows ? width : height;
    const auto at = [&](int line, int i) {
        const int clamped = std::clamp(i, 0, length - 1);
        return alongRows ? size_t(line) * size_t(width) + size_t(clamped)
                         : size_t(clamped) * size_t(width) + size_t(line);
    };
    for (int line = 0; line < lines; ++line) {
        quint32 sums[4] = {0, 0, 0, 0};
        for (int i = -half; i <= half; ++i) {
            const quint32 pixel = source[at(line, i)];
            for (int c = 0; c < 4; ++c) {
                sums[c] += (pixel >> (8 * c)) & 0xFF;
            }
        }
        for (int i = 0; i < length; ++i) {
            quint32 value = 0;
            for (int c = 0; c < 4; ++c) {
                value |= ((sums[c] + quint32(box) / 2) / quint32(box)) << (8 * c);
            }
            target[at(line, i)] = value;
            const quint32 leaving = source[at(line, i - half)];
            const quint32 entering = source[at(line, i + half + 1)];
            for (int c = 0; c < 4; ++c) {
                sums[c] += ((entering >> (8 * c)) & 0xFF);
                sums[c] -= ((leaving >> (8 * c)) & 0xFF);
            }
        }
    }
}

} // namespace

Image blurredImage(const Image& image, double radius) {
    if (image.isNull() || image.size().width() < 1 || image.size().height() < 1) {
        return {};
    }
    if (!finite(radius) || radius <= FLT_EPSILON) {
        return image;
    }
    QImage bitmap = image.bitmap();
    bitmap.setDevicePixelRatio(1.0);
    bitmap = bitmap.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = bitmap.width();
    const int height = bitmap.height();
    const int box = blurBoxSize(radius * image.scale());
    std::vector<quint32> first(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const quint32*>(bitmap.constScanLine(y));
        std::copy(line, line + width, first.begin() + qsizetype(y) * width);
    }
    std::vector<quint32> second(first.size());
    for (int pass = 0; pass < 3; ++pass) {
        boxPass(first, second, width, height, box, true);
        boxPass(second, first, width, height, box, false);
    }
    QImage result(width, height, QImage::Format_ARGB32_Premultiplied);
    if (result.isNull()) {
        qCInfo(imageLibraryLog) << "Blur could not allocate its result for an image of" << width << "x"
                                << height;
        return {};
    }
    for (int y = 0; y < height; ++y) {
        std::copy(first.begin() + qsizetype(y) * width, first.begin() + qsizetype(y + 1) * width,
                  reinterpret_cast<quint32*>(result.scanLine(y)));
    }
    return Image(result, image.scale());
}

Image filteredImage(const Image& image, const ImageFilter& filter) {
    if (image.isNull() || !filter.apply) {
        return {};
    }
    QImage bitmap = image.bitmap();
    if (bitmap.isNull()) {
        return {};
    }
    bitmap.setDevicePixelRatio(1.0);
    const QImage filtered = filter.apply(bitmap);
    return filtered.isNull() ? Image() : Image(filtered, image.scale());
}

QString hexString(const QColor& color) {
    const QColor rgb = color.toRgb();
    const auto component = [](float value) { return quint32(std::lround(double(value) * 255.0)) & 0xFF; };
    const quint32 value = component(rgb.alphaF()) << 24 | component(rgb.redF()) << 16 |
                          component(rgb.greenF()) << 8 | component(rgb.blueF());
    return QString::asprintf("#%08x", value);
}

} // namespace velmora::images
