#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/cache/AbstractDiskCache.h"
#include "images/cache/CacheKeys.h"
#include "images/cache/DiskCache.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/cache/MemoryCache.h"
#include "images/coders/ImageCoder.h"
#include "images/coders/ImageCodersManager.h"
#include "images/core/AnimatedImageProvider.h"
#include "images/core/CallbackPolicy.h"
#include "images/core/CallbackQueue.h"
#include "images/core/DispatchQueue.h"
#include "images/core/ImageFormat.h"
#include "images/core/VectorImageSource.h"
#include "tests/support/EventLoop.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>

using namespace velmora::images;
using namespace velmora::images::test;
using velmora::test::waitUntil;

namespace {

struct Answer {
    int calls = 0;
    Image image;
    std::optional<QByteArray> data;
    ImageCacheType type = ImageCacheType::None;
};

ImageCacheQueryCompletion recordInto(std::shared_ptr<Answer> answer) {
    return [answer](const Image& image, const std::optional<QByteArray>& data, ImageCacheType type) {
        ++answer->calls;
        answer->image = image;
        answer->data = data;
        answer->type = type;
    };
}

class ImageCacheTest : public ::testing::Test {
protected:
    QTemporaryDir root;
    std::shared_ptr<ImageCacheConfig> config = std::make_shared<ImageCacheConfig>();
    std::shared_ptr<ImageCache> cache =
        std::make_shared<ImageCache>(QStringLiteral("test"), root.path(), config);
    const QString key = QStringLiteral("https://e.com/avatar.png");

    bool fileExists(const QString& k) const { return QFile::exists(cache->cachePathForKey(k)); }
    void storeAndWait(const Image& image, const std::optional<QByteArray>& data, ImageCacheType type,
                      const QString& k) {
        bool stored = false;
        cache->storeImage(image, data, k, 0, RemoteImageContext{}, type, [&] { stored = true; });
        ASSERT_TRUE(waitUntil([&] { return stored; }));
    }
};

} // namespace

TEST_F(ImageCacheTest, LivesInTheNamespaceFolderAndKeepsItsOwnConfiguration) {
    EXPECT_EQ(cache->diskCachePath(), QDir(root.path()).filePath(QStringLiteral("test")));
    EXPECT_TRUE(QDir(cache->diskCachePath()).exists());
    config->setMaxDiskSize(7);
    EXPECT_EQ(cache->config()->maxDiskSize(), ImageCacheConfig::defaultMaxDiskSize);
    EXPECT_TRUE(
        ImageCache::defaultDiskCacheDirectory().endsWith(QStringLiteral("velmora.images.ImageCache")));
    EXPECT_EQ(ImageCache::sharedImageCache(), ImageCache::sharedImageCache());
    EXPECT_TRUE(ImageCache::sharedImageCache()->diskCachePath().endsWith(QStringLiteral("/default")));
}

TEST_F(ImageCacheTest, StoresToMemoryOnlyDiskOnlyOrBoth) {
    const Image image(paintedBitmap(8, true));
    const auto png = encoded(paintedBitmap(8, true), "png");

    bool done = false;
    cache->storeImage(image, png, QStringLiteral("m"), 0, {}, ImageCacheType::Memory, [&] { done = true; });
    EXPECT_TRUE(done); // at once, no disk
    EXPECT_EQ(cache->imageFromMemoryCacheForKey(QStringLiteral("m")), image);
    EXPECT_FALSE(cache->diskImageDataExistsWithKey(QStringLiteral("m")));

    storeAndWait(image, png, ImageCacheType::Disk, QStringLiteral("d"));
    EXPECT_FALSE(cache->imageFromMemoryCacheForKey(QStringLiteral("d")));
    EXPECT_EQ(cache->diskImageDataForKey(QStringLiteral("d")), std::optional<QByteArray>(png));

    storeAndWait(image, png, ImageCacheType::All, QStringLiteral("b"));
    EXPECT_EQ(cache->imageFromMemoryCacheForKey(QStringLiteral("b")), image);
    EXPECT_TRUE(cache->diskImageDataExistsWithKey(QStringLiteral("b")));

    // Nothing to store, or no key: only the completion.
    done = false;
    cache->storeImage(Image(), std::nullopt, QStringLiteral("x"), 0, {}, ImageCacheType::All,
                      [&] { done = true; });
    EXPECT_TRUE(done);
}

