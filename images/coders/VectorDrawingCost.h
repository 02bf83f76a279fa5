#pragma once

#include <QByteArray>

#include <optional>

namespace velmora::images {

// What drawing a vector document would cost, read from its bytes before a renderer sees them:
// a renderer cannot be stopped once it draws, and a page of a few finely dashed lines, or of a
// million paths, keeps it busy for seconds. A document over the bound is no image.
class VectorDrawingCost {
public:
    VectorDrawingCost() = delete;

    struct Pdf {
        // Path segments drawn (moves, lines, curves, rectangles, closes), and dashes stroked.
        double segments = 0;
        double dashes = 0;
    };
    // Segments and dashes one page may draw, counted over every content stream of the file
    // (and multiplied by the forms it draws, each of which may draw all of them again).
    static constexpr double maxPdfSegments = 200000;
    static constexpr double maxPdfDashes = 100000;
    // Bytes of content streams read, once inflated.
    static constexpr qsizetype maxPdfContentBytes = 8 * 1024 * 1024;
    // Streams looked at.
    static constexpr int maxPdfStreams = 10000;

    // The drawing of the PDF's content streams; nothing when one of them cannot be read (a
    // filter other than Flate on drawing, damage, more content than is read), so its cost is
    // unknown.
    static std::optional<Pdf> measurePdf(const QByteArray& data);
    static bool pdfWithinBound(const QByteArray& data);

    // Elements an SVG document may hold: SvgDocumentFilter counts them on what it reads, so the
    // bound holds on every road an SVG document takes.
    static constexpr qsizetype maxSvgElements = 20000;
};

} // namespace velmora::images
