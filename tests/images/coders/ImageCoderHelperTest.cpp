#include "tests/images/support/TestImages.h"

#include "images/coders/ImageCoderHelper.h"
#include "images/core/GraphicsImageRenderer.h"

#include <gtest/gtest.h>

using namespace velmora::images;
using namespace velmora::images::testing;

TEST(ImageCoderHelperTest, FittingSizes) {
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(200, 100), QSizeF(50, 50), true, false), QSizeF(50, 25));
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(20, 10), QSizeF(50, 50), true, false), QSizeF(20, 10));
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(20, 10), QSizeF(50, 50), false, true), QSizeF(50, 50));
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(0, 0), 1000, 4, 1), QSizeF(1, 1));
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(100, 100), 400, 4, 0), QSizeF(10, 10));
    // A zero side or zero bytes per pixel never divides by zero: the size is kept.
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(0, 100), 400, 4, 1), QSizeF(0, 100));
    EXPECT_EQ(ImageCoderHelper::scaledSize(QSizeF(100, 100), 400, 0, 1), QSizeF(100, 100));
}

TEST(ImageCoderHelperTest, ScaleDownDecisionAndTheDefaultLimit) {
    EXPECT_TRUE(ImageCoderHelper::shouldScaleDownImagePixelSize(QSizeF(2, 1), 3));
    EXPECT_FALSE(ImageCoderHelper::shouldScaleDownImagePixelSize(QSizeF(1, 1), 3));
    EXPECT_FALSE(ImageCoderHelper::shouldScaleDownImagePixelSize(QSizeF(0, 100), 3));
    const quint64 before = ImageCoderHelper::defaultScaleDownLimitBytes();
    EXPECT_EQ(before, 94371840u);
    ImageCoderHelper::setDefaultScaleDownLimitBytes(3);
    EXPECT_EQ(ImageCoderHelper::defaultScaleDownLimitBytes(), before);
}

TEST(ImageCoderHelperTest, LargeImagesAreScaledDownAndSmallOnesOnlyDecoded) {
    const Image large(QImage(10000, 10000, QImage::Format_RGB888));
    large.isNull();
    Image tagged = large;
    tagged.setImageFormat(ImageFormat::PNG);
    const Image scaled = ImageCoderHelper::decodedAndScaledDownImage(large, 0);
    EXPECT_NEAR(scaled.pixelSize().width(), 4857, 1);
    EXPECT_NEAR(scaled.pixelSize().height(), 4857, 1);
    EXPECT_TRUE(scaled.isDecoded());
    EXPECT_EQ(scaled.imageFormat(), ImageFormat::PNG);

    const Image small(QImage(100, 100, QImage::Format_RGB888));
    const Image decoded = ImageCoderHelper::decodedAndScaledDownImage(small, 0);
    EXPECT_EQ(decoded.pixelSize(), QSize(100, 100));
    EXPECT_TRUE(decoded.isDecoded());
    // Decoded images are never decoded again, whatever the policy.
    EXPECT_EQ(ImageCoderHelper::decodedImage(decoded, ImageForceDecodePolicy::Always), decoded);
}

TEST(ImageCoderHelperTest, ImagesWithoutPixelsAreLeftAsTheyAre) {
    const Image empty(QImage(0, 0, QImage::Format_RGB32));
    EXPECT_EQ(ImageCoderHelper::decodedAndScaledDownImage(empty, 16), empty);
    EXPECT_EQ(ImageCoderHelper::decodedImage(empty, ImageForceDecodePolicy::Always), empty);
    EXPECT_TRUE(ImageCoderHelper::decodedImage(Image()).isNull());
}

TEST(ImageCoderHelperTest, OrientationsRedrawTheBitmap) {
    const QImage source = quadrants(40, 30);
    const QImage six = ImageCoderHelper::createDecoded(source, 6);
    EXPECT_EQ(six.size(), QSize(30, 40));
    EXPECT_EQ(six.pixel(29, 0), source.pixel(0, 0));
    const QImage two = ImageCoderHelper::createDecoded(source, 2);
    EXPECT_EQ(two.size(), QSize(40, 30));
    EXPECT_EQ(two.pixel(39, 0), source.pixel(0, 0));
    EXPECT_EQ(ImageCoderHelper::createScaled(source, source.size()), source);
    EXPECT_TRUE(ImageCoderHelper::createScaled(source, QSize(0, 10)).isNull());
}

TEST(ImageCoderHelperTest, RendererDrawsAtTheFormatsScale) {
    GraphicsImageRendererFormat format;
    format.scale = 2.0;
    const Image image = GraphicsImageRenderer(QSizeF(10, 5), format).imageWithActions([](QPainter& painter) {
        painter.fillRect(QRectF(0, 0, 10, 5), Qt::red);
    });
    EXPECT_EQ(image.pixelSize(), QSize(20, 10));
    EXPECT_EQ(image.size(), QSizeF(10, 5));
    EXPECT_EQ(QColor(image.bitmap().pixel(19, 9)).red(), 255);
    EXPECT_TRUE(GraphicsImageRenderer(QSizeF(0, 5), format).imageWithActions(nullptr).isNull());
    EXPECT_EQ(graphicsCurrentContext(), nullptr);
}
