#pragma once

#include "images/animation/ImageFilter.h"
#include "images/core/Image.h"

#include <QColor>
#include <QList>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <optional>

class QPainter;

namespace velmora::images {

// Image-to-image operations. Each gives a new image at the source's scale (or the source itself
// where nothing changes) and never alters the source; a failure is a null image. Sizes,
// rectangles and radii that are negative, NaN or infinite are refused (or clamped to 0 where
// a default exists) before anything is drawn.

enum class ImageScaleMode : int { Fill = 0, AspectFit = 1, AspectFill = 2 };

// Corners of a rounded rectangle.
enum ImageRectCorner : quint64 {
    ImageRectCornerTopLeft = 0x1,
    ImageRectCornerTopRight = 0x2,
    ImageRectCornerBottomLeft = 0x4,
    ImageRectCornerBottomRight = 0x8,
    ImageRectCornerAllCorners = 0xF,
};

// The rectangle an image of a size is drawn into inside `rect` by the mode (centred for the
// aspect modes; empty when either side is below 0.01).
QRectF imageDrawingRect(const QSizeF& imageSize, const QRectF& rect, int scaleMode);
void drawImageInRect(const Image& image, QPainter* painter, const QRectF& rect, int scaleMode,
                     bool clipsToBounds);

Image resizedImage(const Image& image, const QSizeF& size, int scaleMode);
// The rectangle is in points from the top-left corner.
Image croppedImage(const Image& image, const QRectF& rect);
Image roundedCornerImage(const Image& image, double radius, quint64 corners, double borderWidth,
                         const std::optional<QColor>& borderColor);
// Angle in radians; a positive angle turns the image counter-clockwise on screen.
Image rotatedImage(const Image& image, double angle, bool fitSize);
Image flippedImage(const Image& image, bool horizontal, bool vertical);
// The colour laid over the opaque parts; a fully transparent colour gives the image itself.
Image tintedImage(const Image& image, const QColor& color);
// The colour of one pixel (pixel coordinates; negative ones count as 0), nothing outside.
std::optional<QColor> colorAtPoint(const Image& image, const QPointF& point);
// The colours of the pixels in the rectangle, row by row; nothing when it is not inside.
std::optional<QList<QColor>> colorsWithRect(const Image& image, const QRectF& rect);
// Three box passes approximating a Gaussian of the radius (in points); the image itself for a
// radius of 0.
Image blurredImage(const Image& image, double radius);
// The box size the blur uses for a radius in pixels (at least 2 counts).
int blurBoxSize(double pixelRadius);
Image filteredImage(const Image& image, const ImageFilter& filter);

QPainterPath roundedRectPath(const QRectF& rect, quint64 corners, double radius);
// "#aarrggbb" of a colour, so opaque red is "#ffff0000".
QString hexString(const QColor& color);

} // namespace velmora::images
