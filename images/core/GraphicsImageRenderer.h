#pragma once

#include "images/core/GraphicsImageRendererFormat.h"
#include "images/core/Image.h"

#include <QSizeF>

#include <functional>

class QPainter;

namespace velmora::images {

// Draws into an off-screen bitmap of a size in points at the format's scale; the painter the
// actions get works in points.
class GraphicsImageRenderer {
public:
    explicit GraphicsImageRenderer(const QSizeF& size, GraphicsImageRendererFormat format =
                                                           GraphicsImageRendererFormat::preferredFormat());

    const QSizeF& size() const { return m_size; }
    const GraphicsImageRendererFormat& format() const { return m_format; }

    // A null image when the size makes no pixels.
    Image imageWithActions(const std::function<void(QPainter&)>& actions) const;

private:
    QSizeF m_size;
    GraphicsImageRendererFormat m_format;
};

// Drawing contexts kept per thread, for code that draws in steps: begin pushes a new bitmap
// context (a scale of 0 means the primary screen's), the current one is drawn into, its image is
// taken, and end pops it. Begin does nothing for a size without pixels, and end then pops nothing.
bool graphicsBeginImageContext(bool opaque, const QSizeF& size, double scale);
QPainter* graphicsCurrentContext();
Image graphicsImageFromCurrentContext();
void graphicsEndImageContext();

// The primary screen's device pixel ratio, 1 without a screen.
double mainScreenScale();

} // namespace velmora::images
