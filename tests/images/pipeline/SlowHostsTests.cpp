// The avatar road (manager, cache, the shared downloader's settings) among servers that trickle,
// fall silent or break: a plain avatar is drawn in time behind any number of them, a transfer
// that broke is neither drawn nor kept, and an avatar not drawn now is not downloaded again.

#include "tests/images/support/GateCoder.h"
#include "tests/images/support/TestImages.h"

#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/download/DecodeLanes.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

using namespace velmora::images;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;
using velmora::test::waitUntil;

namespace {

struct Answer {
    std::mutex mutex;
    Image image;
    ImageError error;
    qint64 afterMs = -1;
};

class SlowHosts : public ::testing::Test {
protected:
    SlowHosts() { clock->start(); }
    ~SlowHosts() override {
        for (const auto& load : loads) {
            load->cancel();
        }
    }

    std::shared_ptr<RemoteImageManager> managerWith(RemoteImageDownloaderConfig config) {
        cache = std::make_shared<ImageCache>(QStringLiteral("avatars"), root.path(),
                                             std::make_shared<ImageCacheConfig>());
        ImageSession::Configuration session;
        session.urlCacheDirectory = root.filePath(QStringLiteral("urls"));
        config.sessionConfiguration = session;
        return std::make_shared<RemoteImageManager>(cache, std::make_shared<RemoteImageDownloader>(config));
    }

    static RemoteImageContext avatarContext() {
        RemoteImageContext context;
        context.imageThumbnailPixelSize = QSizeF(32, 32);
        context.imageScaleFactor = 1.0;
        return context;
    }

    // Asks for `url` as a task row does; `ended` runs (on the main thread) with the answer.
    std::shared_ptr<Answer> ask(RemoteImageManager& manager, const QUrl& url,
                                std::function<void()> ended = nullptr,
                                const RemoteImageContext& context = avatarContext()) {
        auto answer = std::make_shared<Answer>();
        const qint64 askedAt = clock->elapsed();
        loads.push_back(manager.loadImage(url, 0, context, nullptr,
                                          [answer, askedAt, clock = clock, ended](
                                              const Image& image, const QByteArray&, const ImageError& error,
                                              ImageCacheType, bool finished, const QUrl&) {
                                              if (!finished) {
                                                  return;
                                              }
                                              {
                                                  std::lock_guard lock(answer->mutex);
                                                  answer->image = image;
                                                  answer->error = error;
                                                  answer->afterMs = clock->elapsed() - askedAt;
                                              }
                                              if (ended) {
                                                  ended();
                                              }
                                          }));
        return answer;
    }

    static bool answered(const std::shared_ptr<Answer>& answer, int timeoutMs = 10000) {
        return waitUntil(
            [&] {
                std::lock_guard lock(answer->mutex);
                return answer->afterMs >= 0;
            },
            timeoutMs);
    }

    QTemporaryDir root;
    std::shared_ptr<ImageCache> cache;
    std::shared_ptr<QElapsedTimer> clock = std::make_shared<QElapsedTimer>();
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> loads;
};

QByteArray plainPng() {
    return LoopbackImageServer::png(12, 12, Qt::green); // some 140 bytes
}

// A slow host of each kind in turn: one byte a second, a hundred bytes a second, the head only,
// nothing at all.
ImageAnswer slowAnswer(int i) {
    // Far more than any of them sends within the test.
    const QByteArray body = LoopbackImageServer::png(200, 200, QColor(i, 0, 0)) + QByteArray(100000, 'x');
    switch (i % 4) {
    case 0:
        return ImageAnswer::image(body).trickled(1, 1000);
    case 1:
        return ImageAnswer::image(body).trickled(100, 1000);
    case 2:
        return ImageAnswer::image(body).headOnlyAnswer();
    default:
        return ImageAnswer::neverAnswered();
    }
}

class BehindSlowHosts : public SlowHosts, public ::testing::WithParamInterface<int> {};

} // namespace

