#pragma once

#include "images/core/ImageFormat.h"

#include <QByteArray>
#include <QRectF>
#include <QSizeF>

class QPainter;

namespace velmora::images {

// What stands behind a vector image (a PDF page, an SVG document): it has a size in points,
// draws itself sharply into any rectangle and gives back the document it was made from.
class VectorImageSource {
public:
    virtual ~VectorImageSource() = default;

    virtual ImageFormat format() const = 0;
    virtual QSizeF size() const = 0;
    virtual void render(QPainter& painter, const QRectF& target) const = 0;
    // The document's bytes as they can be written back; empty when the source has none.
    virtual QByteArray documentData() const = 0;
};

} // namespace velmora::images