TEST_F(ImageCacheTest, ImagesWithoutDataAreEncodedByTheirAlpha) {
    storeAndWait(Image(paintedBitmap(8, true)), std::nullopt, ImageCacheType::Disk, QStringLiteral("alpha"));
    storeAndWait(Image(paintedBitmap(8, false)), std::nullopt, ImageCacheType::Disk,
                 QStringLiteral("opaque"));
    EXPECT_EQ(imageFormatForImageData(*cache->diskImageDataForKey(QStringLiteral("alpha"))),
              ImageFormat::PNG);
    EXPECT_EQ(imageFormatForImageData(*cache->diskImageDataForKey(QStringLiteral("opaque"))),
              ImageFormat::JPEG);
}

TEST_F(ImageCacheTest, ADrawingOfAVectorDocumentIsStoredAsThePngOfItsPixels) {
    for (const ImageFormat drawnFrom : {ImageFormat::PDF, ImageFormat::SVG}) {
        Image drawn(paintedBitmap(8, false));
        drawn.setImageFormat(drawnFrom);
        const QString k = QStringLiteral("drawn-%1").arg(int(drawnFrom));
        storeAndWait(drawn, std::nullopt, ImageCacheType::Disk, k);
        const auto bytes = cache->diskImageDataForKey(k);
        ASSERT_TRUE(bytes) << k.toStdString();
        EXPECT_EQ(imageFormatForImageData(*bytes), ImageFormat::PNG) << k.toStdString();
        cache->clearMemory();
        const Image back = cache->imageFromDiskCacheForKey(k);
        ASSERT_TRUE(back) << k.toStdString();
        EXPECT_EQ(back.bitmap().convertToFormat(QImage::Format_RGB32), paintedBitmap(8, false))
            << k.toStdString();
    }
}

namespace {

// A picture of no pixels, as a coder may make of bytes it half understands.
class NoArea : public VectorImageSource {
public:
    ImageFormat format() const override { return ImageFormat::PDF; }
    QSizeF size() const override { return {}; }
    void render(QPainter&, const QRectF&) const override {}
    QByteArray documentData() const override { return {}; }
};

class NoAreaCoder : public ImageCoder {
public:
    bool canDecodeFromData(const QByteArray&) override { return true; }
    Image decodedImageWithData(const QByteArray&, const DecodeOptions&) override {
        return Image(std::make_shared<NoArea>());
    }
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }
};

} // namespace

TEST_F(ImageCacheTest, AStoredCopyReadAsNoPixelsIsAMissAndGoes) {
    cache->storeImageDataToDisk(encoded(paintedBitmap(8, false), "png"), key);
    ASSERT_TRUE(fileExists(key));
    RemoteImageContext context;
    context.imageCoder = std::shared_ptr<ImageCoder>(std::make_shared<NoAreaCoder>());
    auto answer = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync, context, ImageCacheType::All,
                                     recordInto(answer));
    EXPECT_EQ(answer->calls, 1);
    EXPECT_FALSE(answer->image);
    EXPECT_FALSE(fileExists(key));
}

TEST_F(ImageCacheTest, MemoryHitAnswersAtOnceWithoutTouchingDisk) {
    const Image image(paintedBitmap(8, true));
    cache->storeImageToMemory(image, key);
    auto answer = std::make_shared<Answer>();
    const auto token = cache->queryCacheOperationForKey(key, 0, {}, ImageCacheType::All, recordInto(answer));
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(answer->calls, 1);
    EXPECT_EQ(answer->image, image);
    EXPECT_EQ(answer->type, ImageCacheType::Memory);
    EXPECT_FALSE(answer->data);

    // Asked for memory only, a miss is answered at once too.
    auto miss = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(QStringLiteral("absent"), 0, {}, ImageCacheType::Memory,
                                     recordInto(miss));
    EXPECT_EQ(miss->calls, 1);
    EXPECT_FALSE(miss->image);
    EXPECT_EQ(miss->type, ImageCacheType::Memory);
}

