#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/animation/ImageTransformer.h"
#include "images/cache/CacheKeys.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/ImageLoadersManager.h"
#include "images/pipeline/RemoteImageManager.h"
#include "images/pipeline/RemoteImagePrefetcher.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace velmora::images;
using namespace velmora::images::test;
using velmora::test::drainEvents;
using velmora::test::LoopbackImageServer;
using velmora::test::waitUntil;

namespace {

struct Delivery {
    Image image;
    QByteArray data;
    ImageError error;
    ImageCacheType cacheType = ImageCacheType::None;
    bool finished = false;
    bool onMainThread = false;
};

struct Deliveries {
    std::mutex mutex;
    std::vector<Delivery> list;
    size_t size() {
        std::lock_guard lock(mutex);
        return list.size();
    }
    Delivery at(size_t i) {
        std::lock_guard lock(mutex);
        return list.at(i);
    }
    RemoteImageCompletedBlock block() {
        return [this](const Image& image, const QByteArray& data, const ImageError& error,
                      ImageCacheType type, bool finished, const QUrl&) {
            std::lock_guard lock(mutex);
            list.push_back({image, data, error, type, finished, QThread::currentThread() == qApp->thread()});
        };
    }
};

class FakeOperation : public RemoteImageOperation {
public:
    void cancel() override { cancelled = true; }
    std::atomic<bool> cancelled{false};
};

// A loader the test answers by hand.
class FakeLoader : public ImageLoader {
public:
    struct Request {
        QUrl url;
        RemoteImageContext context;
        ImageLoaderCompletedBlock completed;
        std::shared_ptr<FakeOperation> operation;
    };

    std::function<bool(const QUrl&)> accepts = [](const QUrl&) { return true; };
    std::atomic<int> questions{0};

    bool canRequestImage(const QUrl& url, RemoteImageOptions, const RemoteImageContext&) override {
        ++questions;
        return accepts(url);
    }
    std::shared_ptr<RemoteImageOperation> requestImage(const QUrl& url, RemoteImageOptions,
                                                       const RemoteImageContext& context,
                                                       ImageLoaderProgressBlock,
                                                       ImageLoaderCompletedBlock completed) override {
        auto operation = std::make_shared<FakeOperation>();
        std::lock_guard lock(m_mutex);
        m_requests.push_back({url, context, std::move(completed), operation});
        m_peak = std::max(m_peak, ++m_inFlight);
        return operation;
    }
    bool shouldBlockFailedURL(const QUrl&, const ImageError& error, RemoteImageOptions,
                              const RemoteImageContext&) override {
        return error.is(ImageErrorCode::BadImageData);
    }

    size_t requestCount() {
        std::lock_guard lock(m_mutex);
        return m_requests.size();
    }
    Request request(size_t i) {
        std::lock_guard lock(m_mutex);
        return m_requests.at(i);
    }
    // Drops the completions never called, which hold the manager that holds this loader.
    void forgetRequests() {
        std::lock_guard lock(m_mutex);
        for (auto& request : m_requests) {
            request.completed = nullptr;
        }
    }
    int peak() {
        std::lock_guard lock(m_mutex);
        return m_peak;
    }
    void answer(size_t i, const Image& image, const ImageError& error = {}) {
        ImageLoaderCompletedBlock completed;
        {
            // A loader lets go of a completion once it has called it, as the downloader does.
            std::lock_guard lock(m_mutex);
            completed = std::move(m_requests.at(i).completed);
            m_requests.at(i).completed = nullptr;
            --m_inFlight;
        }
        completed(image, image ? encoded(image.bitmap(), "png") : QByteArray(), error, true);
    }

private:
    std::mutex m_mutex;
    std::vector<Request> m_requests;
    int m_inFlight = 0;
    int m_peak = 0;
};

class CountingTransformer : public ImageTransformer {
public:
    QString transformerKey() const override { return QStringLiteral("Mirror"); }
    Image transformedImageWithImage(const Image& image, const QString&) override {
        ++calls;
        while (blocked) {
            QThread::msleep(1);
        }
        return image ? Image(image.bitmap().mirrored(true, false)) : Image();
    }
    std::atomic<int> calls{0};
    std::atomic<bool> blocked{false};
};

class RemoteImageManagerTest : public ::testing::Test {
protected:
    QTemporaryDir root;
    std::shared_ptr<ImageCache> cache = std::make_shared<ImageCache>(QStringLiteral("manager"), root.path(),
                                                                     std::make_shared<ImageCacheConfig>());
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    std::shared_ptr<RemoteImageManager> manager = std::make_shared<RemoteImageManager>(cache, loader);
    Deliveries deliveries;
    const QUrl url{QStringLiteral("https://example.com/a/avatar.png")};
    const Image avatar{paintedBitmap(8, true)};

