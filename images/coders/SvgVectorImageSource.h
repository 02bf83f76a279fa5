#pragma once

#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QSizeF>

#include <memory>
#include <mutex>

class QSvgRenderer;

namespace velmora::images {

// An SVG document as a vector image, drawn through QtSvg at whatever size it is drawn. Every
// road by which an SVG document is drawn goes through here, so QtSvg never reads bytes that
// SvgDocumentFilter has not written.
class SvgVectorImageSource : public VectorImageSource {
public:
    // The document from outside, filtered; null when the filter refuses it, QtSvg cannot read
    // what it writes, or the canvas has a zero side.
    static std::shared_ptr<SvgVectorImageSource> create(const QByteArray& document);
    ~SvgVectorImageSource() override;

    ImageFormat format() const override { return ImageFormat::SVG; }
    // The document's canvas in points.
    QSizeF size() const override { return m_size; }
    void render(QPainter& painter, const QRectF& target) const override;
    // The document as filtered and drawn.
    QByteArray documentData() const override { return m_data; }

private:
    SvgVectorImageSource(QByteArray data, std::unique_ptr<QSvgRenderer> renderer);

    QByteArray m_data;
    mutable std::mutex m_mutex;
    std::unique_ptr<QSvgRenderer> m_renderer;
    QSizeF m_size;
};

} // namespace velmora::images