TEST_F(ImageCacheTest, QueryMemoryDataReadsTheDiskWithoutDecoding) {
    const Image image(paintedBitmap(8, true));
    const auto png = encoded(paintedBitmap(8, true), "png");
    storeAndWait(image, png, ImageCacheType::All, key);

    auto answer = std::make_shared<Answer>();
    const auto token = cache->queryCacheOperationForKey(key, ImageCacheQueryMemoryData, {},
                                                        ImageCacheType::All, recordInto(answer));
    EXPECT_NE(token, nullptr);
    EXPECT_EQ(answer->calls, 0);
    ASSERT_TRUE(waitUntil([&] { return answer->calls > 0; }));
    EXPECT_EQ(answer->image, image); // the very memory image
    EXPECT_EQ(answer->data, std::optional<QByteArray>(png));
    EXPECT_EQ(answer->type, ImageCacheType::Disk);

    auto sync = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryMemoryData | ImageCacheQueryMemoryDataSync, {},
                                     ImageCacheType::All, recordInto(sync));
    EXPECT_EQ(sync->calls, 1);
    EXPECT_EQ(sync->image, image);
}

TEST_F(ImageCacheTest, DiskHitDecodesAndFillsTheMemoryLevel) {
    const auto png = encoded(paintedBitmap(8, true), "png");
    cache->storeImageDataToDisk(png, key);

    auto answer = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync, {}, ImageCacheType::All,
                                     recordInto(answer));
    ASSERT_EQ(answer->calls, 1); // before the call returned
    ASSERT_TRUE(answer->image);
    EXPECT_EQ(answer->image.pixelSize(), QSize(8, 8));
    EXPECT_EQ(answer->type, ImageCacheType::Disk);
    EXPECT_EQ(cache->imageFromMemoryCacheForKey(key), answer->image);

    // With a store type of disk in the context, a disk hit stays out of memory.
    cache->clearMemory();
    RemoteImageContext diskOnly;
    diskOnly.storeCacheType = ImageCacheType::Disk;
    auto second = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync, diskOnly, ImageCacheType::All,
                                     recordInto(second));
    EXPECT_TRUE(second->image);
    EXPECT_FALSE(cache->imageFromMemoryCacheForKey(key));

    // A "@2x" key decodes at scale 2.
    const auto retinaKey = QStringLiteral("https://e.com/avatar@2x.png");
    cache->storeImageDataToDisk(png, retinaKey);
    EXPECT_EQ(cache->imageFromDiskCacheForKey(retinaKey).scale(), 2.0);
}

TEST_F(ImageCacheTest, ThumbnailDecodesAreKeptUnderTheThumbnailKey) {
    cache->storeImageDataToDisk(encoded(paintedBitmap(32, false), "png"), key);
    RemoteImageContext context;
    context.imageThumbnailPixelSize = QSizeF(16, 16);
    auto answer = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync, context, ImageCacheType::All,
                                     recordInto(answer));
    ASSERT_TRUE(answer->image);
    EXPECT_FALSE(cache->imageFromMemoryCacheForKey(key));
    EXPECT_EQ(cache->imageFromMemoryCacheForKey(thumbnailCacheKey(key, true, 16, 16)), answer->image);
}

