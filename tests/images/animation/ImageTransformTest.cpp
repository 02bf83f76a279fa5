#include "tests/images/support/TestImages.h"

#include "images/animation/ImageBlurTransformer.h"
#include "images/animation/ImageCroppingTransformer.h"
#include "images/animation/ImageFilterTransformer.h"
#include "images/animation/ImageFlippingTransformer.h"
#include "images/animation/ImagePipelineTransformer.h"
#include "images/animation/ImageResizingTransformer.h"
#include "images/animation/ImageRotationTransformer.h"
#include "images/animation/ImageRoundCornerTransformer.h"
#include "images/animation/ImageTintTransformer.h"
#include "images/animation/ImageTransform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

Image opaque(int width, int height, QColor colour = Qt::red) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return Image(image);
}

QRgb at(const Image& image, int x, int y) {
    return image.bitmap().convertToFormat(QImage::Format_ARGB32).pixel(x, y);
}

} // namespace

TEST(ImageTransformTest, ResizeAndDrawingRectangles) {
    EXPECT_TRUE(resizedImage(opaque(10, 10), QSizeF(0, 10), 0).isNull());
    EXPECT_TRUE(resizedImage(opaque(10, 10), QSizeF(-1, 10), 0).isNull());
    EXPECT_TRUE(resizedImage(opaque(10, 10), QSizeF(NAN, 10), 0).isNull());
    EXPECT_EQ(imageDrawingRect(QSizeF(200, 100), QRectF(0, 0, 100, 100), 1), QRectF(0, 25, 100, 50));
    EXPECT_EQ(imageDrawingRect(QSizeF(200, 100), QRectF(0, 0, 100, 100), 2), QRectF(-50, 0, 200, 100));
    const Image fitted = resizedImage(Image(quadrants(200, 100)), QSizeF(100, 100), 1);
    EXPECT_EQ(fitted.pixelSize(), QSize(100, 100));
    EXPECT_EQ(qAlpha(at(fitted, 50, 10)), 0);
    EXPECT_EQ(qAlpha(at(fitted, 50, 50)), 255);
}

TEST(ImageTransformTest, CropInsideAndOutsideTheImage) {
    const Image source(quadrants(20, 20));
    EXPECT_TRUE(croppedImage(source, QRectF(0, 0, 0, 10)).isNull());
    EXPECT_TRUE(croppedImage(source, QRectF(30, 30, 10, 10)).isNull());
    const Image corner = croppedImage(source, QRectF(10, 0, 10, 10));
    EXPECT_EQ(corner.pixelSize(), QSize(10, 10));
    EXPECT_EQ(at(corner, 5, 5), qRgb(0, 255, 0));
    // Partly outside: what lies inside the image.
    EXPECT_EQ(croppedImage(source, QRectF(15, 15, 10, 10)).pixelSize(), QSize(5, 5));
}

TEST(ImageTransformTest, RoundedCornersAndBorders) {
    const Image source = opaque(40, 20);
    const Image rounded = roundedCornerImage(source, 8, ImageRectCornerTopLeft, 0, std::nullopt);
    EXPECT_EQ(qAlpha(at(rounded, 0, 0)), 0);
    EXPECT_EQ(qAlpha(at(rounded, 39, 0)), 255);
    EXPECT_EQ(qAlpha(at(rounded, 0, 19)), 255);
    // A radius beyond half the shorter side is that half.
    const Image capped = roundedCornerImage(source, 1000, ImageRectCornerAllCorners, 0, std::nullopt);
    EXPECT_EQ(qAlpha(at(capped, 20, 10)), 255);
    EXPECT_EQ(qAlpha(at(capped, 20, 0)), 255);
    EXPECT_EQ(qAlpha(at(capped, 1, 1)), 0);
    const Image gone = roundedCornerImage(source, 4, ImageRectCornerAllCorners, 10, QColor(Qt::black));
    for (int x = 0; x < 40; x += 7) {
        EXPECT_EQ(qAlpha(at(gone, x, 10)), 0);
    }
    const Image bordered = roundedCornerImage(source, 0, 0, 2, QColor(Qt::black));
    EXPECT_EQ(at(bordered, 20, 2), qRgb(0, 0, 0));
    EXPECT_EQ(qAlpha(at(bordered, 20, 0)), 0);
    EXPECT_EQ(at(bordered, 20, 10), qRgb(255, 0, 0));
    EXPECT_FALSE(roundedCornerImage(source, NAN, 1, -3, std::nullopt).isNull());
}

TEST(ImageTransformTest, RotationFlipAndTint) {
    const Image source(quadrants(100, 50));
    const Image fitted = rotatedImage(source, std::numbers::pi / 2, true);
    EXPECT_EQ(fitted.pixelSize(), QSize(50, 100));
    // Turned counter-clockwise: the top-right quadrant (green) ends up top-left.
    EXPECT_EQ(qGreen(at(fitted, 10, 10)), 255);
    const Image cut = rotatedImage(source, std::numbers::pi / 2, false);
    EXPECT_EQ(cut.pixelSize(), QSize(100, 50));
    EXPECT_EQ(qAlpha(at(cut, 2, 2)), 0);

    const Image flipped = flippedImage(source, true, false);
    EXPECT_EQ(at(flipped, 10, 10), qRgb(0, 255, 0));
    const Image both = flippedImage(source, true, true);
    EXPECT_EQ(qRed(at(both, 10, 10)), 255);
    EXPECT_EQ(qGreen(at(both, 10, 10)), 255);

    const QColor clear(0, 0, 0, 0);
    EXPECT_EQ(tintedImage(source, clear), source);
    const Image tinted = tintedImage(opaque(4, 4), QColor(0, 0, 255));
    EXPECT_EQ(at(tinted, 2, 2), qRgb(0, 0, 255));
}

