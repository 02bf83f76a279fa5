#include "tests/images/support/TestImages.h"

#include "images/coders/AnimatedFrameSource.h"
#include "images/coders/ApngSupport.h"
#include "images/coders/FramesAnimatedImageProvider.h"
#include "images/coders/GifEncoder.h"
#include "images/coders/ImageAPNGCoder.h"
#include "images/coders/ImageAWebPCoder.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageGIFCoder.h"
#include "images/coders/ImageHEICCoder.h"
#include "images/coders/ImageIOCoder.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

QImage solid(QSize size, QColor colour) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QByteArray gif(const QList<double>& delays, unsigned loopCount = 0) {
    QList<GifEncoder::Frame> frames;
    const QList<QColor> colours{Qt::red, Qt::green, Qt::blue, Qt::yellow};
    for (qsizetype i = 0; i < delays.size(); ++i) {
        frames.append({solid(QSize(8, 8), colours.at(i % colours.size())), delays.at(i)});
    }
    return GifEncoder::encode(frames, loopCount);
}

QRgb pixel(const Image& image, int x, int y) {
    return image.bitmap().convertToFormat(QImage::Format_ARGB32).pixel(x, y);
}

} // namespace

TEST(AnimatedCodersTest, GifDurationsFollowTheMinimumDelayRule) {
    auto coder = ImageGIFCoder::sharedCoder();
    const auto animated = coder->createAnimatedCoder(gif({0.0, 0.01, 0.02, 0.5}, 3), {});
    ASSERT_TRUE(animated);
    EXPECT_EQ(animated->animatedImageFrameCount(), 4u);
    EXPECT_DOUBLE_EQ(animated->animatedImageDurationAtIndex(0), 0.1);
    EXPECT_DOUBLE_EQ(animated->animatedImageDurationAtIndex(1), 0.1);
    EXPECT_DOUBLE_EQ(animated->animatedImageDurationAtIndex(2), 0.02);
    EXPECT_DOUBLE_EQ(animated->animatedImageDurationAtIndex(3), 0.5);
    EXPECT_EQ(animated->animatedImageLoopCount(), 3u);
    EXPECT_EQ(animated->animatedImageDurationAtIndex(4), 0.0);
    EXPECT_TRUE(animated->animatedImageFrameAtIndex(4).isNull());
    EXPECT_EQ(qRed(pixel(animated->animatedImageFrameAtIndex(0), 4, 4)), 255);
    EXPECT_EQ(qBlue(pixel(animated->animatedImageFrameAtIndex(2), 4, 4)), 255);
    // Going back to an earlier frame works too.
    EXPECT_EQ(qGreen(pixel(animated->animatedImageFrameAtIndex(1), 4, 4)), 255);
}

TEST(AnimatedCodersTest, GifWithoutLoopEntryPlaysOnceAndApngForEver) {
    QByteArray data = gif({0.1, 0.1}, 0);
    const qsizetype at = data.indexOf("NETSCAPE2.0");
    ASSERT_GT(at, 3);
    data.remove(at - 3, 3 + 11 + 1 + 3 + 1);
    const auto gifCoder = ImageGIFCoder::sharedCoder()->createAnimatedCoder(data, {});
    ASSERT_TRUE(gifCoder);
    EXPECT_EQ(gifCoder->animatedImageFrameCount(), 2u);
    EXPECT_EQ(gifCoder->animatedImageLoopCount(), 1u);

    QByteArray apng = ApngSupport::write(
        QSize(4, 4),
        {{solid(QSize(4, 4), Qt::red), {}, 0.1, 0, 0}, {solid(QSize(4, 4), Qt::blue), {}, 0.1, 0, 0}}, 0);
    const auto apngCoder = ImageAPNGCoder::sharedCoder()->createAnimatedCoder(apng, {});
    ASSERT_TRUE(apngCoder);
    EXPECT_EQ(apngCoder->animatedImageLoopCount(), 0u);
}