TEST_F(ImageCacheTest, CancelledQueryAnswersExactlyOnceWithNothing) {
    cache->storeImageDataToDisk(encoded(paintedBitmap(8, true), "png"), key);
    // Hold the I/O thread so the query is surely pending when it is cancelled.
    std::atomic<bool> release{false};
    cache->setAdditionalCachePathBlock([&](const QString&) {
        while (!release) {
            QThread::msleep(1);
        }
        return QString();
    });
    cache->diskImageDataQueryForKey(QStringLiteral("blocker"), nullptr);

    auto answer = std::make_shared<Answer>();
    const auto token = cache->queryCacheOperationForKey(key, 0, {}, ImageCacheType::All, recordInto(answer));
    ASSERT_NE(token, nullptr);
    token->cancel();
    token->cancel();
    release = true;
    ASSERT_TRUE(waitUntil([&] { return answer->calls > 0; }));
    velmora::test::drainEvents();
    cache->diskImageDataForKey(key); // the I/O thread has run the query's disk step
    velmora::test::drainEvents();
    EXPECT_EQ(answer->calls, 1);
    EXPECT_FALSE(answer->image);
    EXPECT_EQ(answer->type, ImageCacheType::None);

    // Cancelled after it answered: nothing more.
    cache->setAdditionalCachePathBlock(nullptr);
    auto completed = std::make_shared<Answer>();
    const auto syncToken = cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync, {},
                                                            ImageCacheType::Disk, recordInto(completed));
    ASSERT_EQ(completed->calls, 1);
    syncToken->cancel();
    velmora::test::drainEvents();
    EXPECT_EQ(completed->calls, 1);
    EXPECT_TRUE(completed->image);
}

TEST_F(ImageCacheTest, CorruptOrTruncatedFilesAreMissesAndGo) {
    const auto png = encoded(paintedBitmap(64, false), "png");
    const auto jpeg = encoded(paintedBitmap(64, false), "jpeg");
    const QList<std::pair<QString, QByteArray>> damaged = {
        {QStringLiteral("garbage.png"), QByteArray("definitely not an image")},
        {QStringLiteral("cut.png"), png.left(png.size() * 2 / 3)},
        {QStringLiteral("cut.jpg"), jpeg.left(jpeg.size() * 2 / 3)},
    };
    for (const auto& [k, bytes] : damaged) {
        cache->storeImageDataToDisk(bytes, k);
        auto answer = std::make_shared<Answer>();
        cache->queryCacheOperationForKey(k, ImageCacheQueryDiskDataSync, {}, ImageCacheType::All,
                                         recordInto(answer));
        EXPECT_EQ(answer->calls, 1) << k.toStdString();
        EXPECT_FALSE(answer->image) << k.toStdString();
        EXPECT_FALSE(answer->data) << k.toStdString();
        EXPECT_FALSE(fileExists(k)) << k.toStdString();
    }
}

TEST_F(ImageCacheTest, ATruncatedJpegThatStillDecodesIsAMissAndGoes) {
    // Noise compresses poorly, so the cut falls in the middle of the picture's data: the decoder
    // hands back the rows before it and fills the rest.
    QImage noise(128, 128, QImage::Format_RGB32);
    QRandomGenerator random(37);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            noise.setPixel(x, y, random.generate());
        }
    }
    const QByteArray jpeg = encoded(noise, "jpeg");
    const QByteArray cut = jpeg.left(jpeg.size() * 9 / 10);
    ASSERT_TRUE(ImageCodersManager::sharedManager()->decodedImageWithData(cut, {}))
        << "the cut file must still decode for this test to mean anything";

    const QString k = QStringLiteral("partial.jpg");
    cache->storeImageDataToDisk(cut, k);
    auto answer = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(k, ImageCacheQueryDiskDataSync, {}, ImageCacheType::All,
                                     recordInto(answer));
    EXPECT_EQ(answer->calls, 1);
    EXPECT_FALSE(answer->image);
    EXPECT_FALSE(fileExists(k));
}

