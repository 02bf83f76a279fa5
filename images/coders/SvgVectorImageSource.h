#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <memory>
#include <optional>

namespace velmora::images {

// An SVG document from outside as a vector image, drawn at whatever size it is drawn by the
// vector drawing process (VectorRenderHost), within its budget of time: the document is filtered
// (SvgDocumentFilter) and read by QtSvg only there, so neither a hostile document's cost nor a
// crash reaches the app, and quitting never waits for a drawing. Every road by which an SVG
// document from outside is drawn goes through here.
class SvgVectorImageSource : public VectorImageSource {
public:
    // Null when the drawing process refuses the document (the filter does, QtSvg cannot read
    // what it writes, the canvas has a zero side, or reading it costs more than its budget).
    static std::shared_ptr<SvgVectorImageSource> create(const QByteArray& document);
    ~SvgVectorImageSource() override;

    ImageFormat format() const override { return ImageFormat::SVG; }
    // The document's canvas in points.
    QSizeF size() const override { return m_size; }
    void render(QPainter& painter, const QRectF& target) const override;
    // The document as it came; the drawing process filters it each time it reads it.
    QByteArray documentData() const override { return m_data; }

    // The canvas drawn into a bitmap of this pixel size (stretched to it); null when the size
    // exceeds the pixel budget or the drawing its budget of time.
    QImage renderCanvas(const QSize& pixelSize) const;

    // A document drawn at once as `fit` fits its canvas, without a source kept: its canvas in
    // points, the size it is drawn at and its bitmap, in one request to the drawing process.
    struct Drawing {
        QSizeF canvas;
        QSizeF size;
        QImage bitmap;
    };
    // Nothing when the drawing process refuses the document (as create() says) or gives up the
    // drawing.
    static std::optional<Drawing> drawFitted(const QByteArray& document,
                                             const VectorRenderProtocol::Fit& fit);

private:
    SvgVectorImageSource(QByteArray data, QSizeF size);

    QByteArray m_data;
    QSizeF m_size;
};

} // namespace velmora::images
