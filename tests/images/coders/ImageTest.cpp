#include "images/core/Image.h"
#include "images/coders/AnimatedImageCoder.h"
#include "images/coders/ProgressiveImageCoder.h"
#include "images/core/RemoteImageContext.h"

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