TEST_P(BehindSlowHosts, APlainAvatarIsDrawnWithinTwoSecondsWhileTheSlowOnesAreAskedAgainAndAgain) {
    const int count = GetParam();
    std::vector<std::unique_ptr<LoopbackImageServer>> hosts;
    for (int i = 0; i < count; ++i) {
        hosts.push_back(LoopbackImageServer::onHost(60 + i));
        hosts.back()->serve("/a.png", slowAnswer(i));
    }
    LoopbackImageServer sound;
    sound.serve("/plain.png", ImageAnswer::image(plainPng()));
    const auto manager = managerWith(RemoteImageDownloaderConfig::sharedDownloaderConfig());
    // As rows painted again ask: each slow avatar is asked again as soon as it is answered, until
    // the test ends (answers may come after it: they reach only what they hold).
    const auto asking = std::make_shared<bool>(true);
    const auto askSlow = std::make_shared<std::function<void(int)>>();
    *askSlow = [this, manager, asking, weak = std::weak_ptr(askSlow), &hosts](int i) {
        if (*asking) {
            // On a later turn of the event loop, as a row paints again.
            ask(*manager, hosts[i]->url("/a.png"), [weak, i] {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [weak, i] {
                        if (const auto again = weak.lock()) {
                            (*again)(i);
                        }
                    },
                    Qt::QueuedConnection);
            });
        }
    };
    const auto stop = qScopeGuard([&] { *asking = false; });
    for (int i = 0; i < count; ++i) {
        (*askSlow)(i);
    }
    const auto reached = [&] {
        int total = 0;
        for (const auto& host : hosts) {
            total += host->totalRequestCount();
        }
        return total;
    };
    ASSERT_TRUE(waitUntil([&] { return reached() >= 6; }));
    // Asked after them, and again after the slow ones had time to time out and be asked again.
    for (const int afterMs : {0, 6000}) {
        ASSERT_TRUE(waitUntil([&] { return clock->elapsed() >= afterMs; }, afterMs + 1000));
        sound.serve("/plain.png",
                    ImageAnswer::image(LoopbackImageServer::png(12, 12, QColor(0, 200, afterMs % 256))));
        const auto plain = ask(*manager, sound.url(QStringLiteral("/plain.png?%1").arg(afterMs)));
        ASSERT_TRUE(answered(plain));
        std::lock_guard lock(plain->mutex);
        EXPECT_TRUE(plain->image) << plain->error.message().toStdString();
        EXPECT_LE(plain->afterMs, velmora::test::scaledMs(2000)) << "asked after " << afterMs << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(SixOrTwelve, BehindSlowHosts, ::testing::Values(6, 12));

TEST_F(SlowHosts, ATransferThatBrokeIsNeitherDrawnNorKept) {
    LoopbackImageServer server;
    const QByteArray jpeg =
        velmora::images::testing::encode(velmora::images::testing::noise(400, 400), "jpeg", 95);
    server.serve("/broken.jpg", ImageAnswer::gzipped(jpeg, 0.7).trickled(8192, 5));
    const auto manager = managerWith(RemoteImageDownloaderConfig::sharedDownloaderConfig());
    const QUrl url = server.url(QStringLiteral("/broken.jpg"));
    const auto answer = ask(*manager, url);
    ASSERT_TRUE(answered(answer));
    {
        std::lock_guard lock(answer->mutex);
        EXPECT_FALSE(answer->image);
        EXPECT_FALSE(answer->error.isNull());
    }
    // Whatever was queued for the disk has been written by the time a later write is.
    bool stored = false;
    cache->storeImageData(plainPng(), QStringLiteral("later"), [&] { stored = true; });
    ASSERT_TRUE(waitUntil([&] { return stored; }));
    EXPECT_FALSE(cache->diskImageDataExistsWithKey(manager->cacheKeyForURL(url)));
    EXPECT_FALSE(cache->diskImageDataExistsWithKey(manager->cacheKeyForURL(url, avatarContext())));
}

TEST_F(SlowHosts, AnAvatarNotDrawnNowIsDrawnFromTheBytesItKeptWithoutADownload) {
    LoopbackImageServer server;
    const QByteArray png = velmora::images::testing::encode(velmora::images::testing::noise(100, 100), "png");
    for (const char* path : {"/a.png", "/b.png", "/c.png"}) {
        server.serve(path, ImageAnswer::image(png));
    }
    RemoteImageDownloaderConfig config = RemoteImageDownloaderConfig::sharedDownloaderConfig();
    // One place of each kind and room for one waiting decode: a second one waiting answers the
    // older "not drawn now".
    config.decodeLanes = std::make_shared<DecodeLanes>(1, 1, png.size() * 3 / 2);
    config.retryDelay = 0.5;
    const auto manager = managerWith(config);
    const auto gate = std::make_shared<velmora::images::testing::GateCoder>();
    RemoteImageContext context = avatarContext();
    context.imageCoder = std::static_pointer_cast<ImageCoder>(gate);

    const auto a = ask(*manager, server.url("/a.png"), nullptr, context);
    ASSERT_TRUE(waitUntil([&] { return gate->enteredCount() == 1; }));
    const auto b = ask(*manager, server.url("/b.png"), nullptr, context);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount("/b.png") == 1; }));
    const auto c = ask(*manager, server.url("/c.png"), nullptr, context);
    ASSERT_TRUE(answered(b));
    {
        std::lock_guard lock(b->mutex);
        ASSERT_FALSE(b->image);
        ASSERT_TRUE(b->error.value(ImageError::notNowKey).toBool()) << b->error.message().toStdString();
    }
    gate->letGo();
    ASSERT_TRUE(answered(a));
    ASSERT_TRUE(answered(c));
    // Asked again, as a row painted again asks.
    const auto again = ask(*manager, server.url("/b.png"), nullptr, context);
    ASSERT_TRUE(answered(again));
    std::lock_guard lock(again->mutex);
    EXPECT_TRUE(again->image) << again->error.message().toStdString();
    EXPECT_EQ(server.requestCount("/b.png"), 1) << "downloaded again";
}