TEST(AnimatedCodersTest, WholeDataDecodesToAnAnimationOrToTheFirstFrame) {
    const QByteArray data = gif({0.1, 0.2, 0.3});
    auto coder = ImageGIFCoder::sharedCoder();
    const Image animated = coder->decodedImageWithData(data, {});
    ASSERT_FALSE(animated.isNull());
    EXPECT_TRUE(animated.isAnimated());
    EXPECT_EQ(animated.imageFrameCount(), 3u);
    EXPECT_EQ(animated.imageFormat(), ImageFormat::GIF);
    EXPECT_EQ(animated.animatedImageData(), data);

    DecodeOptions still;
    still.firstFrameOnly = true;
    still.thumbnailPixelSize = QSizeF(4, 4);
    const Image first = coder->decodedImageWithData(data, still);
    EXPECT_FALSE(first.isAnimated());
    EXPECT_EQ(first.pixelSize(), QSize(4, 4));

    // With a thumbnail every frame is decoded at once, at the thumbnail's size.
    DecodeOptions small;
    small.thumbnailPixelSize = QSizeF(4, 4);
    const Image eager = coder->decodedImageWithData(data, small);
    EXPECT_EQ(eager.imageFrameCount(), 3u);
    const auto frames = ImageCoderHelper::framesFromAnimatedImage(eager);
    ASSERT_TRUE(frames.has_value());
    EXPECT_EQ(frames->at(1).image.pixelSize(), QSize(4, 4));
    EXPECT_DOUBLE_EQ(frames->at(2).duration, 0.3);

    // A still PNG is the APNG coder's too, and stays a still image.
    const Image png = ImageAPNGCoder::sharedCoder()->decodedImageWithData(encode(quadrants(6, 6), "png"), {});
    EXPECT_EQ(png.imageFrameCount(), 1u);
    EXPECT_EQ(png.pixelSize(), QSize(6, 6));
    EXPECT_FALSE(ImageCoderHelper::framesFromAnimatedImage(png).has_value());
}

TEST(AnimatedCodersTest, ApngDisposeAndBlendOpsArePixelExact) {
    const QImage base = solid(QSize(8, 8), QColor(255, 0, 0));
    QImage half(4, 4, QImage::Format_ARGB32);
    half.fill(QColor(0, 0, 255, 0));
    half.setPixel(0, 0, qRgba(0, 0, 255, 255));
    const QByteArray apng = ApngSupport::write(
        QSize(8, 8),
        {{base, {}, 0.05, ApngSupport::DisposeNone, ApngSupport::BlendSource},
         // Source blend replaces a corner with mostly transparent pixels, then is cleared.
         {half, QPoint(4, 4), 0.07, ApngSupport::DisposeBackground, ApngSupport::BlendSource},
         // Over blend keeps the red under transparent pixels, then is undone.
         {half, QPoint(0, 0), 0.09, ApngSupport::DisposePrevious, ApngSupport::BlendOver},
         {solid(QSize(2, 2), Qt::green), QPoint(6, 0), 0.11, ApngSupport::DisposeNone,
          ApngSupport::BlendOver}},
        2);
    const auto coder = ImageAPNGCoder::sharedCoder()->createAnimatedCoder(apng, {});
    ASSERT_TRUE(coder);
    ASSERT_EQ(coder->animatedImageFrameCount(), 4u);
    EXPECT_EQ(coder->animatedImageLoopCount(), 2u);
    EXPECT_DOUBLE_EQ(coder->animatedImageDurationAtIndex(1), 0.07);
    EXPECT_DOUBLE_EQ(coder->animatedImageDurationAtIndex(3), 0.11);

    const Image second = coder->animatedImageFrameAtIndex(1);
    EXPECT_EQ(pixel(second, 4, 4), qRgba(0, 0, 255, 255));
    EXPECT_EQ(qAlpha(pixel(second, 5, 5)), 0);
    EXPECT_EQ(pixel(second, 0, 0), qRgba(255, 0, 0, 255));

    const Image third = coder->animatedImageFrameAtIndex(2);
    EXPECT_EQ(pixel(third, 0, 0), qRgba(0, 0, 255, 255));
    EXPECT_EQ(pixel(third, 1, 1), qRgba(255, 0, 0, 255));
    EXPECT_EQ(qAlpha(pixel(third, 5, 5)), 0); // cleared by the second frame's dispose

    const Image fourth = coder->animatedImageFrameAtIndex(3);
    EXPECT_EQ(pixel(fourth, 0, 0), qRgba(255, 0, 0, 255)); // the third frame was undone
    EXPECT_EQ(pixel(fourth, 7, 1), qRgba(0, 255, 0, 255));
    EXPECT_EQ(qAlpha(pixel(fourth, 5, 5)), 0);
}

