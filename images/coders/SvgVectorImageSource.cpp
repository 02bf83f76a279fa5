#include "images/coders/SvgVectorImageSource.h"

#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/Image.h"

#include <QPainter>

#include <cmath>

namespace velmora::images {

SvgVectorImageSource::SvgVectorImageSource(QByteArray data, QSizeF size)
    : m_data(std::move(data)), m_size(size) {}

SvgVectorImageSource::~SvgVectorImageSource() = default;

std::shared_ptr<SvgVectorImageSource> SvgVectorImageSource::create(const QByteArray& document) {
    if (document.isEmpty()) {
        return nullptr;
    }
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document = document;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn) {
        return nullptr;
    }
    return std::shared_ptr<SvgVectorImageSource>(new SvgVectorImageSource(document, answer->pageSize));
}

QImage SvgVectorImageSource::renderCanvas(const QSize& pixelSize) const {
    if (pixelSize.isEmpty() || !fitsPixelBudget(pixelSize)) {
        return {};
    }
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document = m_data;
    request.pixels = pixelSize;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn) {
        return {};
    }
    return answer->image;
}

std::optional<SvgVectorImageSource::Drawing>
SvgVectorImageSource::drawFitted(const QByteArray& document, const VectorRenderProtocol::Fit& fit) {
    if (document.isEmpty()) {
        return std::nullopt;
    }
    VectorRenderProtocol::Request request;
    request.kind = VectorRenderProtocol::Kind::Svg;
    request.document = document;
    request.fit = fit;
    const auto answer = VectorRenderHost::ask(request);
    if (!answer || answer->status != VectorRenderProtocol::Status::Drawn || answer->image.isNull()) {
        return std::nullopt;
    }
    // The answer's pixels are the fit of its canvas (the host refuses any other).
    const auto fitted = VectorRenderProtocol::fitted(answer->pageSize, fit);
    if (!fitted) {
        return std::nullopt;
    }
    return Drawing{answer->pageSize, fitted->size, answer->image};
}

void SvgVectorImageSource::render(QPainter& painter, const QRectF& target) const {
    // Drawn at the pixels the target covers on the device, so it stays sharp at any size.
    const QRectF device = painter.transform().mapRect(target);
    const QSize pixels(std::max(1, int(std::ceil(device.width()))),
                       std::max(1, int(std::ceil(device.height()))));
    const QImage canvas = renderCanvas(pixels);
    if (!canvas.isNull()) {
        painter.drawImage(target, canvas);
    }
}

} // namespace velmora::images
