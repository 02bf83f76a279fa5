#include "images/coders/ImageSVGCoder.h"
#include "images/core/RemoteImageContext.h"

#include <gtest/gtest.h>

using namespace velmora::images;

namespace {

QByteArray svg(int width, int height) {
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\">"
                          "<rect width=\"%1\" height=\"%2\" fill=\"#ff0000\"/></svg>\n")
        .arg(width)
        .arg(height)
        .toUtf8();
}

DecodeOptions thumbnail(QSizeF size, bool preserve) {
    DecodeOptions options;
    options.thumbnailPixelSize = size;
    options.preserveAspectRatio = preserve;
    return options;
}

} // namespace

TEST(ImageSVGCoderTest, ClaimsDataEndingInTheClosingTagOnly) {
    auto coder = ImageSVGCoder::sharedCoder();
    EXPECT_TRUE(coder->canDecodeFromData(svg(10, 10)));
    EXPECT_FALSE(coder->canDecodeFromData(svg(10, 10) + QByteArray(150, ' ')));
    EXPECT_FALSE(coder->canDecodeFromData(QByteArray()));
    EXPECT_TRUE(coder->canEncodeToFormat(ImageFormat::SVG));
    EXPECT_FALSE(coder->canEncodeToFormat(ImageFormat::PNG));
}

TEST(ImageSVGCoderTest, BitmapsFitOrFillTheAskedSize) {
    auto coder = ImageSVGCoder::sharedCoder();
    const QByteArray document = svg(200, 100);
    const Image fitted = coder->decodedImageWithData(document, thumbnail(QSizeF(64, 64), true));
    EXPECT_EQ(fitted.size(), QSizeF(64, 32));
    EXPECT_EQ(fitted.imageFormat(), ImageFormat::SVG);
    EXPECT_FALSE(fitted.isVector());

    const Image stretched = coder->decodedImageWithData(document, thumbnail(QSizeF(64, 64), false));
    EXPECT_EQ(stretched.size(), QSizeF(64, 64));
    const QImage pixels = stretched.bitmap();
    EXPECT_EQ(QColor(pixels.pixel(pixels.width() - 1, pixels.height() - 1)).red(), 255);

    auto context = std::make_shared<RemoteImageContext>();
    context->svgImageSize = QSizeF(50, 0);
    DecodeOptions options;
    options.remoteImageContext = context;
    EXPECT_EQ(coder->decodedImageWithData(document, options).size(), QSizeF(50, 25));
}

TEST(ImageSVGCoderTest, VectorImagesWriteBackAndBitmapsDoNot) {
    auto coder = ImageSVGCoder::sharedCoder();
    const QByteArray document = svg(200, 100);
    const Image vector = coder->decodedImageWithData(document, {});
    ASSERT_TRUE(vector.isVector());
    EXPECT_EQ(vector.size(), QSizeF(200, 100));
    EXPECT_EQ(vector.imageFormat(), ImageFormat::SVG);
    // What is written back is the document as it came: it is read again only by the drawing
    // process, through the filter.
    EXPECT_EQ(coder->encodedDataWithImage(vector, ImageFormat::SVG, {}), document);

    auto context = std::make_shared<RemoteImageContext>();
    context->svgPrefersBitmap = true;
    DecodeOptions options;
    options.remoteImageContext = context;
    const Image bitmap = coder->decodedImageWithData(document, options);
    EXPECT_FALSE(bitmap.isVector());
    EXPECT_EQ(bitmap.size(), QSizeF(200, 100));
    EXPECT_TRUE(coder->encodedDataWithImage(bitmap, ImageFormat::SVG, {}).isEmpty());
    EXPECT_TRUE(coder->decodedImageWithData("<svg></svg>", {}).isNull());
}

TEST(ImageSVGCoderTest, AHugeCanvasIsRenderedWithinTheByteLimit) {
    const QByteArray document = svg(100000, 50000);
    DecodeOptions options;
    options.scaleDownLimitBytes = 4 * 1000 * 1000;
    auto context = std::make_shared<RemoteImageContext>();
    context->svgPrefersBitmap = true;
    options.remoteImageContext = context;
    const Image image = ImageSVGCoder::sharedCoder()->decodedImageWithData(document, options);
    ASSERT_FALSE(image.isNull());
    EXPECT_LE(quint64(image.pixelSize().width()) * quint64(image.pixelSize().height()) * 4,
              4u * 1000 * 1000 + 4096);
    EXPECT_NEAR(double(image.pixelSize().width()) / image.pixelSize().height(), 2.0, 0.01);
}

TEST(ImageSVGCoderTest, ABitmapNeverTakesMoreThanThePixelBudgetWhateverTheLimitAsked) {
    setPixelBudget(100 * 100);
    DecodeOptions options;
    // The caller's byte limit is far above the budget: the budget decides.
    options.scaleDownLimitBytes = quint64(1) << 32;
    auto context = std::make_shared<RemoteImageContext>();
    context->svgPrefersBitmap = true;
    options.remoteImageContext = context;
    const Image image = ImageSVGCoder::sharedCoder()->decodedImageWithData(svg(4000, 2000), options);
    setPixelBudget(0);
    ASSERT_FALSE(image.isNull());
    EXPECT_LE(qint64(image.pixelSize().width()) * image.pixelSize().height(), 100 * 100);
    EXPECT_GE(qint64(image.pixelSize().width()) * image.pixelSize().height(), 90 * 90);
}
