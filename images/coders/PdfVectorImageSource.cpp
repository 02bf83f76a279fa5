#include "images/coders/PdfVectorImageSource.h"

#include <QBuffer>
#include <QPainter>
#include <QPdfDocument>
#include <QRegularExpression>

#include <cmath>
#include <mutex>

namespace velmora::images {

namespace {

// The PDF library behind QtPdf is not safe to enter from two threads at once.
std::mutex& pdfMutex() {
    static std::mutex mutex;
    return mutex;
}

struct LoadedDocument {
    QBuffer buffer;
    QPdfDocument document;

    explicit LoadedDocument(const QByteArray& data) {
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        document.load(&buffer);
    }
    bool ok() const { return document.status() == QPdfDocument::Status::Ready; }
};

// QtPdf answers a page whose media box has no area with a letter-sized page, so the declared
// boxes are read from the document itself: when every one it declares is empty, so is the page.
bool declaredBoxesAreEmpty(const QByteArray& data) {
    static const QRegularExpression box(
        QStringLiteral(R"(/MediaBox\s*\[\s*(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s*\])"));
    bool found = false;
    auto matches = box.globalMatch(QString::fromLatin1(data));
    while (matches.hasNext()) {
        const auto match = matches.next();
        found = true;
        const double width = std::abs(match.captured(3).toDouble() - match.captured(1).toDouble());
        const double height = std::abs(match.captured(4).toDouble() - match.captured(2).toDouble());
        if (width > 0 && height > 0) {
            return false;
        }
    }
    return found;
}

} // namespace

PdfVectorImageSource::PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize)
    : m_data(std::move(data)), m_pageIndex(pageIndex), m_pageSize(pageSize) {}

std::shared_ptr<PdfVectorImageSource> PdfVectorImageSource::create(const QByteArray& data, int pageIndex) {
    const QSizeF size = pageSize(data, pageIndex);
    if (size.isEmpty()) {
        return nullptr;
    }
    return std::shared_ptr<PdfVectorImageSource>(new PdfVectorImageSource(data, pageIndex, size));
}

QSizeF PdfVectorImageSource::pageSize(const QByteArray& data, int pageIndex) {
    if (data.isEmpty() || pageIndex < 0) {
        return {};
    }
    std::lock_guard lock(pdfMutex());
    LoadedDocument loaded(data);
    if (!loaded.ok() || pageIndex >= loaded.document.pageCount()) {
        return {};
    }
    const QSizeF size = loaded.document.pagePointSize(pageIndex);
    if (!(size.width() > 0) || !(size.height() > 0) || declaredBoxesAreEmpty(data)) {
        return {};
    }
    return size;
}

QImage PdfVectorImageSource::renderPage(const QByteArray& data, int pageIndex, const QSize& pixelSize) {
    if (pixelSize.isEmpty() || data.isEmpty()) {
        return {};
    }
    std::lock_guard lock(pdfMutex());
    LoadedDocument loaded(data);
    if (!loaded.ok() || pageIndex < 0 || pageIndex >= loaded.document.pageCount()) {
        return {};
    }
    return loaded.document.render(pageIndex, pixelSize);
}

QImage PdfVectorImageSource::renderPage(const QSize& pixelSize) const {
    return renderPage(m_data, m_pageIndex, pixelSize);
}

void PdfVectorImageSource::render(QPainter& painter, const QRectF& target) const {
    const QRectF device = painter.transform().mapRect(target);
    const QSize pixels(std::max(1, int(std::ceil(device.width()))),
                       std::max(1, int(std::ceil(device.height()))));
    const QImage page = renderPage(pixels);
    if (!page.isNull()) {
        painter.drawImage(target, page);
    }
}

} // namespace velmora::images
