#pragma once

#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <memory>

namespace velmora::images {

// One page of a PDF document as a vector image, rendered through QtPdf at whatever size it is
// drawn. The document is loaded once, when the source is made, and kept with it.
class PdfVectorImageSource : public VectorImageSource {
public:
    // Null when the data is no PDF, has no such page, the page's box is empty, or drawing it
    // would cost more than VectorDrawingCost allows.
    static std::shared_ptr<PdfVectorImageSource> create(const QByteArray& data, int pageIndex = 0);
    ~PdfVectorImageSource() override;

    ImageFormat format() const override { return ImageFormat::PDF; }
    QSizeF size() const override { return m_pageSize; }
    void render(QPainter& painter, const QRectF& target) const override;
    QByteArray documentData() const override { return m_data; }

    // The page rendered into a bitmap of this pixel size (stretched to it); null when the size
    // exceeds the pixel budget.
    QImage renderPage(const QSize& pixelSize) const;
    // The page's size in points, empty when the data is no PDF or the page is missing.
    static QSizeF pageSize(const QByteArray& data, int pageIndex);
    // Whether the data declares media boxes and every one of them has no area. QtPdf answers
    // such a page with a letter-sized one, so the boxes are read from the bytes themselves.
    static bool declaresOnlyEmptyBoxes(const QByteArray& data);
    // Whether the page tree, as far as its nodes stand in the bytes uncompressed, leads back to
    // a node it came from (every object with a /Kids array counts as a node). QtPdf walks such
    // a tree for ever, holding the PDF lock, so it is never handed one.
    static bool pageTreeHasCycle(const QByteArray& data);

private:
    struct Document;
    PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize, std::unique_ptr<Document> document);
    // The loaded document and its page's size; nothing when there is no such page with a box.
    static std::unique_ptr<Document> load(const QByteArray& data, int pageIndex, QSizeF* pageSize);

    QByteArray m_data;
    int m_pageIndex = 0;
    QSizeF m_pageSize;
    std::unique_ptr<Document> m_document;
};

} // namespace velmora::images
