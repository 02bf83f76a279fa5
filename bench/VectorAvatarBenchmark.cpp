// A plain vector avatar drawn at 60 px through the avatar road (the coders registry with a
// thumbnail size, as an avatar view asks for it), beside a bare render of the same document in
// this process: the SVG by QSvgRenderer, the PDF by Poppler through the same QPainter backend.
// The road draws both in the drawing process. What is compared is the road's own cost, the
// checks, the filter, the hop to the drawing process and the composing, not one renderer against
// another.
#include "BenchMain.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/core/DecodeOptions.h"
#include "tests/support/PdfDocuments.h"

#include <benchmark/benchmark.h>
#include <poppler-qt6.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <vector>

namespace {

using namespace velmora::images;
using velmora::test::pdfOf;

constexpr int side = 60;

// A head and shoulders in a circle, of curves and fills, as avatars are drawn.
const QByteArray& plainSvg() {
    static const QByteArray data =
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="60" height="60" viewBox="0 0 60 60">
<circle cx="30" cy="30" r="30" fill="#4a90d9"/>
<circle cx="30" cy="24" r="11" fill="#f1d3b3"/>
<path d="M10 54 C12 40 20 36 30 36 C40 36 48 40 50 54 Z" fill="#2d4f7c"/>
<path d="M19 22 C19 12 41 12 41 22 C37 17 23 17 19 22 Z" fill="#5b3a1e"/>
<rect x="26" y="36" width="8" height="4" fill="#f1d3b3"/>
</svg>)";
    return data;
}

// The same drawing as the SVG, in PDF's coordinates (y up).
const QByteArray& plainPdf() {
    static const QByteArray data = [] {
        const QByteArray content =
            "0.29 0.56 0.85 rg 60 30 m 60 46.6 46.6 60 30 60 c 13.4 60 0 46.6 0 30 c "
            "0 13.4 13.4 0 30 0 c 46.6 0 60 13.4 60 30 c f\n"
            "0.95 0.83 0.70 rg 41 36 m 41 42.1 36.1 47 30 47 c 23.9 47 19 42.1 19 36 c "
            "19 29.9 23.9 25 30 25 c 36.1 25 41 29.9 41 36 c f\n"
            "0.18 0.31 0.49 rg 10 6 m 12 20 20 24 30 24 c 40 24 48 20 50 6 c h f\n"
            "0.36 0.23 0.12 rg 19 38 m 19 48 41 48 41 38 c 37 43 23 43 19 38 c h f\n"
            "0.95 0.83 0.70 rg 26 20 8 4 re f\n";
        return pdfOf(
            {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Contents 4 0 R >>",
             "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"});
    }();
    return data;
}

// Avatars of many people: the document with a comment of its own after its end, so that
// nothing one drawing loaded or parsed is of use to the next.
std::vector<QByteArray> variants(const QByteArray& data) {
    std::vector<QByteArray> all;
    for (int i = 0; i < 64; ++i) {
        all.push_back(data + (data.startsWith("%PDF") ? "% " : "<!-- ") + QByteArray::number(i) +
                      (data.startsWith("%PDF") ? "\n" : " -->\n"));
    }
    return all;
}

void avatarRoad(benchmark::State& state, const QByteArray& data) {
    auto manager = ImageCodersManager::sharedManager();
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(side, side);
    const std::vector<QByteArray> documents = variants(data);
    std::size_t next = 0;
    for (auto _ : state) {
        Image image = manager->decodedImageWithData(documents[next++ % documents.size()], options);
        if (image.isNull()) {
            state.SkipWithError("the avatar was not drawn");
            break;
        }
        benchmark::DoNotOptimize(image);
    }
}

void BM_SvgAvatarRoad(benchmark::State& state) {
    avatarRoad(state, plainSvg());
}

void BM_SvgBareQSvgRenderer(benchmark::State& state) {
    const std::vector<QByteArray> documents = variants(plainSvg());
    std::size_t next = 0;
    for (auto _ : state) {
        QSvgRenderer renderer(documents[next++ % documents.size()]);
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter, QRectF(0, 0, side, side));
        painter.end();
        benchmark::DoNotOptimize(image);
    }
}

void BM_PdfAvatarRoad(benchmark::State& state) {
    avatarRoad(state, plainPdf());
}

void BM_PdfBarePoppler(benchmark::State& state) {
    const std::vector<QByteArray> documents = variants(plainPdf());
    std::size_t next = 0;
    for (auto _ : state) {
        const auto document = Poppler::Document::loadFromData(documents[next++ % documents.size()]);
        document->setRenderBackend(Poppler::Document::QPainterBackend);
        document->setRenderHint(Poppler::Document::Antialiasing);
        document->setRenderHint(Poppler::Document::TextAntialiasing);
        document->setRenderHint(Poppler::Document::IgnorePaperColor);
        const auto page = document->page(0);
        const QSizeF points = page->pageSizeF();
        QImage image = page->renderToImage(72.0 * side / points.width(), 72.0 * side / points.height());
        benchmark::DoNotOptimize(image);
    }
}

// Each side many times over, all four interleaved in a random order, the medians compared;
// a sample is a fifth of a second of drawings (some hundreds), so a moment's noise on the
// machine cannot move a ratio bound at one and a half.
constexpr int repetitions = 15;
BENCHMARK(BM_SvgAvatarRoad)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_SvgBareQSvgRenderer)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_PdfAvatarRoad)->Repetitions(repetitions)->MinTime(0.2);
BENCHMARK(BM_PdfBarePoppler)->Repetitions(repetitions)->MinTime(0.2);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    // As the app registers it, so that SVG avatars decode.
    ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
    Poppler::setDebugErrorFunction([](const QString&, const QVariant&) {}, QVariant());
    velmora::bench::Bounds bounds;
    // Both roads draw in the drawing process, so their wall time is compared. A plain SVG avatar
    // is some 60 microseconds of QtSvg's work; the road adds to it the filter's pass over the
    // document (written anew before QtSvg reads it) and two requests to the process (the canvas,
    // then its pixels), each a write, a wake-up of the other process and a read, which on a busy
    // machine cost about as much as the drawing each (3.7 times at a load of 20 on 8 cores).
    // Hence four and a half times the bare render, where a PDF page's heavier drawing leaves
    // room for one and a half.
    bounds.timeRatio("plain SVG avatar at 60 px: avatar road / QSvgRenderer", "BM_SvgAvatarRoad",
                     "BM_SvgBareQSvgRenderer", 4.5);
    bounds.timeRatio("plain PDF avatar at 60 px: avatar road / Poppler in process", "BM_PdfAvatarRoad",
                     "BM_PdfBarePoppler", 1.5);
    return velmora::bench::runInterleaved(argc, argv, bounds);
}