TEST(ImageTransformTest, ColoursOfPixels) {
    const Image source(quadrants(4, 4));
    EXPECT_FALSE(colorAtPoint(source, QPointF(4, 0)).has_value());
    EXPECT_EQ(colorAtPoint(source, QPointF(-3, 0)), QColor(255, 0, 0));
    const auto colours = colorsWithRect(source, QRectF(1, 1, 2, 2));
    ASSERT_TRUE(colours.has_value());
    ASSERT_EQ(colours->size(), 4);
    EXPECT_EQ(colours->at(0), QColor(255, 0, 0));
    EXPECT_EQ(colours->at(1), QColor(0, 255, 0));
    EXPECT_EQ(colours->at(2), QColor(0, 0, 255));
    EXPECT_FALSE(colorsWithRect(source, QRectF(3, 3, 2, 2)).has_value());
    EXPECT_EQ(hexString(QColor(255, 0, 0)), "#ffff0000");
    EXPECT_EQ(hexString(QColor::fromRgbF(0.5f, 0.5f, 0.5f)), "#ff808080");
}

TEST(ImageTransformTest, BlurWithABoxOfFive) {
    EXPECT_EQ(blurBoxSize(0.5), 5);
    EXPECT_EQ(blurBoxSize(10), 19);
    QImage dot(21, 21, QImage::Format_ARGB32_Premultiplied);
    dot.fill(Qt::black);
    dot.setPixel(10, 10, qRgb(255, 255, 255));
    const Image source(dot);
    EXPECT_EQ(blurredImage(source, 0), source);
    const Image blurred = blurredImage(source, 0.5);
    // Three box passes of five spread the dot over 13 x 13 pixels, symmetrically.
    const int centre = qRed(at(blurred, 10, 10));
    EXPECT_GT(centre, 0);
    EXPECT_LT(centre, 255);
    EXPECT_EQ(qRed(at(blurred, 4, 10)), qRed(at(blurred, 16, 10)));
    EXPECT_EQ(qRed(at(blurred, 10, 3)), 0);
    EXPECT_GE(qRed(at(blurred, 10, 10)), qRed(at(blurred, 12, 10)));
}

TEST(ImageTransformTest, TransformerKeysAndPipeline) {
    auto resize = ImageResizingTransformer::transformerWithSize(QSizeF(100, 100), 0);
    auto round = ImageRoundCornerTransformer::transformerWithRadius(8, 1, 0, QColor(Qt::black));
    auto pipeline = ImagePipelineTransformer::transformerWithTransformers({resize, round});
    EXPECT_EQ(pipeline->transformerKey(), "VIImageResizingTransformer({100.000000,100.000000},0)-"
                                          "VIImageRoundCornerTransformer(8.000000,1,0.000000,#ff000000)");
    EXPECT_EQ(ImageCroppingTransformer::transformerWithRect(QRectF(1, 2, 3, 4))->transformerKey(),
              "VIImageCroppingTransformer({1.000000,2.000000,3.000000,4.000000})");
    EXPECT_EQ(ImageFlippingTransformer::transformerWithHorizontal(true, false)->transformerKey(),
              "VIImageFlippingTransformer(1,0)");
    EXPECT_EQ(ImageRotationTransformer::transformerWithAngle(0.5, true)->transformerKey(),
              "VIImageRotationTransformer(0.500000,1)");
    EXPECT_EQ(ImageTintTransformer::transformerWithColor(QColor(255, 0, 0))->transformerKey(),
              "VIImageTintTransformer(#ffff0000)");
    EXPECT_EQ(ImageBlurTransformer::transformerWithRadius(2)->transformerKey(),
              "VIImageBlurTransformer(2.000000)");
    auto filter =
        ImageFilterTransformer::transformerWithFilter({QStringLiteral("invert"), [](const QImage& image) {
                                                           QImage inverted =
                                                               image.convertToFormat(QImage::Format_ARGB32);
                                                           inverted.invertPixels();
                                                           return inverted;
                                                       }});
    EXPECT_EQ(filter->transformerKey(), "VIImageFilterTransformer(invert)");
    EXPECT_EQ(at(filter->transformedImageWithImage(opaque(2, 2, Qt::white), {}), 0, 0), qRgb(0, 0, 0));

    const Image result = pipeline->transformedImageWithImage(Image(quadrants(50, 50)), QStringLiteral("key"));
    EXPECT_EQ(result.pixelSize(), QSize(100, 100));
    EXPECT_EQ(qAlpha(at(result, 0, 0)), 0);
    // A later change of a member changes its output, not the pipeline's key.
    resize->setSize(QSizeF(60, 60));
    EXPECT_EQ(pipeline->transformedImageWithImage(Image(quadrants(50, 50)), {}).pixelSize(), QSize(60, 60));
    EXPECT_TRUE(pipeline->transformerKey().contains("100.000000"));
    EXPECT_TRUE(round->transformedImageWithImage(Image(), {}).isNull());
}
