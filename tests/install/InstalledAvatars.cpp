// Copied into an installed tree's bin folder by the install test, beside the app: draws a PDF
// and an SVG avatar through the avatar road, as the installed app would, and says which drawing
// program it found. Exits 0 when both are drawn.
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/DecodeOptions.h"
#include "tests/support/PdfDocuments.h"
#include "tests/support/main/SanitizerDefaults.h"

#include <QGuiApplication>

#include <cstdio>

using namespace velmora::images;

namespace {

bool drawnRed(const QByteArray& data) {
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(60, 60);
    const QImage bitmap = ImageCodersManager::sharedManager()->decodedImageWithData(data, options).bitmap();
    if (bitmap.isNull()) {
        return false;
    }
    const QColor centre = bitmap.pixelColor(bitmap.width() / 2, bitmap.height() / 2);
    return centre.red() > 200 && centre.green() < 60 && centre.blue() < 60;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
    const QByteArray content = "1 0 0 rg 0 0 60 60 re f";
    const QByteArray pdf = velmora::test::pdfOf(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Contents 4 0 R >>",
         "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream"});
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\">"
                           "<rect width=\"60\" height=\"60\" fill=\"#ff0000\"/></svg>\n";
    // Asked twice each: a missing program is said once.
    bool pdfDrawn = false;
    bool svgDrawn = false;
    for (int i = 0; i < 2; ++i) {
        pdfDrawn = drawnRed(pdf);
        svgDrawn = drawnRed(svg);
    }
    std::printf("drawing program: %s\n", qPrintable(VectorRenderHost::programPath()));
    std::printf("PDF avatar %s\nSVG avatar %s\n", pdfDrawn ? "drawn" : "not drawn",
                svgDrawn ? "drawn" : "not drawn");
    return pdfDrawn && svgDrawn ? 0 : 1;
}