TEST(AnimatedCodersTest, ATruncatedApngGivesTheFramesThatAreWhole) {
    QList<ApngSupport::Frame> frames;
    for (int i = 0; i < 3; ++i) {
        frames.append({noise(32, 32), {}, 0.1, 0, 0});
    }
    const QByteArray apng = ApngSupport::write(QSize(32, 32), frames, 0);
    const QByteArray cut = apng.left(apng.size() - 40);
    const auto coder = ImageAPNGCoder::sharedCoder()->createAnimatedCoder(cut, {});
    ASSERT_TRUE(coder);
    EXPECT_EQ(coder->animatedImageFrameCount(), 2u);
    EXPECT_FALSE(coder->animatedImageFrameAtIndex(1).isNull());
}

TEST(AnimatedCodersTest, OnlyPngsWithAnAnimationControlBeforeTheirDataGoToTheApngCoder) {
    const QByteArray still = encode(quadrants(6, 6), "png");
    const QByteArray apng = ApngSupport::write(
        QSize(4, 4),
        {{solid(QSize(4, 4), Qt::red), {}, 0.1, 0, 0}, {solid(QSize(4, 4), Qt::blue), {}, 0.1, 0, 0}}, 0);
    EXPECT_TRUE(ImageAPNGCoder::sharedCoder()->canDecodeFromData(apng));
    EXPECT_FALSE(ImageAPNGCoder::sharedCoder()->canDecodeFromData(still));
    // A control chunk after the image data does not make an animation.
    const qsizetype end = still.indexOf("IEND") - 4;
    QByteArray late = still.left(end) +
                      QByteArray("\0\0\0\x08"
                                 "acTL"
                                 "\0\0\0\x02\0\0\0\0"
                                 "\0\0\0\0",
                                 20) +
                      still.mid(end);
    EXPECT_FALSE(ImageAPNGCoder::sharedCoder()->canDecodeFromData(late));

    const Image decoded = ImageCodersManager::sharedManager()->decodedImageWithData(still, {});
    ASSERT_FALSE(decoded.isNull());
    EXPECT_EQ(decoded.imageFormat(), ImageFormat::PNG);
    EXPECT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(apng, {}).isAnimated());
}

