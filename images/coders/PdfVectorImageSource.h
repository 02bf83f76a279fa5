#pragma once

#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <memory>

namespace velmora::images {

// One page of a PDF document as a vector image, rendered through QtPdf at whatever size it is
// drawn.
class PdfVectorImageSource : public VectorImageSource {
public:
    // Null when the data is no PDF, has no such page, or the page's box is empty.
    static std::shared_ptr<PdfVectorImageSource> create(const QByteArray& data, int pageIndex = 0);

    ImageFormat format() const override { return ImageFormat::PDF; }
    QSizeF size() const override { return m_pageSize; }
    void render(QPainter& painter, const QRectF& target) const override;
    QByteArray documentData() const override { return m_data; }

    // The page rendered into a bitmap of this pixel size (stretched to it).
    QImage renderPage(const QSize& pixelSize) const;
    // The page's size in points, empty when the data is no PDF or the page is missing.
    static QSizeF pageSize(const QByteArray& data, int pageIndex);
    static QImage renderPage(const QByteArray& data, int pageIndex, const QSize& pixelSize);

private:
    PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize);

    QByteArray m_data;
    int m_pageIndex = 0;
    QSizeF m_pageSize;
};

} // namespace velmora::images
