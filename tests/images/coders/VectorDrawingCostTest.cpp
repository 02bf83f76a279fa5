#include "images/coders/VectorDrawingCost.h"
#include "images/coders/ImageSVGCoder.h"
#include "tests/support/PdfDocuments.h"

#include <zlib.h>

#include <gtest/gtest.h>

using namespace velmora::images;
using velmora::test::deflated;
using velmora::test::pdfOf;

namespace {

QByteArray stream(const QByteArray& dictionary, const QByteArray& body) {
    return "1 0 obj\n<< " + dictionary + " /Length " + QByteArray::number(body.size()) + " >>\nstream\n" +
           body + "\nendstream\nendobj\n";
}

} // namespace

TEST(VectorDrawingCostTest, PdfDashesAreCountedThroughCompressionScaleAndGraphicsStates) {
    const QByteArray line("0 0 m 1000 0 l S\n");
    // A thousand dashes along one line, however it is stored.
    const auto plain = VectorDrawingCost::measurePdf(stream("", "[0.5 0.5] 0 d " + line));
    ASSERT_TRUE(plain);
    EXPECT_NEAR(plain->dashes, 1000, 1);
    const auto flate =
        VectorDrawingCost::measurePdf(stream("/Filter /FlateDecode", deflated("[1] 0 d " + line)));
    ASSERT_TRUE(flate);
    EXPECT_NEAR(flate->dashes, 1000, 1);
    // Drawn a hundred times larger, it has a hundred times the dashes, until the state is restored.
    const auto scaled = VectorDrawingCost::measurePdf(
        stream("", "q 100 0 0 100 0 0 cm [1] 0 d " + line + "Q [1] 0 d " + line));
    ASSERT_TRUE(scaled);
    EXPECT_NEAR(scaled->dashes, 101000, 100);
    // A dash a graphics state sets counts too.
    const auto state = VectorDrawingCost::measurePdf("<< /Type /ExtGState /D [[0.01] 0] >>\n" +
                                                     stream("", "/G0 gs " + line));
    ASSERT_TRUE(state);
    EXPECT_NEAR(state->dashes, 100000, 10);
    // Solid lines have none.
    EXPECT_EQ(VectorDrawingCost::measurePdf(stream("", line))->dashes, 0);
}

TEST(VectorDrawingCostTest, PdfContentThatCannotBeReadHasNoKnownCost) {
    EXPECT_FALSE(VectorDrawingCost::measurePdf(stream("/Filter /ASCIIHexDecode", "302030206d>")));
    EXPECT_FALSE(VectorDrawingCost::measurePdf(stream("/Filter /FlateDecode", "not deflated at all")));
    // More content than is read.
    const QByteArray huge(VectorDrawingCost::maxPdfContentBytes + 1, ' ');
    EXPECT_FALSE(VectorDrawingCost::measurePdf(stream("/Filter /FlateDecode", deflated(huge))));
    // Pictures are not drawing.
    EXPECT_TRUE(VectorDrawingCost::measurePdf(stream("/Subtype /Image /Filter /ASCIIHexDecode", "00>")));
    EXPECT_TRUE(VectorDrawingCost::measurePdf(stream("/Filter /DCTDecode", "\xFF\xD8\xFF\xD9")));
}

TEST(VectorDrawingCostTest, PdfFormsMultiplyWhatTheyDraw) {
    // One form of 1,000 segments drawn 1,000 times from the page.
    QByteArray form;
    for (int i = 0; i < 1000; ++i) {
        form += "0 0 m\n";
    }
    QByteArray page;
    for (int i = 0; i < 1000; ++i) {
        page += "/F0 Do\n";
    }
    const auto cost =
        VectorDrawingCost::measurePdf(stream("/Type /XObject /Subtype /Form", form) + stream("", page));
    ASSERT_TRUE(cost);
    EXPECT_GE(cost->segments, 1000.0 * 1000.0);
}

TEST(VectorDrawingCostTest, AnSvgOfTooManyElementsIsNoImage) {
    QByteArray many("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\">");
    for (qsizetype i = 0; i < VectorDrawingCost::maxSvgElements; ++i) {
        many += "<path d=\"M0 0L100 100\" stroke=\"#000\"/>";
    }
    many += "</svg>\n";
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(60, 60);
    EXPECT_TRUE(ImageSVGCoder::sharedCoder()->decodedImageWithData(many, options).isNull());
    EXPECT_TRUE(ImageSVGCoder::sharedCoder()->decodedImageWithData(many, {}).isNull());
    EXPECT_FALSE(
        ImageSVGCoder::sharedCoder()
            ->decodedImageWithData("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">"
                                   "<path d=\"M0 0L10 10\" stroke=\"#000\"/></svg>\n",
                                   options)
            .isNull());
}