    void TearDown() override { loader->forgetRequests(); }

    // Every disk write queued so far has happened.
    void settleDisk() { cache->totalDiskCount(); }
};

} // namespace

TEST(RemoteImageManagerEndToEnd, DownloadsStoresAndThenAnswersFromMemoryAndDisk) {
    LoopbackImageServer server;
    server.serve("/avatar.png", velmora::test::ImageAnswer::image(LoopbackImageServer::png(16, 16)));
    QTemporaryDir root;
    auto cache = std::make_shared<ImageCache>(QStringLiteral("e2e"), root.path(),
                                              std::make_shared<ImageCacheConfig>());
    auto downloader = std::make_shared<RemoteImageDownloader>();
    auto manager = std::make_shared<RemoteImageManager>(cache, downloader);
    const auto url = server.url(QStringLiteral("/avatar.png"));

    Deliveries first;
    manager->loadImage(url, 0, nullptr, first.block());
    ASSERT_TRUE(waitUntil([&] { return first.size() > 0; }));
    EXPECT_TRUE(first.at(0).image);
    EXPECT_EQ(first.at(0).image.pixelSize(), QSize(16, 16));
    EXPECT_EQ(first.at(0).cacheType, ImageCacheType::None);
    EXPECT_TRUE(first.at(0).finished);
    EXPECT_TRUE(first.at(0).onMainThread);
    EXPECT_FALSE(manager->isRunning());

    Deliveries second;
    manager->loadImage(url, 0, nullptr, second.block());
    ASSERT_TRUE(waitUntil([&] { return second.size() > 0; }));
    EXPECT_EQ(second.at(0).cacheType, ImageCacheType::Memory);

    cache->clearMemory();
    cache->totalDiskCount(); // the stores have reached the disk
    Deliveries third;
    manager->loadImage(url, 0, nullptr, third.block());
    ASSERT_TRUE(waitUntil([&] { return third.size() > 0; }));
    EXPECT_EQ(third.at(0).cacheType, ImageCacheType::Disk);
    EXPECT_EQ(server.requestCount("/avatar.png"), 1);
}

TEST_F(RemoteImageManagerTest, NoUrlOrABlockedUrlFailsAtOnce) {
    manager->loadImage(QUrl(), 0, nullptr, deliveries.block());
    manager->loadImage(QStringLiteral("http://bad host/x.png"), 0, {}, nullptr, deliveries.block());
    ASSERT_EQ(deliveries.size(), 2u); // on the main thread, before the calls returned
    EXPECT_TRUE(deliveries.at(0).error.is(ImageErrorCode::InvalidURL));
    EXPECT_EQ(deliveries.at(0).error.message(), QStringLiteral("Image url is nil"));
    EXPECT_TRUE(deliveries.at(1).error.is(ImageErrorCode::InvalidURL));
}

TEST_F(RemoteImageManagerTest, AUrlThatFailedForGoodIsBlockedUntilRetried) {
    manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 1; }));
    loader->answer(0, Image(), ImageError(ImageErrorCode::BadImageData, QStringLiteral("Image data is nil")));
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 1; }));
    EXPECT_TRUE(manager->isFailedURL(url));

    manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 2; }));
    EXPECT_TRUE(deliveries.at(1).error.is(ImageErrorCode::BlockedURL));
    EXPECT_EQ(deliveries.at(1).error.message(), QStringLiteral("Image url is blacklisted"));
    EXPECT_EQ(loader->requestCount(), 1u);

    manager->loadImage(url, RemoteImageRetryFailedURL, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 2; }));
    loader->answer(1, avatar);
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 3; }));
    EXPECT_TRUE(deliveries.at(2).image);
    EXPECT_FALSE(manager->isFailedURL(url));

    // A transient failure (a cancelled download) blocks nothing.
    const QUrl other(QStringLiteral("https://example.com/other.png"));
    manager->loadImage(other, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 3; }));
    loader->answer(2, Image(), ImageError(ImageErrorCode::Cancelled, QStringLiteral("cancelled")));
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 4; }));
    EXPECT_FALSE(manager->isFailedURL(other));
}

