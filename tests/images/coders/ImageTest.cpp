#include "images/core/Image.h"
#include "images/coders/AnimatedImageCoder.h"
#include "images/coders/ProgressiveImageCoder.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/VectorImageSource.h"

#include <QPainter>

#include <gtest/gtest.h>

using namespace velmora::images;

TEST(ImageTest, APlainImageReadsTheDefaults) {
    Image image(QImage(4, 2, QImage::Format_ARGB32));
    EXPECT_EQ(image.imageLoopCount(), 0u);
    EXPECT_EQ(image.imageFrameCount(), 1u);
    EXPECT_FALSE(image.isAnimated());
    EXPECT_FALSE(image.isDecoded());
    EXPECT_FALSE(image.isIncremental());
    EXPECT_FALSE(image.isTransformed());
    EXPECT_FALSE(image.isThumbnail());
    EXPECT_FALSE(image.isVector());
    EXPECT_FALSE(image.decodeOptions().has_value());
    EXPECT_FALSE(image.extendedObject().has_value());
    EXPECT_EQ(image.imageFormat(), ImageFormat::Undefined);
    EXPECT_EQ(image.memoryCost(), 4u * 4u * 2u);
}

TEST(ImageTest, ScaleSetsThePointSizeAndBelowOneCountsAsOne) {
    Image image(QImage(200, 100, QImage::Format_RGB32), 2.0);
    EXPECT_EQ(image.size(), QSizeF(100, 50));
    EXPECT_EQ(image.bitmap().devicePixelRatio(), 2.0);
    EXPECT_EQ(Image(QImage(10, 10, QImage::Format_RGB32), 0.5).scale(), 1.0);
}

TEST(ImageTest, StoredCostWinsEvenWhenZero) {
    Image image(QImage(10, 10, QImage::Format_ARGB32));
    image.setMemoryCost(0);
    EXPECT_EQ(image.memoryCost(), 0u);
}

TEST(ImageTest, ThumbnailNeedsBothSidesAboveZero) {
    Image image(QImage(10, 10, QImage::Format_ARGB32));
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(64, 0);
    image.setDecodeOptions(options);
    EXPECT_FALSE(image.isThumbnail());
    options.thumbnailPixelSize = QSizeF(64, 64);
    image.setDecodeOptions(options);
    EXPECT_TRUE(image.isThumbnail());
}

TEST(ImageTest, CopiesShareMetadataAndCopyImageMetadataCopiesIt) {
    Image source(QImage(10, 10, QImage::Format_ARGB32));
    Image alias = source;
    alias.setDecoded(true);
    alias.setImageFormat(ImageFormat::PNG);
    alias.setImageLoopCount(3);
    alias.setExtendedObject(QByteArray("extra"));
    EXPECT_TRUE(source.isDecoded());

    Image target(QImage(5, 5, QImage::Format_ARGB32));
    copyImageMetadata(source, target);
    EXPECT_TRUE(target.isDecoded());
    EXPECT_EQ(target.imageFormat(), ImageFormat::PNG);
    EXPECT_EQ(target.imageLoopCount(), 3u);
    EXPECT_EQ(target.extendedObject(), QByteArray("extra"));

    Image untouched(QImage(5, 5, QImage::Format_ARGB32));
    copyImageMetadata(Image(), untouched);
    copyImageMetadata(source, Image());
    EXPECT_FALSE(untouched.isDecoded());
}

TEST(ImageTest, FieldsTellAbsentNoneAndValueApart) {
    RemoteImageContext context;
    EXPECT_TRUE(context.imageTransformer.isAbsent());
    context.imageTransformer.setNone();
    EXPECT_TRUE(context.imageTransformer.isNone());
    EXPECT_TRUE(context.imageTransformer.isPresent());
    context.imageScaleFactor = 2.0;
    EXPECT_EQ(context.imageScaleFactor.valueOr(1.0), 2.0);
    context.imageScaleFactor.clear();
    EXPECT_EQ(context.imageScaleFactor.valueOr(1.0), 1.0);
}

namespace {

// A vector source that counts its renderings.
class CountingVectorSource : public velmora::images::VectorImageSource {
public:
    explicit CountingVectorSource(QSizeF size) : m_size(size) {}
    velmora::images::ImageFormat format() const override { return velmora::images::ImageFormat::SVG; }
    QSizeF size() const override { return m_size; }
    void render(QPainter& painter, const QRectF& target) const override {
        ++renders;
        painter.fillRect(target, Qt::red);
    }
    QByteArray documentData() const override { return {}; }
    mutable int renders = 0;

private:
    QSizeF m_size;
};

} // namespace

TEST(ImageTest, AVectorImageRendersAtTheDrawnSizeAndKeepsItUntilTheSizeChanges) {
    // A document declaring 30000 by 30000 points, drawn as a 40 point avatar on a 2x screen.
    const auto source = std::make_shared<CountingVectorSource>(QSizeF(30000, 30000));
    const velmora::images::Image image(source);
    const QImage drawn = image.bitmap(QSizeF(40, 40), 2.0);
    EXPECT_EQ(drawn.size(), QSize(80, 80));
    EXPECT_EQ(drawn.devicePixelRatio(), 2.0);
    EXPECT_EQ(drawn.deviceIndependentSize(), QSizeF(40, 40));
    EXPECT_EQ(image.bitmap(QSizeF(40, 40), 2.0).cacheKey(), drawn.cacheKey());
    EXPECT_EQ(source->renders, 1);
    EXPECT_EQ(image.bitmap(QSizeF(20, 20), 2.0).size(), QSize(40, 40));
    EXPECT_EQ(source->renders, 2);
    // A bitmap image is what it is at any drawn size.
    QImage pixels(8, 8, QImage::Format_ARGB32);
    pixels.fill(Qt::blue);
    EXPECT_EQ(velmora::images::Image(pixels).bitmap(QSizeF(100, 100), 3.0).size(), QSize(8, 8));
}

TEST(ImageTest, AVectorImageIsNeverRenderedBeyondThePixelBudget) {
    velmora::images::setPixelBudget(100 * 100);
    const auto source = std::make_shared<CountingVectorSource>(QSizeF(30000, 15000));
    const velmora::images::Image image(source);
    // Its whole canvas, and a drawn size beyond the budget, come out smaller, in proportion,
    // and still stand for the size asked.
    const QImage whole = image.bitmap();
    const QImage drawn = image.bitmap(QSizeF(3000, 1500), 1.0);
    const QImage enormous = image.bitmap(QSizeF(1e300, 1e300), 1.0);
    velmora::images::setPixelBudget(0);
    EXPECT_LE(qint64(enormous.width()) * enormous.height(), 100 * 100);
    EXPECT_LE(qint64(whole.width()) * whole.height(), 100 * 100);
    EXPECT_NEAR(whole.width(), 2 * whole.height(), 2);
    EXPECT_LE(qint64(drawn.width()) * drawn.height(), 100 * 100);
    EXPECT_NEAR(drawn.deviceIndependentSize().width(), 3000, 1);
    EXPECT_TRUE(image.bitmap(QSizeF(-1, 10), 1.0).isNull());
}
