#include "images/coders/vector-render/PdfPageRenderer.h"

#include "images/coders/vector-render/ProcessCpuClock.h"

#include <poppler-qt6.h>

#include <QElapsedTimer>
#include <QPainter>

#include <cmath>

namespace velmora::images {

namespace {

struct Budget {
    timespec cpuStart = processCpuNow();
    QElapsedTimer wall;
    Budget() { wall.start(); }
    bool cpuSpent() const { return processCpuMsSince(cpuStart) >= VectorRenderProtocol::cpuBudgetMs; }
    bool spent() const { return cpuSpent() || wall.elapsed() >= VectorRenderProtocol::wallBudgetMs; }
};

bool budgetSpent(const QVariant& payload) {
    return reinterpret_cast<const Budget*>(payload.value<quintptr>())->spent();
}

} // namespace

PdfPageRenderer::PdfPageRenderer() {
    // A damaged document may report thousands of faults; nobody reads them.
    Poppler::setDebugErrorFunction([](const QString&, const QVariant&) {}, QVariant());
    // Poppler makes its global settings (font tables, character maps) with the first document and
    // drops them with the last: a document kept for the renderer's life keeps them from being made
    // again for each document, which cost more than drawing a small page.
    m_keeper = Poppler::Document::loadFromData(
        "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
        "2 0 obj << /Type /Pages /Kids [] /Count 0 >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n");
}

PdfPageRenderer::~PdfPageRenderer() = default;

VectorRenderProtocol::Answer PdfPageRenderer::answer(const VectorRenderProtocol::Request& request) {
    using Status = VectorRenderProtocol::Status;
    VectorRenderProtocol::Answer answer;
    if (!m_document || request.document != m_data) {
        m_document.reset();
        m_data = request.document;
        m_document = Poppler::Document::loadFromData(m_data);
        if (m_document) {
            // Drawn through QPainter, whose stroker draws a dash pattern too fine to see as a
            // solid line: Poppler's own rasteriser spends seconds and half a gigabyte on one such
            // stroke, between two checks of the budget.
            m_document->setRenderBackend(Poppler::Document::QPainterBackend);
            m_document->setRenderHint(Poppler::Document::Antialiasing);
            m_document->setRenderHint(Poppler::Document::TextAntialiasing);
            // Drawn over nothing, as a picture is, rather than on white paper.
            m_document->setRenderHint(Poppler::Document::IgnorePaperColor);
        }
    }
    if (!m_document || m_document->isLocked() || request.page >= m_document->numPages()) {
        return answer;
    }
    const std::unique_ptr<Poppler::Page> page = m_document->page(request.page);
    if (!page) {
        return answer;
    }
    const QSizeF size = page->pageSizeF();
    if (!std::isfinite(size.width()) || !std::isfinite(size.height()) || !(size.width() > 0) ||
        !(size.height() > 0)) {
        return answer;
    }
    answer.pageSize = size;
    answer.status = Status::Drawn;
    QSize pixels = request.pixels;
    if (request.fit) {
        const auto fitted = VectorRenderProtocol::fitted(size, *request.fit);
        if (!fitted) {
            answer.status = Status::NoPage;
            return answer;
        }
        pixels = fitted->pixels;
    }
    if (pixels.isEmpty()) {
        return answer;
    }
    const double xResolution = 72.0 * pixels.width() / size.width();
    const double yResolution = 72.0 * pixels.height() / size.height();
    Budget budget;
    QImage image = page->renderToImage(xResolution, yResolution, 0, 0, pixels.width(), pixels.height(),
                                       Poppler::Page::Rotate0, nullptr, nullptr, budgetSpent,
                                       QVariant::fromValue(reinterpret_cast<quintptr>(&budget)));
    if (budget.spent()) {
        // Only the CPU time is the document's cost: the wall time ran out on a busy machine.
        answer.status = budget.cpuSpent() ? Status::OverBudget : Status::OutOfTime;
        return answer;
    }
    if (image.isNull()) {
        answer.status = Status::NoPage;
        return answer;
    }
    if (image.size() != pixels) {
        // Rounding of the resolution may leave a pixel more or less: the asked size is kept.
        QImage fitted(pixels, QImage::Format_ARGB32_Premultiplied);
        fitted.fill(Qt::transparent);
        QPainter painter(&fitted);
        painter.drawImage(QPoint(0, 0), image);
        painter.end();
        image = fitted;
    }
    answer.image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return answer;
}

} // namespace velmora::images