TEST(AnimatedCodersTest, CanvasesBeyondThePixelBudgetAreRefusedBeforeDecoding) {
    const ScopedPixelBudget budget(64 * 64);
    const QList<ApngSupport::Frame> frames{{solid(QSize(2, 2), Qt::red), {}, 0.1, 0, 0},
                                           {solid(QSize(2, 2), Qt::blue), {}, 0.1, 0, 0}};
    // A few hundred bytes declaring a canvas of 100 by 100 pixels.
    const QByteArray large = ApngSupport::write(QSize(100, 100), frames, 0);
    EXPECT_FALSE(ApngSupport::parse(large));
    EXPECT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(large, {}).isNull());
    EXPECT_FALSE(ImageAPNGCoder::sharedCoder()->createAnimatedCoder(large, {}));
    const QByteArray fits = ApngSupport::write(QSize(64, 64), frames, 0);
    EXPECT_TRUE(ImageAPNGCoder::sharedCoder()->createAnimatedCoder(fits, {}));

    const QByteArray wideGif = GifEncoder::encode(
        {{solid(QSize(100, 41), Qt::red), 0.1}, {solid(QSize(100, 41), Qt::blue), 0.1}}, 0);
    EXPECT_FALSE(ImageGIFCoder::sharedCoder()->createAnimatedCoder(wideGif, {}));
    EXPECT_TRUE(ImageGIFCoder::sharedCoder()->decodedImageWithData(wideGif, {}).isNull());
    EXPECT_TRUE(ImageGIFCoder::sharedCoder()->createAnimatedCoder(gif({0.1, 0.1}), {}));

    QList<ImageFrame> webpFrames{{Image(solid(QSize(100, 41), Qt::red)), 0.1},
                                 {Image(solid(QSize(100, 41), Qt::blue)), 0.1}};
    QByteArray webp;
    {
        const ScopedPixelBudget roomy(0);
        webp = ImageAWebPCoder::sharedCoder()->encodedDataWithFrames(webpFrames, 0, ImageFormat::WebP, {});
    }
    const ScopedPixelBudget again(64 * 64);
    ASSERT_FALSE(webp.isEmpty());
    EXPECT_FALSE(ImageAWebPCoder::sharedCoder()->createAnimatedCoder(webp, {}));
}

TEST(AnimatedCodersTest, PixelsThatCannotBeDecodedAreNoImageNotABlankOne) {
    const QByteArray broken = withBrokenImageData(encode(quadrants(16, 16), "png"));
    EXPECT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(broken, {}).isNull());
    EXPECT_TRUE(ImageIOCoder::sharedCoder()->decodedImageWithData(broken, {}).isNull());
    // Even asked directly, the animation coder gives no picture for it.
    EXPECT_TRUE(ImageAPNGCoder::sharedCoder()->decodedImageWithData(broken, {}).isNull());

    const QList<ApngSupport::Frame> frames{{solid(QSize(4, 4), Qt::red), {}, 0.1, 0, 0},
                                           {solid(QSize(4, 4), Qt::blue), {}, 0.1, 0, 0}};
    const QByteArray apng = ApngSupport::write(QSize(4, 4), frames, 0);
    // No frame that can be decoded: no image. One that cannot is no frame, and is skipped.
    const QByteArray noFrame = withBrokenImageData(withBrokenImageData(apng), "fdAT");
    EXPECT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(noFrame, {}).isNull());
    const auto firstBroken =
        ImageAPNGCoder::sharedCoder()->createAnimatedCoder(withBrokenImageData(apng), {});
    ASSERT_TRUE(firstBroken);
    EXPECT_TRUE(firstBroken->animatedImageFrameAtIndex(0).isNull());
    const auto coder =
        ImageAPNGCoder::sharedCoder()->createAnimatedCoder(withBrokenImageData(apng, "fdAT"), {});
    ASSERT_TRUE(coder);
    EXPECT_FALSE(coder->animatedImageFrameAtIndex(0).isNull());
    EXPECT_TRUE(coder->animatedImageFrameAtIndex(1).isNull());
}

TEST(AnimatedCodersTest, ApngFramesOutsideTheCanvasEndTheAnimation) {
    QList<ApngSupport::Frame> frames;
    for (int i = 0; i < 3; ++i) {
        frames.append({solid(QSize(4, 4), i == 1 ? Qt::blue : Qt::red), {}, 0.1, 0, 0});
    }
    const QByteArray apng = ApngSupport::write(QSize(8, 8), frames, 0);
    // The second control chunk's x offset (after its length, type, sequence, width and height).
    const qsizetype second = apng.indexOf("fcTL", apng.indexOf("fcTL") + 4);
    ASSERT_GT(second, 0);
    for (const quint32 offset : {0x7FFFFFFFu, 0xFFFFFFFFu, 5u}) {
        const QByteArray bad = withBigEndian32(apng, second + 16, offset);
        const auto layout = ApngSupport::parse(bad);
        ASSERT_TRUE(layout) << offset;
        EXPECT_EQ(layout->controls.size(), 1) << offset;
        const auto coder = ImageAPNGCoder::sharedCoder()->createAnimatedCoder(bad, {});
        ASSERT_TRUE(coder);
        EXPECT_EQ(coder->animatedImageFrameCount(), 1u);
    }
    // A width that overflows the canvas with a zero offset is refused the same way.
    EXPECT_EQ(ApngSupport::parse(withBigEndian32(apng, second + 8, 0xFFFFFFF0u))->controls.size(), 1);
    EXPECT_EQ(ApngSupport::parse(apng)->controls.size(), 3);
}

