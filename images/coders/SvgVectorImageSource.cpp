#include "images/coders/SvgVectorImageSource.h"

#include "images/coders/SvgDocumentFilter.h"

#include <QPainter>
#include <QSvgRenderer>

namespace velmora::images {

SvgVectorImageSource::SvgVectorImageSource(QByteArray data, std::unique_ptr<QSvgRenderer> renderer)
    : m_data(std::move(data)), m_renderer(std::move(renderer)), m_size(m_renderer->defaultSize()) {}

SvgVectorImageSource::~SvgVectorImageSource() = default;

std::shared_ptr<SvgVectorImageSource> SvgVectorImageSource::create(const QByteArray& document) {
    // QtSvg sees a document only once nothing in it points outside its own bytes and what it
    // holds is within the filter's bounds.
    const QByteArray data = SvgDocumentFilter::withoutExternalReferences(document);
    if (data.isEmpty()) {
        return nullptr;
    }
    auto renderer = std::make_unique<QSvgRenderer>(data);
    if (!renderer->isValid()) {
        return nullptr;
    }
    const QSize canvas = renderer->defaultSize();
    if (canvas.width() <= 0 || canvas.height() <= 0) {
        return nullptr;
    }
    // The renderer is made here and used under the source's lock only, from whichever thread
    // draws; it must not belong to a thread that may end first.
    renderer->moveToThread(nullptr);
    return std::shared_ptr<SvgVectorImageSource>(new SvgVectorImageSource(data, std::move(renderer)));
}

void SvgVectorImageSource::render(QPainter& painter, const QRectF& target) const {
    std::lock_guard lock(m_mutex);
    m_renderer->render(&painter, target);
}

} // namespace velmora::images
