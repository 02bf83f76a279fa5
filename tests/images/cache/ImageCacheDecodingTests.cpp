#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/cache/ImageCacheDecoding.h"
#include "images/coders/ImageCoderHelper.h"

#include <gtest/gtest.h>

using namespace velmora::images;
using namespace velmora::images::test;

namespace {

// An animated kind that takes no data at all.
class RefusingAnimatedClass : public AnimatedImageClass {
public:
    Image imageWithData(const QByteArray&, double, const DecodeOptions&) const override { return {}; }
    bool isInstance(const Image&) const override { return false; }
};

} // namespace

TEST(ImageCacheDecoding, OptionsFromAnEmptyContextComeFromTheKey) {
    const auto options = decodeOptionsFromContext({}, 0, QStringLiteral("https://e.com/a.png"));
    EXPECT_EQ(options.firstFrameOnly.valueOr(true), false);
    EXPECT_EQ(options.scaleFactor.valueOr(0), 1.0);
    EXPECT_EQ(options.fileExtensionHint.valueOr(QString()), QStringLiteral("png"));
    EXPECT_TRUE(options.scaleDownLimitBytes.isAbsent());
    EXPECT_TRUE(options.thumbnailPixelSize.isAbsent());
    EXPECT_EQ(decodeOptionsFromContext({}, 0, QStringLiteral("a@3x.png")).scaleFactor.valueOr(0), 3.0);
}

TEST(ImageCacheDecoding, ContextEntriesWinOverStartingOptionsAndBadScalesFallBack) {
    RemoteImageContext context;
    DecodeOptions start;
    start.scaleFactor = 3.0;
    context.imageDecodeOptions = start;
    EXPECT_EQ(decodeOptionsFromContext(context, 0, QStringLiteral("plain.png")).scaleFactor.valueOr(0), 1.0);

    context.imageScaleFactor = 0.5;
    EXPECT_EQ(decodeOptionsFromContext(context, 0, QStringLiteral("a@2x.png")).scaleFactor.valueOr(0), 2.0);
    context.imageScaleFactor = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(decodeOptionsFromContext(context, 0, QStringLiteral("a@2x.png")).scaleFactor.valueOr(0), 2.0);

    EXPECT_EQ(decodeOptionsFromContext({}, RemoteImageScaleDownLargeImages, QStringLiteral("k"))
                  .scaleDownLimitBytes.valueOr(0),
              ImageCoderHelper::defaultScaleDownLimitBytes());
    context.imageScaleDownLimitBytes = quint64(1234);
    EXPECT_EQ(decodeOptionsFromContext(context, RemoteImageScaleDownLargeImages, QStringLiteral("k"))
                  .scaleDownLimitBytes.valueOr(0),
              1234u);

    context.imageTypeIdentifierHint = QStringLiteral("public.png");
    const auto hinted =
        decodeOptionsFromContext(context, RemoteImageDecodeFirstFrameOnly, QStringLiteral("a.jpg"));
    EXPECT_TRUE(hinted.fileExtensionHint.isAbsent());
    EXPECT_EQ(hinted.firstFrameOnly.valueOr(false), true);
}

TEST(ImageCacheDecoding, OptionsWrittenBackIntoAContext) {
    RemoteImageContext context;
    RemoteImageOptions options = RemoteImageDecodeFirstFrameOnly | RemoteImageLowPriority;
    DecodeOptions decode;
    decode.firstFrameOnly = false;
    decode.scaleFactor = 2.0;
    decode.fileExtensionHint = QStringLiteral("png");
    contextFromDecodeOptions(context, options, decode);
    EXPECT_EQ(options, RemoteImageOptions(RemoteImageLowPriority));
    EXPECT_EQ(context.imageScaleFactor.valueOr(0), 2.0);
    EXPECT_EQ(context.imageTypeIdentifierHint.valueOr(QString()), QStringLiteral("public.png"));
    EXPECT_TRUE(context.imageThumbnailPixelSize.isAbsent());

    decode.fileExtensionHint = QStringLiteral("nosuchformat");
    contextFromDecodeOptions(context, options, decode);
    EXPECT_TRUE(context.imageTypeIdentifierHint.isAbsent());
}

TEST(ImageCacheDecoding, DecodesWithTheRegistryAndTheAnimatedClassRules) {
    const auto png = encoded(paintedBitmap(8, true), "png");
    const auto image = imageCacheDecodeImageData(png, QStringLiteral("a@2x.png"), 0, {});
    ASSERT_TRUE(image);
    EXPECT_EQ(image.scale(), 2.0);
    ASSERT_TRUE(image.decodeOptions());
    EXPECT_EQ(image.decodeOptions()->scaleFactor.valueOr(0), 2.0);

    RemoteImageContext context;
    context.animatedImageClass = std::make_shared<const RefusingAnimatedClass>();
    EXPECT_TRUE(imageCacheDecodeImageData(png, QStringLiteral("a.png"), 0, context));
    EXPECT_FALSE(
        imageCacheDecodeImageData(png, QStringLiteral("a.png"), RemoteImageMatchAnimatedImageClass, context));
    // First frame only: the animated kind is not asked at all.
    EXPECT_TRUE(imageCacheDecodeImageData(
        png, QStringLiteral("a.png"), RemoteImageMatchAnimatedImageClass | RemoteImageDecodeFirstFrameOnly,
        context));
    EXPECT_FALSE(imageCacheDecodeImageData(QByteArray(), QStringLiteral("a.png"), 0, {}));
}