TEST_F(RemoteImageManagerTest, RefreshCachedReportsTwiceForANewImageAndOnceWhenNotModified) {
    cache->storeImageToMemory(avatar, url.toString(QUrl::FullyEncoded));
    manager->loadImage(url, RemoteImageRefreshCached, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 1 && deliveries.size() == 1; }));
    EXPECT_EQ(deliveries.at(0).cacheType, ImageCacheType::Memory);
    EXPECT_TRUE(loader->request(0).context.loaderCachedImage.hasValue());
    const Image fresh(paintedBitmap(8, false));
    loader->answer(0, fresh);
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 2; }));
    EXPECT_EQ(deliveries.at(1).cacheType, ImageCacheType::None);
    EXPECT_TRUE(deliveries.at(1).finished);

    manager->loadImage(url, RemoteImageRefreshCached, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 2; }));
    loader->answer(1, Image(), ImageError(ImageErrorCode::CacheNotModified, QStringLiteral("not modified")));
    drainEvents();
    EXPECT_EQ(deliveries.size(), 3u);
    EXPECT_FALSE(manager->isRunning());
}

TEST_F(RemoteImageManagerTest, TransformedImagesAreCachedUnderTheTransformedKeyAndMadeOnce) {
    auto transformer = std::make_shared<CountingTransformer>();
    manager->transformer = transformer;
    const auto key = manager->cacheKeyForURL(url, {});
    EXPECT_EQ(key, transformedCacheKey(url.toString(), QStringLiteral("Mirror")));
    EXPECT_EQ(manager->originalCacheKeyForURL(url, {}), url.toString());

    manager->loadImage(url, RemoteImageWaitStoreCache, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 1; }));
    loader->answer(0, avatar);
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 1; }));
    EXPECT_TRUE(deliveries.at(0).image.isTransformed());
    EXPECT_EQ(transformer->calls, 1);
    EXPECT_TRUE(cache->imageFromMemoryCacheForKey(key));
    settleDisk();
    EXPECT_TRUE(cache->diskImageDataExistsWithKey(url.toString())); // the original, for other transformations

    manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 2; }));
    EXPECT_EQ(deliveries.at(1).cacheType, ImageCacheType::Memory);
    EXPECT_EQ(transformer->calls, 1);

    // A context without transformer loads (and keys) the plain image.
    RemoteImageContext plain;
    plain.imageTransformer.setNone();
    EXPECT_EQ(manager->cacheKeyForURL(url, plain), url.toString());

    // Transformed key missing, original on disk: transformed from the original, no download.
    cache->clearMemory();
    cache->removeImageFromDiskForKey(key);
    manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 3; }));
    EXPECT_EQ(transformer->calls, 2);
    EXPECT_EQ(loader->requestCount(), 1u);
}

TEST_F(RemoteImageManagerTest, ACancelAtAnyStepDeliversNothingAfterwards) {
    // While the download runs.
    auto operation = manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 1; }));
    operation->cancel();
    EXPECT_TRUE(loader->request(0).operation->cancelled);
    loader->answer(0, avatar);
    drainEvents();
    EXPECT_EQ(deliveries.size(), 0u);
    EXPECT_FALSE(manager->isRunning());

    // While the transformer works.
    auto transformer = std::make_shared<CountingTransformer>();
    transformer->blocked = true;
    manager->transformer = transformer;
    operation = manager->loadImage(url, 0, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 2; }));
    loader->answer(1, avatar);
    ASSERT_TRUE(waitUntil([&] { return transformer->calls == 1; }));
    operation->cancel();
    transformer->blocked = false;
    // The transformed image reaching the memory cache is the last step before a delivery;
    // a load of it from there, delivered through the same queue, comes after anything the
    // cancelled load sent.
    ASSERT_TRUE(waitUntil(
        [&] { return !cache->imageFromMemoryCacheForKey(manager->cacheKeyForURL(url, {})).isNull(); }));
    Deliveries later;
    manager->loadImage(url, 0, nullptr, later.block());
    ASSERT_TRUE(waitUntil([&] { return later.size() == 1; }));
    drainEvents();
    EXPECT_EQ(deliveries.size(), 0u);

    // While the cache query waits for the disk.
    manager->transformer = nullptr;
    std::atomic<bool> release{false};
    cache->setAdditionalCachePathBlock([&](const QString&) {
        while (!release) {
            QThread::msleep(1);
        }
        return QString();
    });
    operation =
        manager->loadImage(QUrl(QStringLiteral("https://example.com/b.png")), 0, nullptr, deliveries.block());
    operation->cancel();
    release = true;
    cache->totalDiskCount();
    drainEvents();
    EXPECT_EQ(deliveries.size(), 0u);
    EXPECT_EQ(loader->requestCount(), 2u);
    EXPECT_FALSE(manager->isRunning());
    cache->setAdditionalCachePathBlock(nullptr);
}

