#include "tests/images/support/TestImages.h"

#include "images/animation/AnimatedImage.h"
#include "images/animation/ImageFramePool.h"
#include "images/animation/ImageTransform.h"
#include "images/coders/ApngSupport.h"
#include "images/coders/GifEncoder.h"
#include "images/coders/ImageAPNGCoder.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageGIFCoder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

class CountingProvider : public AnimatedImageProvider {
public:
    QByteArray animatedImageData() override { return {}; }
    unsigned animatedImageFrameCount() override { return 8; }
    unsigned animatedImageLoopCount() override { return 0; }
    Image animatedImageFrameAtIndex(unsigned) override { return Image(QImage(2, 2, QImage::Format_RGB32)); }
    double animatedImageDurationAtIndex(unsigned) override { return 0.1; }
};

Image frame() {
    return Image(QImage(2, 2, QImage::Format_RGB32));
}

} // namespace

TEST(AnimationSupportTest, FrameDurationRule) {
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(std::nullopt), 0.1);
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(0.0), 0.1);
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(0.01), 0.1);
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(0.011), 0.011);
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(0.05), 0.05);
    EXPECT_DOUBLE_EQ(ImageIOAnimatedCoder::frameDuration(NAN), 0.1);
}

TEST(AnimationSupportTest, PoolEvictsNeighboursAndKeepsItsLimit) {
    auto provider = std::make_shared<CountingProvider>();
    ImageFramePool pool(provider);
    // Without a limit set, a prefetch over a non-empty buffer drops the two neighbours.
    pool.setFrame(frame(), 2);
    pool.setFrame(frame(), 4);
    pool.setFrame(frame(), 6);
    EXPECT_EQ(pool.currentFrameCount(), 3u);
    auto shared = ImageFramePool::registerProvider(provider);
    shared->setFrame(frame(), 2);
    shared->setFrame(frame(), 4);
    shared->prefetchFrameAtIndex(3);
    EXPECT_TRUE(shared->frameAtIndex(2).isNull());
    EXPECT_TRUE(shared->frameAtIndex(4).isNull());
    ImageFramePool::unregisterProvider(provider.get());

    // A limit set later trims at once; storing keeps the frames nearest the new one.
    pool.setMaxBufferCount(2);
    EXPECT_EQ(pool.currentFrameCount(), 2u);
    pool.setFrame(frame(), 7);
    EXPECT_EQ(pool.currentFrameCount(), 2u);
    EXPECT_FALSE(pool.frameAtIndex(7).isNull());
    pool.setFrame(Image(), 7);
    EXPECT_TRUE(pool.frameAtIndex(7).isNull());
    pool.didReceiveMemoryWarning();
    EXPECT_EQ(pool.currentFrameCount(), 0u);
}

// One animation keeps at most 16 MB of frames of its own, even while all of them together
// are far from their 48 MB: eight frames of 4 MB leave the four nearest the last stored.
TEST(AnimationSupportTest, OnePoolKeepsItsOwnBytesWhileTheTotalHasRoom) {
    auto provider = std::make_shared<CountingProvider>();
    ImageFramePool pool(provider);
    const quint64 before = ImageFramePool::totalBytes();
    constexpr quint64 frameBytes = 4u << 20;
    for (unsigned i = 0; i < 8; ++i) {
        QImage image(1024, 1024, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(int(i), 0, 0));
        ASSERT_EQ(quint64(image.sizeInBytes()), frameBytes);
        pool.setFrame(Image(image), i);
    }
    // Not the total's doing: 32 MB would have been within it.
    ASSERT_LE(before + 8 * frameBytes, quint64(48) << 20);
    EXPECT_LE(pool.currentBytes(), quint64(16) << 20);
    EXPECT_EQ(pool.currentFrameCount(), 4u);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(pool.frameAtIndex(i).isNull(), i < 4) << i;
    }
    EXPECT_EQ(ImageFramePool::totalBytes(), before + pool.currentBytes());
}