namespace {

// An animated kind that takes no data at all.
class RefusingAnimatedClass : public AnimatedImageClass {
public:
    Image imageWithData(const QByteArray&, double, const DecodeOptions&) const override { return {}; }
    bool isInstance(const Image&) const override { return false; }
};

// A JPEG whose first segment carries a whole small JPEG, end marker included, the way camera
// files carry a preview.
QByteArray jpegWithPreview(const QByteArray& jpeg, const QByteArray& preview) {
    QByteArray app1("\xff\xe1", 2);
    const auto length = preview.size() + 2;
    app1.append(char(length >> 8)).append(char(length & 0xff)).append(preview);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

} // namespace

TEST_F(ImageCacheTest, WholeImagesStayWhateverFollowsThemAndOneQuerysRefusalRemovesNothing) {
    const auto png = encoded(paintedBitmap(64, false), "png");
    const auto jpeg = encoded(paintedBitmap(64, false), "jpeg");
    const QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00"
                         "\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
                         43);
    const QByteArray trailer(300, '\0');
    const QList<std::pair<QString, QByteArray>> whole = {
        {QStringLiteral("padded.png"), png + trailer},
        {QStringLiteral("padded.jpg"), jpeg + trailer},
        {QStringLiteral("signed.jpg"), jpeg + QByteArray("trailing text a tool appended").repeated(8)},
        {QStringLiteral("padded.gif"), gif + trailer},
        {QStringLiteral("preview.jpg"), jpegWithPreview(jpeg, encoded(paintedBitmap(8, false), "jpeg"))},
    };
    for (const auto& [k, bytes] : whole) {
        cache->storeImageDataToDisk(bytes, k);
        for (int round = 0; round < 2; ++round) {
            cache->removeImageFromMemoryForKey(k);
            auto answer = std::make_shared<Answer>();
            cache->queryCacheOperationForKey(k, ImageCacheQueryDiskDataSync, {}, ImageCacheType::All,
                                             recordInto(answer));
            EXPECT_TRUE(answer->image) << k.toStdString() << " round " << round;
            EXPECT_EQ(answer->data, std::optional<QByteArray>(bytes)) << k.toStdString();
        }
        EXPECT_TRUE(fileExists(k)) << k.toStdString();
    }

    // A file cut short inside the image it carries is still cut short, whatever a preview ends with.
    const auto previewed = jpegWithPreview(jpeg, encoded(paintedBitmap(8, false), "jpeg"));
    const auto cutKey = QStringLiteral("cut-preview.jpg");
    cache->storeImageDataToDisk(previewed.left(previewed.size() - jpeg.size() / 3), cutKey);
    EXPECT_FALSE(cache->imageFromDiskCacheForKey(cutKey));
    EXPECT_FALSE(fileExists(cutKey));

    // Refused by one query's options (an animated kind it must match) is not undecodable.
    RemoteImageContext context;
    context.animatedImageClass = std::make_shared<const RefusingAnimatedClass>();
    cache->storeImageDataToDisk(png, key);
    auto refused = std::make_shared<Answer>();
    cache->queryCacheOperationForKey(key, ImageCacheQueryDiskDataSync | ImageCacheMatchAnimatedImageClass,
                                     context, ImageCacheType::All, recordInto(refused));
    EXPECT_EQ(refused->calls, 1);
    EXPECT_FALSE(refused->image);
    EXPECT_TRUE(fileExists(key));
    EXPECT_TRUE(cache->imageFromDiskCacheForKey(key));
}

TEST_F(ImageCacheTest, ExtendedDataTravelsAsBytes) {
    Image image(paintedBitmap(8, true));
    image.setExtendedObject(QByteArray("\x04\x0bstreamtyped plain bytes", 24));
    storeAndWait(image, std::nullopt, ImageCacheType::Disk, key);
    if (!cache->diskCache()->extendedDataForKey(key)) {
        GTEST_SKIP() << "the temporary folder's file system keeps no user extended attributes";
    }
    const auto fromDisk = cache->imageFromDiskCacheForKey(key);
    ASSERT_TRUE(fromDisk);
    EXPECT_EQ(fromDisk.extendedObject(), image.extendedObject());
}

