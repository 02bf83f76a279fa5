#include "images/coders/vector-render/SvgDocumentRenderer.h"

#include "images/coders/SvgDocumentFilter.h"

#include <QPainter>
#include <QSvgRenderer>

namespace velmora::images {

SvgDocumentRenderer::SvgDocumentRenderer() = default;

SvgDocumentRenderer::~SvgDocumentRenderer() = default;

VectorRenderProtocol::Answer SvgDocumentRenderer::answer(const VectorRenderProtocol::Request& request) {
    using Status = VectorRenderProtocol::Status;
    VectorRenderProtocol::Answer answer;
    if (!m_renderer || request.document != m_data) {
        m_renderer.reset();
        m_data = request.document;
        const QByteArray filtered = SvgDocumentFilter::withoutExternalReferences(m_data);
        if (!filtered.isEmpty()) {
            m_renderer = std::make_unique<QSvgRenderer>(filtered);
        }
    }
    // An SVG has one page: its canvas.
    if (!m_renderer || !m_renderer->isValid() || request.page != 0) {
        return answer;
    }
    const QSize canvas = m_renderer->defaultSize();
    if (canvas.width() <= 0 || canvas.height() <= 0) {
        return answer;
    }
    answer.pageSize = QSizeF(canvas);
    answer.status = Status::Drawn;
    QSize pixels = request.pixels;
    if (request.fit) {
        const auto fitted = VectorRenderProtocol::fitted(answer.pageSize, *request.fit);
        if (!fitted) {
            answer.status = Status::NoPage;
            return answer;
        }
        pixels = fitted->pixels;
    }
    if (pixels.isEmpty()) {
        return answer;
    }
    // Stretched to the pixels asked for, as a page is: the asking side chose them for the canvas.
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        answer.status = Status::NoPage;
        return answer;
    }
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    m_renderer->render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    painter.end();
    answer.image = image;
    return answer;
}

} // namespace velmora::images