TEST(AnimationSupportTest, GifKeepsTransparency) {
    const QByteArray gif =
        GifEncoder::encode({{quadrants(8, 8, true), 0.1}, {quadrants(8, 8, true), 0.1}}, 0);
    const auto coder = ImageGIFCoder::sharedCoder()->createAnimatedCoder(gif, {});
    ASSERT_TRUE(coder);
    const QImage first = coder->animatedImageFrameAtIndex(0).bitmap().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(first.pixel(1, 1)), 255);
    EXPECT_EQ(qRed(first.pixel(1, 1)), 255);
    // The half-transparent quadrant counts as opaque; nothing else was transparent.
    EXPECT_EQ(qAlpha(first.pixel(6, 6)), 255);
    QImage clear(8, 8, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    clear.setPixel(0, 0, qRgba(0, 0, 255, 255));
    const Image still =
        ImageGIFCoder::sharedCoder()->decodedImageWithData(GifEncoder::encode({{clear, 0}}, 0), {});
    const QImage pixels = still.bitmap().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(pixels.pixel(4, 4)), 0);
    EXPECT_EQ(qBlue(pixels.pixel(0, 0)), 255);
}

TEST(AnimationSupportTest, IncrementalApngAndMaximumPixelSize) {
    QList<ApngSupport::Frame> frames;
    for (int i = 0; i < 3; ++i) {
        frames.append({noise(24, 24), {}, 0.1, 0, 0});
    }
    const QByteArray apng = ApngSupport::write(QSize(24, 24), frames, 0);
    auto incremental = ImageAPNGCoder::sharedCoder()->createIncrementalCoder({});
    incremental->updateIncrementalData(apng.left(40), false);
    EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions({}).isNull());
    incremental->updateIncrementalData(apng.left(apng.size() * 2 / 3), false);
    EXPECT_EQ(incremental->incrementalDecodedImageWithOptions({}).pixelSize(), QSize(24, 24));

    const Image animation = ImageAPNGCoder::sharedCoder()->decodedImageWithData(apng, {});
    EncodeOptions smaller;
    smaller.maxPixelSize = QSizeF(12, 12);
    const QByteArray reduced =
        ImageAPNGCoder::sharedCoder()->encodedDataWithImage(animation, ImageFormat::PNG, smaller);
    const auto decoded = ImageAPNGCoder::sharedCoder()->createAnimatedCoder(reduced, {});
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->animatedImageFrameCount(), 3u);
    EXPECT_EQ(decoded->animatedImageFrameAtIndex(2).pixelSize(), QSize(12, 12));
}

TEST(AnimationSupportTest, NamedAnimationsAreDecodedOnceAndKept) {
    QTemporaryDir folder;
    QFile file(folder.filePath("loader@2x.gif"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(GifEncoder::encode({{quadrants(8, 8), 0.1}, {noise(8, 8), 0.1}}, 0));
    file.close();
    const Image first = AnimatedImage::imageNamed("loader.gif", folder.path(), 2);
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(first.scale(), 2.0);
    EXPECT_TRUE(first.isAnimated());
    EXPECT_EQ(AnimatedImage::imageNamed("loader.gif", folder.path(), 2), first);
    EXPECT_TRUE(AnimatedImage::imageNamed("missing.gif", folder.path()).isNull());
    EXPECT_TRUE(AnimatedImage::imageNamed(QString(), folder.path()).isNull());
}

TEST(AnimationSupportTest, UnusableGeometryIsRefusedBeforeDrawing) {
    const Image source(quadrants(10, 10));
    EXPECT_TRUE(rotatedImage(source, NAN, true).isNull());
    EXPECT_TRUE(rotatedImage(source, INFINITY, false).isNull());
    EXPECT_TRUE(croppedImage(source, QRectF(0, 0, INFINITY, 5)).isNull());
    EXPECT_TRUE(resizedImage(source, QSizeF(INFINITY, 5), 1).isNull());
    EXPECT_TRUE(roundedRectPath(QRectF(0, 0, NAN, 5), 1, 2).isEmpty());
    EXPECT_FALSE(roundedRectPath(QRectF(0, 0, 10, 5), 0xF, -4).isEmpty());
    EXPECT_FALSE(colorAtPoint(source, QPointF(NAN, 0)).has_value());
    EXPECT_FALSE(colorsWithRect(source, QRectF(-1, 0, 2, 2)).has_value());
    EXPECT_EQ(blurredImage(source, NAN), source);
    QPainter* nothing = nullptr;
    drawImageInRect(source, nothing, QRectF(0, 0, -5, NAN), 1, true);
}