TEST_F(ImageCacheTest, SynchronousCallsFromTheIoThreadRunInline) {
    cache->storeImageDataToDisk("other", QStringLiteral("other"));
    std::optional<bool> seen;
    cache->setAdditionalCachePathBlock([&](const QString&) {
        // Runs on the I/O thread; waiting on it from there would never end.
        seen = cache->diskImageDataExistsWithKey(QStringLiteral("other"));
        return QString();
    });
    EXPECT_FALSE(cache->diskImageDataForKey(QStringLiteral("missing")));
    EXPECT_EQ(seen, std::optional<bool>(true));
    cache->setAdditionalCachePathBlock(nullptr);
}

TEST_F(ImageCacheTest, ContainsRemoveClearAndSizes) {
    const auto png = encoded(paintedBitmap(8, true), "png");
    storeAndWait(Image(paintedBitmap(8, true)), png, ImageCacheType::All, key);

    std::optional<ImageCacheType> found;
    cache->containsImageForKey(key, ImageCacheType::All, [&](ImageCacheType type) { found = type; });
    EXPECT_EQ(found, ImageCacheType::Memory);
    found.reset();
    cache->containsImageForKey(key, ImageCacheType::Disk, [&](ImageCacheType type) { found = type; });
    ASSERT_TRUE(waitUntil([&] { return found.has_value(); }));
    EXPECT_EQ(found, ImageCacheType::Disk);

    bool removed = false;
    cache->removeImageForKey(key, ImageCacheType::None, [&] { removed = true; });
    EXPECT_TRUE(removed);
    EXPECT_TRUE(cache->imageFromMemoryCacheForKey(key));
    EXPECT_TRUE(fileExists(key));

    EXPECT_EQ(cache->totalDiskCount(), 1u);
    EXPECT_EQ(cache->totalDiskSize(), quint64(png.size()));

    removed = false;
    cache->removeImageForKey(key, ImageCacheType::All, [&] { removed = true; });
    EXPECT_FALSE(cache->imageFromMemoryCacheForKey(key));
    ASSERT_TRUE(waitUntil([&] { return removed; }));
    EXPECT_FALSE(fileExists(key));

    storeAndWait(Image(), png, ImageCacheType::Disk, key);
    bool cleared = false;
    cache->clearWithCacheType(ImageCacheType::All, [&] { cleared = true; });
    ASSERT_TRUE(waitUntil([&] { return cleared; }));
    EXPECT_EQ(cache->totalDiskCount(), 0u);
}

TEST_F(ImageCacheTest, CompletionsRunOnTheContextsCallbackQueue) {
    auto queue = std::make_shared<CallbackQueue>(DispatchQueue::serial(QStringLiteral("callbacks")));
    RemoteImageContext context;
    context.callbackQueue = queue;
    std::atomic<bool> onQueue{false};
    std::atomic<bool> stored{false};
    cache->storeImage(Image(paintedBitmap(8, true)), std::nullopt, key, 0, context, ImageCacheType::All, [&] {
        onQueue = queue->queue().isCurrent();
        stored = true;
    });
    ASSERT_TRUE(waitUntil([&] { return stored.load(); }));
    EXPECT_TRUE(onQueue);
}

namespace {
// Three frames of one colour each; the encoded data is whatever the test says.
class ThreeFrames : public AnimatedImageProvider {
public:
    explicit ThreeFrames(QByteArray data) : m_data(std::move(data)) {}
    QByteArray animatedImageData() override { return m_data; }
    unsigned animatedImageFrameCount() override { return 3; }
    unsigned animatedImageLoopCount() override { return 0; }
    Image animatedImageFrameAtIndex(unsigned index) override {
        auto bitmap = paintedBitmap(8, false);
        bitmap.fill(QColor::fromHsv(int(index) * 100, 200, 200));
        return Image(bitmap);
    }
    double animatedImageDurationAtIndex(unsigned) override { return 0.1; }

private:
    QByteArray m_data;
};
} // namespace