TEST_F(RemoteImageManagerTest, FromCacheOnlyAndFromLoaderOnly) {
    manager->loadImage(url, RemoteImageFromCacheOnly, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 1; }));
    EXPECT_FALSE(deliveries.at(0).image);
    EXPECT_TRUE(deliveries.at(0).error.isNull());
    EXPECT_EQ(loader->requestCount(), 0u);

    cache->storeImageToMemory(avatar, url.toString());
    manager->loadImage(url, RemoteImageFromLoaderOnly, nullptr, deliveries.block());
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 1; }));
}

TEST(ImageLoadersManager, RoutesByTheSameAnswerAndFailsWhatNobodyTakes) {
    auto images = std::make_shared<FakeLoader>();
    images->accepts = [](const QUrl& u) { return u.path().endsWith(QLatin1String(".png")); };
    auto everything = std::make_shared<FakeLoader>();
    ImageLoadersManager manager;
    manager.setLoaders({everything, images}); // images added last: asked first
    const QUrl png(QStringLiteral("https://e.com/a.png"));
    const QUrl other(QStringLiteral("https://e.com/a.txt"));
    manager.requestImage(png, 0, {}, nullptr,
                         [](const Image&, const QByteArray&, const ImageError&, bool) {});
    manager.requestImage(other, 0, {}, nullptr,
                         [](const Image&, const QByteArray&, const ImageError&, bool) {});
    EXPECT_EQ(images->requestCount(), 1u);
    EXPECT_EQ(everything->requestCount(), 1u);

    manager.setLoaders({images});
    ImageError failure;
    bool called = false;
    EXPECT_FALSE(manager.canRequestImage(other));
    EXPECT_EQ(
        manager.requestImage(other, 0, {}, nullptr,
                             [&](const Image&, const QByteArray&, const ImageError& error, bool finished) {
                                 called = finished;
                                 failure = error;
                             }),
        nullptr);
    EXPECT_TRUE(called);
    EXPECT_TRUE(failure.is(ImageErrorCode::InvalidDownloadOperation));
    EXPECT_TRUE(manager.shouldBlockFailedURL(png, ImageError(ImageErrorCode::BadImageData, {})));
    EXPECT_FALSE(manager.shouldBlockFailedURL(other, ImageError(ImageErrorCode::BadImageData, {})));

    manager.setLoaders({});
    EXPECT_FALSE(manager.canRequestImage(png));
}

TEST_F(RemoteImageManagerTest, PrefetcherBoundsItsLoadsAndCountsExactly) {
    auto prefetcher = std::make_shared<RemoteImagePrefetcher>(manager);
    EXPECT_EQ(prefetcher->maxConcurrentPrefetchCount(), 3);
    QList<QUrl> urls;
    for (int i = 0; i < 5; ++i) {
        urls << QUrl(QStringLiteral("https://example.com/p%1.png").arg(i));
    }
    std::vector<std::pair<quint64, quint64>> progress;
    std::optional<std::pair<quint64, quint64>> done;
    prefetcher->prefetchURLs(
        urls, [&](quint64 finished, quint64 total) { progress.emplace_back(finished, total); },
        [&](quint64 finished, quint64 skipped) {
            done = {finished, skipped};
        });
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 3; }));
    // No more than three at once: the loader's peak, once all five are through.
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(waitUntil([&] { return loader->requestCount() > i; }));
        loader->answer(i, i == 1 ? Image() : avatar,
                       i == 1 ? ImageError(ImageErrorCode::BadImageData, QStringLiteral("bad"))
                              : ImageError());
    }
    ASSERT_TRUE(waitUntil([&] { return done.has_value(); }));
    EXPECT_EQ(loader->peak(), 3);
    EXPECT_EQ(*done, std::make_pair(quint64(5), quint64(1)));
    ASSERT_EQ(progress.size(), 5u);
    for (quint64 i = 0; i < 5; ++i) {
        EXPECT_EQ(progress[i], std::make_pair(i + 1, quint64(5)));
    }

    // An empty list ends at once.
    std::optional<std::pair<quint64, quint64>> empty;
    EXPECT_EQ(prefetcher->prefetchURLs({}, nullptr, [&](quint64 f, quint64 s) { empty = {f, s}; }), nullptr);
    EXPECT_EQ(empty, std::make_pair(quint64(0), quint64(0)));
}

