#pragma once

#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QSizeF>

#include <memory>
#include <mutex>

class QSvgRenderer;

namespace velmora::images {

// An SVG document as a vector image, drawn through QtSvg at whatever size it is drawn.
class SvgVectorImageSource : public VectorImageSource {
public:
    // Null when QtSvg cannot read the data or its canvas has a zero side.
    static std::shared_ptr<SvgVectorImageSource> create(const QByteArray& data);
    ~SvgVectorImageSource() override;

    ImageFormat format() const override { return ImageFormat::SVG; }
    // The document's canvas in points.
    QSizeF size() const override { return m_size; }
    void render(QPainter& painter, const QRectF& target) const override;
    QByteArray documentData() const override { return m_data; }

private:
    SvgVectorImageSource(QByteArray data, std::unique_ptr<QSvgRenderer> renderer);

    QByteArray m_data;
    mutable std::mutex m_mutex;
    std::unique_ptr<QSvgRenderer> m_renderer;
    QSizeF m_size;
};

} // namespace velmora::images
