#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/core/VectorImageSource.h"

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <memory>
#include <optional>

namespace velmora::images {

// One page of a PDF document as a vector image, drawn at whatever size it is drawn by the PDF
// drawing process (VectorRenderHost), within its budget of time: a page that costs more is no
// drawing, and no page waits for another.
class PdfVectorImageSource : public VectorImageSource {
public:
    // Null when the data is no PDF, has no such page, the page's box is empty, or drawing it
    // would cost more than VectorDrawingCost allows.
    static std::shared_ptr<PdfVectorImageSource> create(const QByteArray& data, int pageIndex = 0);

    ImageFormat format() const override { return ImageFormat::PDF; }
    QSizeF size() const override { return m_pageSize; }
    void render(QPainter& painter, const QRectF& target) const override;
    QByteArray documentData() const override { return m_data; }

    // The page rendered into a bitmap of this pixel size (stretched to it); null when the size
    // exceeds the pixel budget or the drawing its budget of time.
    QImage renderPage(const QSize& pixelSize) const;
    // A page drawn as it fits (see VectorRenderProtocol::Fit), in one request: its size in points,
    // the size it is drawn at, and its pixels. Nothing when the data is refused as create()
    // refuses it, or the drawing is given up.
    struct Drawing {
        QSizeF page;
        QSizeF size;
        QImage bitmap;
    };
    static std::optional<Drawing> drawFitted(const QByteArray& data, int pageIndex,
                                             const VectorRenderProtocol::Fit& fit);
    // The page's size in points, empty when the data is no PDF or the page is missing.
    static QSizeF pageSize(const QByteArray& data, int pageIndex);
    // Whether the data declares media boxes and every one of them has no area. A renderer
    // answers such a page with a letter-sized one, so the boxes are read from the bytes themselves.
    static bool declaresOnlyEmptyBoxes(const QByteArray& data);
    // Whether the page tree, as far as its nodes stand in the bytes uncompressed, leads back to
    // a node it came from (every object with a /Kids array counts as a node). Read in one pass,
    // in time linear in the data. Such a document is no image.
    static bool pageTreeHasCycle(const QByteArray& data);

private:
    PdfVectorImageSource(QByteArray data, int pageIndex, QSizeF pageSize);
    // The page's size, after the cheap refusals; empty when there is no such page with a box.
    static QSizeF load(const QByteArray& data, int pageIndex);
    // Whether the cheap refusals, each in time linear in the data, let the data through.
    static bool passesCheapRefusals(const QByteArray& data, int pageIndex);

    QByteArray m_data;
    int m_pageIndex = 0;
    QSizeF m_pageSize;
};

} // namespace velmora::images