TEST(AnimatedCodersTest, FramesRoundTripThroughEachAnimatedFormat) {
    QList<ImageFrame> frames;
    frames.append({Image(solid(QSize(16, 8), Qt::red)), 0.2});
    frames.append({Image(solid(QSize(16, 8), Qt::blue)), 0.3});
    const Image animation = ImageCoderHelper::animatedImageWithFrames(frames, 5);
    for (const auto& coder : QList<std::shared_ptr<ImageIOAnimatedCoder>>{
             ImageGIFCoder::sharedCoder(), ImageAPNGCoder::sharedCoder(), ImageAWebPCoder::sharedCoder()}) {
        EXPECT_TRUE(coder->canEncodeToFormat(coder->imageFormat()));
        EXPECT_FALSE(coder->canEncodeToFormat(ImageFormat::JPEG));
        const QByteArray data = coder->encodedDataWithImage(animation, coder->imageFormat(), {});
        ASSERT_FALSE(data.isEmpty()) << int(coder->imageFormat());
        EXPECT_EQ(imageFormatForImageData(data), coder->imageFormat());
        const auto decoded = coder->createAnimatedCoder(data, {});
        ASSERT_TRUE(decoded) << int(coder->imageFormat());
        EXPECT_EQ(decoded->animatedImageFrameCount(), 2u);
        EXPECT_EQ(decoded->animatedImageLoopCount(), 5u);
        EXPECT_NEAR(decoded->animatedImageDurationAtIndex(1), 0.3, 0.001);
        EXPECT_EQ(qBlue(pixel(decoded->animatedImageFrameAtIndex(1), 8, 4)), 255);

        EncodeOptions first;
        first.firstFrameOnly = true;
        const QByteArray still = coder->encodedDataWithImage(animation, coder->imageFormat(), first);
        EXPECT_EQ(ImageCodersManager::sharedManager()->decodedImageWithData(still, {}).imageFrameCount(), 1u);
    }
}

TEST(AnimatedCodersTest, HeicCoderClaimsHeicAndHeifStills) {
    auto coder = ImageHEICCoder::sharedCoder();
    if (!coder->canEncodeToFormat(ImageFormat::HEIC)) {
        GTEST_SKIP() << "libheif cannot write HEVC here";
    }
    EXPECT_TRUE(coder->canEncodeToFormat(ImageFormat::HEIF));
    EXPECT_FALSE(coder->canEncodeToFormat(ImageFormat::PNG));
    const QByteArray data = coder->encodedDataWithImage(Image(quadrants(32, 16)), ImageFormat::HEIC, {});
    ASSERT_TRUE(coder->canDecodeFromData(data));
    const Image image = coder->decodedImageWithData(data, {});
    EXPECT_EQ(image.pixelSize(), QSize(32, 16));
    EXPECT_EQ(image.imageFormat(), ImageFormat::HEIC);
}

TEST(AnimatedCodersTest, IncrementalGifShowsNothingUntilTheFirstFrameIsWhole) {
    const QByteArray data = gif({0.1, 0.1});
    auto incremental = ImageGIFCoder::sharedCoder()->createIncrementalCoder({});
    incremental->updateIncrementalData(data.left(20), false);
    EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions({}).isNull());
    incremental->updateIncrementalData(data, true);
    EXPECT_EQ(incremental->incrementalDecodedImageWithOptions({}).pixelSize(), QSize(8, 8));
    incremental->updateIncrementalData(data.left(20), false);
    EXPECT_FALSE(incremental->incrementalDecodedImageWithOptions({}).isNull());
}

