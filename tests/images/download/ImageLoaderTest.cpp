#include "images/download/ImageLoader.h"
#include "images/animation/AnimatedImageClass.h"
#include "images/cache/RemoteImageCacheKeyFilter.h"
#include "images/coders/ProgressiveImageCoder.h"
#include "images/download/RemoteImageDownloaderOperation.h"

#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QImage>

using namespace velmora::images;
using velmora::test::LoopbackImageServer;

namespace {

const QUrl imageUrl(QStringLiteral("https://example.test/avatar@2x.png"));

// An animated kind that takes data only when told to, and counts its preloads.
class FakeAnimatedClass : public AnimatedImageClass {
public:
    explicit FakeAnimatedClass(bool accepts) : m_accepts(accepts) {}
    Image imageWithData(const QByteArray&, double scale, const DecodeOptions&) const override {
        if (!m_accepts) {
            return {};
        }
        QImage frame(3, 3, QImage::Format_ARGB32);
        frame.fill(Qt::green);
        return Image(frame, scale);
    }
    bool isInstance(const Image&) const override { return true; }
    void preloadAllFrames(const Image&) const override { ++preloads; }
    mutable int preloads = 0;

private:
    bool m_accepts;
};

// Counts the incremental coders it makes; each answers a 1x1 image once data came.
class CountingProgressiveCoder : public ProgressiveImageCoder {
public:
    bool canDecodeFromData(const QByteArray&) override { return true; }
    Image decodedImageWithData(const QByteArray&, const DecodeOptions&) override { return {}; }
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }
    bool canIncrementalDecodeFromData(const QByteArray&) override { return true; }
    std::shared_ptr<ProgressiveImageCoder> createIncrementalCoder(const DecodeOptions&) override {
        ++created;
        return std::make_shared<CountingProgressiveCoder>();
    }
    void updateIncrementalData(const QByteArray& data, bool) override { m_size = data.size(); }
    Image incrementalDecodedImageWithOptions(const DecodeOptions&) override {
        QImage pixel(1, 1, QImage::Format_ARGB32);
        return m_size > 0 ? Image(pixel) : Image();
    }
    int created = 0;

private:
    qsizetype m_size = 0;
};

} // namespace

TEST(ImageLoaderTest, decodesWithTheScaleOfTheKeyAndForceDecodesUnlessAvoided) {
    const QByteArray png = LoopbackImageServer::png(20, 10);
    const Image image = imageLoaderDecodeImageData(png, imageUrl, 0, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(image.scale(), 2.0);
    ASSERT_TRUE(image.decodeOptions());
    EXPECT_EQ(image.decodeOptions()->fileExtensionHint.valueOr({}), "png");

    RemoteImageContext context;
    context.imageForceDecodePolicy = ImageForceDecodePolicy::Always;
    EXPECT_TRUE(imageLoaderDecodeImageData(png, imageUrl, 0, &context).isDecoded());
    EXPECT_FALSE(imageLoaderDecodeImageData(png, imageUrl, RemoteImageAvoidDecodeImage, &context).isDecoded());

    context.cacheKeyFilter = std::static_pointer_cast<AbstractRemoteImageCacheKeyFilter>(
        RemoteImageCacheKeyFilter::cacheKeyFilterWithBlock([](const QUrl&) { return QStringLiteral("plain-key"); }));
    EXPECT_EQ(imageLoaderDecodeImageData(png, imageUrl, 0, &context).scale(), 1.0);
    EXPECT_FALSE(imageLoaderDecodeImageData("junk", imageUrl, 0, nullptr));
}

TEST(ImageLoaderTest, theAnimatedClassIsTriedFirstUnlessOnlyTheFirstFrameIsWanted) {
    const QByteArray png = LoopbackImageServer::png(20, 10);
    auto accepting = std::make_shared<FakeAnimatedClass>(true);
    RemoteImageContext context;
    context.animatedImageClass = std::shared_ptr<const AnimatedImageClass>(accepting);
    EXPECT_EQ(imageLoaderDecodeImageData(png, imageUrl, RemoteImagePreloadAllFrames, &context).pixelSize(), QSize(3, 3));
    EXPECT_EQ(accepting->preloads, 1);
    EXPECT_EQ(imageLoaderDecodeImageData(png, imageUrl, RemoteImageDecodeFirstFrameOnly, &context).pixelSize(),
              QSize(20, 10));

    context.animatedImageClass = std::shared_ptr<const AnimatedImageClass>(std::make_shared<FakeAnimatedClass>(false));
    EXPECT_EQ(imageLoaderDecodeImageData(png, imageUrl, 0, &context).pixelSize(), QSize(20, 10));
    EXPECT_FALSE(imageLoaderDecodeImageData(png, imageUrl, RemoteImageMatchAnimatedImageClass, &context));
}

TEST(ImageLoaderTest, theProgressiveCoderIsChosenOnceAndPartialImagesAreMarked) {
    auto coder = std::make_shared<CountingProgressiveCoder>();
    RemoteImageContext context;
    context.imageCoder = std::static_pointer_cast<ImageCoder>(coder);
    RemoteImageDownloaderOperation operation(ImageRequest{}, {}, 0);
    const Image partial = imageLoaderDecodeProgressiveImageData("ab", imageUrl, false, operation, 0, &context);
    const Image final = imageLoaderDecodeProgressiveImageData("abcd", imageUrl, true, operation, 0, &context);
    EXPECT_EQ(coder->created, 1);
    ASSERT_TRUE(imageLoaderGetProgressiveCoder(operation));
    ASSERT_TRUE(partial);
    EXPECT_TRUE(partial.isIncremental());
    EXPECT_FALSE(final.isIncremental());
}