TEST_F(ImageCacheTest, AnimatedImagesCostTheirPosterFrameAndStoreTheirOwnData) {
    auto memory = std::dynamic_pointer_cast<MemoryCache>(cache->memoryCache());
    ASSERT_TRUE(memory);
    const Image animated(paintedBitmap(8, false), 1.0,
                         std::make_shared<ThreeFrames>(QByteArray("GIF89a-original")));
    ASSERT_TRUE(animated.isAnimated());
    // Frames beyond the first are decoded on demand into the frame pool, which keeps its own budget.
    storeAndWait(animated, std::nullopt, ImageCacheType::All, key);
    EXPECT_EQ(memory->totalCost(), animated.memoryCost());
    EXPECT_EQ(memory->totalCost(), quint64(8 * 8 * 4));
    // Without data of its own, an animated image writes the data it was decoded from.
    EXPECT_EQ(cache->diskImageDataForKey(key), std::optional<QByteArray>("GIF89a-original"));

    // A stored cost wins over the computed one.
    Image priced(paintedBitmap(8, false));
    priced.setMemoryCost(1000);
    cache->storeImageToMemory(priced, QStringLiteral("priced"));
    EXPECT_EQ(memory->totalCost(), quint64(8 * 8 * 4) + 1000);

    // No data at all: three frames and no format of its own are encoded as GIF.
    const Image frames(paintedBitmap(8, false), 1.0, std::make_shared<ThreeFrames>(QByteArray()));
    storeAndWait(frames, std::nullopt, ImageCacheType::Disk, QStringLiteral("frames"));
    const auto written = cache->diskImageDataForKey(QStringLiteral("frames"));
    ASSERT_TRUE(written);
    EXPECT_EQ(imageFormatForImageData(*written), ImageFormat::GIF);
}

// A write killed before its rename leaves its temporary in the cache's folder, and no key
// ever names it: a cache removes those when it starts. One changed lately stays: it may be a
// write under way in another process.
TEST(ImageCacheStartTest, RemovesWhatKilledWritesLeftButNotAWriteUnderWay) {
    QTemporaryDir root;
    const QDir folder(QDir(root.path()).filePath(QStringLiteral("test")));
    ASSERT_TRUE(folder.mkpath(QStringLiteral(".")));
    const auto place = [&](const QString& name, qint64 ageSeconds) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        ASSERT_TRUE(file.flush());
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                                     QFileDevice::FileModificationTime));
    };
    const qint64 day = 24 * 3600;
    const qint64 leftoverAge = DiskCache::leftoverWriteAge.count();
    const QString entry = DiskCache::cacheFileNameForKey(QStringLiteral("https://e.com/a.png"));
    const QString killed = entry + QStringLiteral(".velmora-write-aB3xY9");
    const QString killedLongAgo = DiskCache::cacheFileNameForKey(QStringLiteral("https://e.com/b")) +
                                  QStringLiteral(".velmora-write-QQQQQQ");
    place(killed, leftoverAge + 60);
    place(killedLongAgo, 30 * day);
    // Left before the clock was set back: its time lies ahead, and it is as stale as the others.
    const QString killedInTheFuture = DiskCache::cacheFileNameForKey(QStringLiteral("https://e.com/c")) +
                                      QStringLiteral(".velmora-write-FuTuRe");
    place(killedInTheFuture, -day);
    // A write under way, the entry itself however old, and names that only look alike.
    const QStringList kept = {entry + QStringLiteral(".velmora-write-n0wNow"), entry,
                              entry + QStringLiteral(".velmora-write-aB3xY"),
                              entry + QStringLiteral(".velmora-write-aB3-Y9")};
    place(kept[0], leftoverAge - 600);
    for (const QString& name : kept.mid(1)) {
        place(name, day);
    }

    const auto cache = std::make_shared<ImageCache>(QStringLiteral("test"), root.path(),
                                                    std::make_shared<ImageCacheConfig>());
    // The upkeep removes them on its own thread, soon after the start.
    EXPECT_TRUE(waitUntil([&] { return cache->totalDiskCount() == quint64(kept.size()); }))
        << cache->totalDiskCount();
    QStringList remaining = folder.entryList(QDir::Files | QDir::Hidden);
    QStringList expected = kept;
    remaining.sort();
    expected.sort();
    EXPECT_EQ(remaining, expected);
}