TEST(AnimatedCodersTest, ACanvasTooLargeToComposePlaysAsItsFirstFrame) {
    // 1500 x 1500 is within the pixel budget but beyond what is composed frame by frame.
    const QByteArray large = pixelFramesGif(QSize(1500, 1500), 3);
    ASSERT_TRUE(AnimatedFrameSource::create(ImageFormat::GIF, large));
    EXPECT_FALSE(ImageGIFCoder::sharedCoder()->createAnimatedCoder(large, {}));
    const Image still = ImageGIFCoder::sharedCoder()->decodedImageWithData(large, {});
    ASSERT_FALSE(still.isNull());
    EXPECT_FALSE(still.isAnimated());
    DecodeOptions thumbnail;
    thumbnail.thumbnailPixelSize = QSizeF(60, 60);
    const Image small = ImageGIFCoder::sharedCoder()->decodedImageWithData(large, thumbnail);
    ASSERT_FALSE(small.isNull());
    EXPECT_FALSE(small.isAnimated());
    EXPECT_EQ(small.bitmap().size(), QSize(60, 60));

    // Brought down without composing the canvas, the first frame shows as Qt would show it.
    const QByteArray painted =
        GifEncoder::encode({{quadrants(1500, 1500), 0.1}, {solid(QSize(1500, 1500), Qt::white), 0.1}}, 0);
    const Image first = ImageGIFCoder::sharedCoder()->decodedImageWithData(painted, thumbnail);
    ASSERT_EQ(first.bitmap().size(), QSize(60, 60));
    EXPECT_EQ(pixel(first, 10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(pixel(first, 50, 10), qRgb(0, 255, 0));
    EXPECT_EQ(pixel(first, 10, 50), qRgb(0, 0, 255));

    // A canvas within it still plays.
    const QByteArray fits = pixelFramesGif(QSize(1000, 1000), 3);
    EXPECT_TRUE(ImageGIFCoder::sharedCoder()->createAnimatedCoder(fits, {}));

    // An animated PNG of the same shape alike.
    const QList<ApngSupport::Frame> frames{{solid(QSize(2, 2), Qt::red), {}, 0.1, 0, 0},
                                           {solid(QSize(2, 2), Qt::blue), {}, 0.1, 0, 0}};
    const QByteArray apng = ApngSupport::write(QSize(1500, 1500), frames, 0);
    ASSERT_TRUE(ApngSupport::parse(apng));
    EXPECT_FALSE(ImageAPNGCoder::sharedCoder()->createAnimatedCoder(apng, {}));
    EXPECT_FALSE(ImageAPNGCoder::sharedCoder()->decodedImageWithData(apng, thumbnail).isAnimated());
    EXPECT_TRUE(ImageAPNGCoder::sharedCoder()->createAnimatedCoder(
        ApngSupport::write(QSize(1000, 1000), frames, 0), {}));
}

TEST(AnimatedCodersTest, FramesKeptDecodedForOneAnimationStayWithinTheirBytes) {
    // 600 frames of 100 x 100 would take 24 MB decoded at once: they are decoded when shown.
    const QByteArray many = pixelFramesGif(QSize(200, 200), 600);
    DecodeOptions options;
    options.thumbnailPixelSize = QSizeF(100, 100);
    const Image image = ImageGIFCoder::sharedCoder()->decodedImageWithData(many, options);
    ASSERT_FALSE(image.isNull());
    ASSERT_TRUE(image.isAnimated());
    EXPECT_EQ(image.imageFrameCount(), 600u);
    const auto provider = image.animatedProvider();
    ASSERT_TRUE(provider);
    quint64 kept = 0;
    if (const auto frames = std::dynamic_pointer_cast<FramesAnimatedImageProvider>(provider)) {
        for (const ImageFrame& frame : frames->frames()) {
            kept += quint64(frame.image.bitmap().sizeInBytes());
        }
    }
    EXPECT_LE(kept, quint64(16) << 20); // tens of megabytes, not a share of the machine
    // Each frame still comes at the size asked for.
    EXPECT_EQ(provider->animatedImageFrameAtIndex(599).bitmap().size(), QSize(100, 100));

    // A few frames stay decoded together, as before.
    const Image few =
        ImageGIFCoder::sharedCoder()->decodedImageWithData(pixelFramesGif(QSize(200, 200), 4), options);
    EXPECT_TRUE(std::dynamic_pointer_cast<FramesAnimatedImageProvider>(few.animatedProvider()));
}

namespace {

QByteArray le24(quint32 value) {
    QByteArray bytes;
    for (int shift = 0; shift < 24; shift += 8) {
        bytes += char((value >> shift) & 0xFF);
    }
    return bytes;
}

QByteArray riffChunk(const QByteArray& tag, const QByteArray& body) {
    QByteArray chunk = tag;
    const quint32 size = quint32(body.size());
    chunk += le24(size) + char(size >> 24);
    chunk += body;
    if (body.size() % 2) {
        chunk += '\0';
    }
    return chunk;
}

// An animated WebP of two one-pixel frames in the corners of a large canvas.
QByteArray webpPixelFrames(QSize canvas) {
    // A lossless one-pixel picture, encoded by the WebP coder, taken out of its container.
    QList<ImageFrame> pixel{{Image(solid(QSize(1, 1), Qt::red)), 0.1}};
    const QByteArray still =
        ImageAWebPCoder::sharedCoder()->encodedDataWithFrames(pixel, 0, ImageFormat::WebP, {});
    const qsizetype at = still.indexOf("VP8");
    const QByteArray image = still.mid(at);
    QByteArray body = "WEBP";
    body += riffChunk("VP8X", QByteArray(1, char(0x12)) + QByteArray(3, '\0') +
                                  le24(quint32(canvas.width() - 1)) + le24(quint32(canvas.height() - 1)));
    body += riffChunk("ANIM", QByteArray(6, '\0'));
    for (const QPoint corner : {QPoint(0, 0), QPoint(canvas.width() - 2, canvas.height() - 2)}) {
        body += riffChunk("ANMF", le24(quint32(corner.x() / 2)) + le24(quint32(corner.y() / 2)) + le24(0) +
                                      le24(0) + le24(100) + QByteArray(1, '\0') + image);
    }
    return riffChunk("RIFF", body);
}

} // namespace

TEST(AnimatedCodersTest, TheFirstFrameOfACanvasTooLargeToComposeNeverTakesTheCanvas) {
    const QByteArray webp = webpPixelFrames(QSize(3000, 3000));
    const auto source = AnimatedFrameSource::create(ImageFormat::WebP, webp);
    ASSERT_TRUE(source);
    ASSERT_EQ(source->frameCount(), 2);
    DecodeOptions thumbnail;
    thumbnail.thumbnailPixelSize = QSizeF(60, 60);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const Image still = ImageAWebPCoder::sharedCoder()->decodedImageWithData(webp, thumbnail);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    ASSERT_FALSE(still.isNull());
    EXPECT_FALSE(still.isAnimated());
    EXPECT_EQ(still.bitmap().size(), QSize(60, 60));
    // The canvas takes 36 MB, and the animation decoder's copy as much again.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024);

    // An animated PNG's first frame, drawn straight onto the small canvas, shows as composed.
    const QList<ApngSupport::Frame> frames{{quadrants(1500, 1500), {}, 0.1, 0, 0},
                                           {solid(QSize(2, 2), Qt::blue), {}, 0.1, 0, 0}};
    const Image apng = ImageAPNGCoder::sharedCoder()->decodedImageWithData(
        ApngSupport::write(QSize(1500, 1500), frames, 0), thumbnail);
    ASSERT_EQ(apng.bitmap().size(), QSize(60, 60));
    EXPECT_EQ(pixel(apng, 10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(pixel(apng, 50, 10), qRgb(0, 255, 0));
}