TEST_F(RemoteImageManagerTest, ACancelledPrefetchStopsItsLoadsAndReportsNoEnd) {
    auto prefetcher = std::make_shared<RemoteImagePrefetcher>(manager);
    QList<QUrl> urls;
    for (int i = 0; i < 4; ++i) {
        urls << QUrl(QStringLiteral("https://example.com/c%1.png").arg(i));
    }
    bool ended = false;
    const auto token = prefetcher->prefetchURLs(urls, nullptr, [&](quint64, quint64) { ended = true; });
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() == 3; }));
    loader->answer(0, avatar);
    token->cancel();

    // The cancel gives the list's places back at once: a next list of three starts all
    // three while the cancelled loads are still unanswered.
    bool nextEnded = false;
    const auto next = prefetcher->prefetchURLs({QUrl(QStringLiteral("https://example.com/n0.png")),
                                                QUrl(QStringLiteral("https://example.com/n1.png")),
                                                QUrl(QStringLiteral("https://example.com/n2.png"))},
                                               nullptr, [&](quint64, quint64) { nextEnded = true; });
    const auto requestsOfNext = [&] {
        size_t count = 0;
        for (size_t i = 0; i < loader->requestCount(); ++i) {
            count += loader->request(i).url.path().startsWith(QStringLiteral("/n")) ? 1 : 0;
        }
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return requestsOfNext() == 3; })) << requestsOfNext() << " of 3 started";
    // Every load of the cancelled list after the first is cancelled (the fourth may have
    // started as the first ended); answered, none counts for it.
    size_t cancelledList = 0;
    for (size_t i = 1; i < loader->requestCount(); ++i) {
        if (!loader->request(i).url.path().startsWith(QStringLiteral("/n"))) {
            ++cancelledList;
            EXPECT_TRUE(loader->request(i).operation->cancelled) << i;
        }
        loader->answer(i, avatar);
    }
    EXPECT_LE(cancelledList, 3u);
    // By the end of the next list the cancelled one has had every turn to report.
    ASSERT_TRUE(waitUntil([&] { return nextEnded; }));
    EXPECT_FALSE(ended);
    EXPECT_LE(token->finishedCount(), 1u);
}

TEST_F(RemoteImageManagerTest, ACancelFromAnotherThreadWhileAListIsQueuedLeavesNoLoadHoldingAPlace) {
    auto prefetcher = std::make_shared<RemoteImagePrefetcher>(manager);
    QList<QUrl> urls;
    for (int i = 0; i < 20000; ++i) {
        urls << QUrl(QStringLiteral("https://example.com/q%1.png").arg(i));
    }
    // Nothing starts while the list is queued, so every queued load waits for a place.
    prefetcher->setMaxConcurrentPrefetchCount(0);
    std::atomic<bool> queueing{true};
    std::atomic<bool> cancellerReady{false};
    std::thread canceller([&] {
        cancellerReady = true;
        while (queueing) {
            prefetcher->cancelPrefetching();
        }
    });
    while (!cancellerReady) {
        std::this_thread::yield();
    }
    bool ended = false;
    prefetcher->prefetchURLs(urls, nullptr, [&](quint64, quint64) { ended = true; });
    queueing = false;
    canceller.join();

    prefetcher->setMaxConcurrentPrefetchCount(3);

    // The places are free: the next list runs to its end, and its load is the first the
    // loader sees (a load of the cancelled list, queued before it, would have come first).
    bool nextEnded = false;
    prefetcher->prefetchURLs({QUrl(QStringLiteral("https://example.com/next.png"))}, nullptr,
                             [&](quint64, quint64) { nextEnded = true; });
    ASSERT_TRUE(waitUntil([&] { return loader->requestCount() >= 1; }));
    ASSERT_EQ(loader->request(0).url.path(), QStringLiteral("/next.png"))
        << "the list was cancelled while it was being queued";
    loader->answer(0, avatar);
    EXPECT_TRUE(waitUntil([&] { return nextEnded; }));
    EXPECT_EQ(loader->requestCount(), 1u);
    EXPECT_FALSE(ended);
}
