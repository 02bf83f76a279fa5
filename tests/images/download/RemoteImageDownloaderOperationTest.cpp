#include "images/download/RemoteImageDownloaderOperation.h"
#include "images/coders/ImageCodersManager.h"
#include "images/download/RemoteImageDownloadNotifications.h"
#include "images/download/RemoteImageDownloader.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/images/support/GateCoder.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>

using namespace velmora;
using namespace velmora::images;
using images::testing::GateCoder;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

struct Calls {
    std::mutex mutex;
    std::vector<std::pair<Image, bool>> images; // (image, finished)
    ImageError error;
    bool finished = false;
};

ImageLoaderCompletedBlock record(const std::shared_ptr<Calls>& calls) {
    return [calls](const Image& image, const QByteArray&, const ImageError& error, bool finished) {
        std::lock_guard lock(calls->mutex);
        calls->images.emplace_back(image, finished);
        if (finished) {
            calls->error = error;
            calls->finished = true;
        }
    };
}

QByteArray noisyJpeg(int side) {
    QImage image(side, side, QImage::Format_RGB32);
    auto* random = QRandomGenerator::global();
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            image.setPixel(x, y, random->generate());
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    writer.write(image);
    return bytes;
}

class RemoteImageDownloaderOperationTest : public ::testing::Test {
protected:
    std::unique_ptr<RemoteImageDownloader> makeDownloader(RemoteImageDownloaderConfig config = {},
                                                          bool trustTestAuthority = true) {
        ImageSession::Configuration session;
        session.urlCacheDirectory = m_cacheFolder.path();
        if (trustTestAuthority) {
            session.extraCaCertificates = LoopbackImageServer::trustedCaCertificates();
        }
        config.sessionConfiguration = session;
        return std::make_unique<RemoteImageDownloader>(config);
    }

    QTemporaryDir m_cacheFolder;
};

} // namespace

TEST_F(RemoteImageDownloaderOperationTest, httpsIsVerifiedAgainstTheTrustedAuthorities) {
    LoopbackImageServer server(LoopbackImageServer::Scheme::Https);
    server.serve("/tls.png", ImageAnswer::image(LoopbackImageServer::png(12, 12)));
    auto trusting = makeDownloader();
    auto plain = makeDownloader({}, false);
    auto trusted = std::make_shared<Calls>();
    auto refused = std::make_shared<Calls>();
    const auto a = trusting->downloadImage(server.url("/tls.png"), 0, {}, nullptr, record(trusted));
    const auto b = plain->downloadImage(server.url("/tls.png"), 0, {}, nullptr, record(refused));
    ASSERT_TRUE(test::waitUntil([&] { return trusted->finished && refused->finished; }));
    EXPECT_TRUE(trusted->error.isNull()) << trusted->error.message().toStdString();
    EXPECT_EQ(refused->error.errorDomain(), QString(ImageSession::urlErrorDomain));
    EXPECT_EQ(refused->error.code(), ImageSession::SecureConnectionFailed);
    EXPECT_FALSE(refused->images.back().first);
}

TEST_F(RemoteImageDownloaderOperationTest, aCallerJoiningWhileTheBytesAreDecodedStillGetsTheImage) {
    LoopbackImageServer server;
    server.serve("/gate.png", ImageAnswer::image(LoopbackImageServer::png(20, 20)));
    auto downloader = makeDownloader();
    auto gate = std::make_shared<GateCoder>();
    RemoteImageContext context;
    context.imageCoder = std::static_pointer_cast<ImageCoder>(gate);
    auto first = std::make_shared<Calls>();
    const auto firstToken =
        downloader->downloadImage(server.url("/gate.png"), 0, context, nullptr, record(first));
    ASSERT_TRUE(test::waitUntil([&] { return gate->enteredCount() == 1; }));

    // A caller with other decode options joins the operation that is decoding.
    RemoteImageContext other;
    other.imageScaleFactor = 2.0;
    auto late = std::make_shared<Calls>();
    const auto lateToken =
        downloader->downloadImage(server.url("/gate.png"), 0, other, nullptr, record(late));
    EXPECT_EQ(lateToken->downloadOperation(), firstToken->downloadOperation());
    gate->letGo();
    ASSERT_TRUE(test::waitUntil([&] { return first->finished && late->finished; }));
    EXPECT_TRUE(first->images.back().first);
    ASSERT_TRUE(late->images.back().first);
    EXPECT_EQ(late->images.back().first.scale(), 2.0);
    EXPECT_EQ(server.requestCount("/gate.png"), 1);
}

TEST_F(RemoteImageDownloaderOperationTest, progressivePartialImagesArriveBeforeTheFinalOne) {
    LoopbackImageServer server;
    const QByteArray jpeg = noisyJpeg(300);
    server.serve("/progressive.jpg", ImageAnswer::image(jpeg, "image/jpeg").trickled(jpeg.size() / 8, 25));
    auto downloader = makeDownloader();
    auto calls = std::make_shared<Calls>();
    const auto token = downloader->downloadImage(
        server.url("/progressive.jpg"), RemoteImageDownloaderProgressiveLoad, {}, nullptr, record(calls));
    ASSERT_TRUE(test::waitUntil([&] { return calls->finished; }, 10000));
    std::lock_guard lock(calls->mutex);
    ASSERT_GE(calls->images.size(), 2u) << "at least one partial image before the final one";
    for (std::size_t i = 0; i + 1 < calls->images.size(); ++i) {
        EXPECT_FALSE(calls->images[i].second);
        EXPECT_TRUE(calls->images[i].first.isIncremental());
    }
    EXPECT_TRUE(calls->images.back().second);
    EXPECT_FALSE(calls->images.back().first.isIncremental());
    EXPECT_EQ(calls->images.back().first.pixelSize(), QSize(300, 300));
}

TEST_F(RemoteImageDownloaderOperationTest, anUnchangedBodyFromTheUrlCacheIsReportedAsNotModified) {
    LoopbackImageServer server;
    server.serve(
        "/cached.png",
        ImageAnswer::image(LoopbackImageServer::png(6, 6)).withHeader("Cache-Control", "max-age=3600"));
    auto downloader = makeDownloader();
    auto stored = std::make_shared<Calls>();
    const auto a = downloader->downloadImage(server.url("/cached.png"), RemoteImageDownloaderUseURLCache, {},
                                             nullptr, record(stored));
    ASSERT_TRUE(test::waitUntil([&] { return stored->finished; }));
    ASSERT_TRUE(stored->error.isNull());
    // The first transfer has ended for good, so the second call makes a transfer of its own
    // instead of joining the one that is still winding down.
    ASSERT_TRUE(test::waitUntil([&] { return downloader->currentDownloadCount() == 0; }));

    auto again = std::make_shared<Calls>();
    const auto b = downloader->downloadImage(server.url("/cached.png"),
                                             RemoteImageDownloaderUseURLCache |
                                                 RemoteImageDownloaderIgnoreCachedResponse,
                                             {}, nullptr, record(again));
    ASSERT_TRUE(test::waitUntil([&] { return again->finished; }));
    EXPECT_TRUE(again->error.is(ImageErrorCode::CacheNotModified));
    EXPECT_EQ(again->error.message(), "Downloaded image is not modified and ignored");

    // Without the URL cache bit nothing is stored: a fresh URL goes out each time.
    server.serve(
        "/uncached.png",
        ImageAnswer::image(LoopbackImageServer::png(6, 6)).withHeader("Cache-Control", "max-age=3600"));
    for (int i = 0; i < 2; ++i) {
        auto plain = std::make_shared<Calls>();
        const auto c = downloader->downloadImage(server.url("/uncached.png"), 0, {}, nullptr, record(plain));
        ASSERT_TRUE(test::waitUntil([&] { return plain->finished; }));
        ASSERT_TRUE(test::waitUntil([&] { return downloader->currentDownloadCount() == 0; }));
    }
    EXPECT_EQ(server.requestCount("/uncached.png"), 2);
}

TEST_F(RemoteImageDownloaderOperationTest, theDefaultLimitRunsSixDownloadsAtOnce) {
    LoopbackImageServer server;
    auto downloader = makeDownloader();
    std::vector<std::shared_ptr<Calls>> calls;
    std::vector<std::shared_ptr<RemoteImageDownloadToken>> tokens;
    for (int i = 0; i < 9; ++i) {
        const QByteArray path = "/held/" + QByteArray::number(i) + ".png";
        server.serve(path, ImageAnswer::image(LoopbackImageServer::png(4, 4)));
        server.hold(path);
        calls.push_back(std::make_shared<Calls>());
        tokens.push_back(downloader->downloadImage(server.url(QString::fromLatin1(path)), 0, {}, nullptr,
                                                   record(calls.back())));
    }
    auto held = [&] {
        int count = 0;
        for (int i = 0; i < 9; ++i) {
            count += server.heldCount("/held/" + QByteArray::number(i) + ".png");
        }
        return count;
    };
    ASSERT_TRUE(test::waitUntil([&] { return held() == 6; }));
    EXPECT_EQ(downloader->currentDownloadCount(), 9);
    for (int i = 0; i < 9; ++i) {
        server.release("/held/" + QByteArray::number(i) + ".png");
    }
    ASSERT_TRUE(test::waitUntil(
        [&] { return std::all_of(calls.begin(), calls.end(), [](const auto& c) { return c->finished; }); }));
    EXPECT_TRUE(test::waitUntil([&] { return downloader->currentDownloadCount() == 0; }));
    // Six at once, never more, from the first to the last.
    EXPECT_EQ(server.peakConnections(), 6);
}

TEST_F(RemoteImageDownloaderOperationTest, theFourNotificationsComeInOrderAndTheTokenLearnsTheAnswer) {
    LoopbackImageServer server;
    server.serve("/n.png", ImageAnswer::image(LoopbackImageServer::png(5, 5)));
    auto downloader = makeDownloader();
    std::vector<QString> names;
    std::vector<Cancellable> observers;
    for (const QLatin1String name :
         {RemoteImageDownloadNotifications::start, RemoteImageDownloadNotifications::receiveResponse,
          RemoteImageDownloadNotifications::stop, RemoteImageDownloadNotifications::finish}) {
        observers.push_back(NotificationCenter::defaultCenter().addObserver(
            QString(name),
            [&names](const Notification& notification) { names.push_back(notification.name); }));
    }
    auto calls = std::make_shared<Calls>();
    const auto token = downloader->downloadImage(server.url("/n.png"), 0, {}, nullptr, record(calls));
    ASSERT_TRUE(test::waitUntil([&] { return calls->finished && names.size() == 4; }));
    EXPECT_EQ(names, (std::vector<QString>{QString(RemoteImageDownloadNotifications::start),
                                           QString(RemoteImageDownloadNotifications::receiveResponse),
                                           QString(RemoteImageDownloadNotifications::stop),
                                           QString(RemoteImageDownloadNotifications::finish)}));
    ASSERT_TRUE(token->response());
    EXPECT_EQ(token->response()->statusCode, 200);
    EXPECT_TRUE(token->metrics());
}

TEST(RemoteImageDownloaderUserAgentTest, anAccentedNameIsSentInAscii) {
    const QString saved = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("Vélmöra時計"));
    const QByteArray userAgent = RemoteImageDownloader::defaultUserAgent();
    QCoreApplication::setApplicationName(saved);
    EXPECT_TRUE(userAgent.startsWith("Velmora/")) << userAgent.toStdString();
    for (const char c : userAgent) {
        EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    }
}

TEST_F(RemoteImageDownloaderOperationTest, cancellingWhileTheBytesAreDecodedCallsBackOnce) {
    LoopbackImageServer server;
    server.serve("/gate.png", ImageAnswer::image(LoopbackImageServer::png(20, 20)));
    auto downloader = makeDownloader();
    auto gate = std::make_shared<GateCoder>();
    RemoteImageContext context;
    context.imageCoder = std::static_pointer_cast<ImageCoder>(gate);
    auto calls = std::make_shared<Calls>();
    const auto token = downloader->downloadImage(server.url("/gate.png"), 0, context, nullptr, record(calls));
    ASSERT_TRUE(test::waitUntil([&] { return gate->enteredCount() == 1; }));
    token->cancel();
    gate->letGo();
    ASSERT_TRUE(test::waitUntil([&] { return calls->finished; }));
    // The decode ends, and a later download's answer comes after anything it could send.
    ASSERT_TRUE(test::waitUntil([&] { return gate->leftCount() == 1; }));
    auto later = std::make_shared<Calls>();
    const auto laterToken = downloader->downloadImage(server.url("/gate.png"), 0, {}, nullptr, record(later));
    ASSERT_TRUE(test::waitUntil([&] { return later->finished; }));
    std::lock_guard lock(calls->mutex);
    EXPECT_EQ(calls->images.size(), 1u);
    EXPECT_TRUE(calls->error.is(ImageErrorCode::Cancelled));
}

TEST_F(RemoteImageDownloaderOperationTest, anOperationWithoutTheDownloadersSessionMakesOneOfItsOwn) {
    LoopbackImageServer server;
    server.serve("/own.png", ImageAnswer::image(LoopbackImageServer::png(9, 9)));
    ImageRequest request;
    request.url = server.url("/own.png");
    auto operation =
        std::make_shared<RemoteImageDownloaderOperation>(request, std::weak_ptr<ImageSession>(), 0);
    auto calls = std::make_shared<Calls>();
    operation->addHandlers(nullptr, record(calls));
    OperationQueue queue;
    queue.addOperation(operation);
    ASSERT_TRUE(test::waitUntil([&] { return calls->finished; }));
    EXPECT_TRUE(calls->error.isNull()) << calls->error.message().toStdString();
    EXPECT_EQ(calls->images.back().first.pixelSize(), QSize(9, 9));
    EXPECT_TRUE(test::waitUntil([&] { return operation->isFinished(); }));
}

TEST_F(RemoteImageDownloaderOperationTest, theReceiveBufferReservesAtMostOneMegabyteOnTheAnswersWord) {
    // An answer that announces 3 MB and sends its first bytes on their own.
    LoopbackImageServer server;
    QByteArray body = LoopbackImageServer::png(8, 8);
    body.append(QByteArray(3 * 1024 * 1024 - body.size(), '\0'));
    server.serve("/large.png", ImageAnswer::image(body).trickled(64 * 1024, 5));
    server.hold("/large.png");
    auto downloader = makeDownloader();
    std::mutex mutex;
    std::shared_ptr<RemoteImageDownloaderOperation> operation;
    std::optional<std::pair<qint64, qint64>> firstBytes; // (received, buffer capacity)
    const auto calls = std::make_shared<Calls>();
    const auto token = downloader->downloadImage(
        server.url("/large.png"), 0, {},
        [&](qint64 received, qint64, const QUrl&) {
            std::lock_guard lock(mutex);
            if (received > 0 && !firstBytes && operation) {
                firstBytes = {received, operation->receiveBufferCapacity()};
            }
        },
        record(calls));
    {
        std::lock_guard lock(mutex);
        operation = std::dynamic_pointer_cast<RemoteImageDownloaderOperation>(token->downloadOperation());
    }
    ASSERT_NE(operation, nullptr);
    server.release("/large.png");
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(calls->mutex);
        return calls->finished;
    }));
    std::lock_guard lock(mutex);
    ASSERT_TRUE(firstBytes.has_value());
    ASSERT_LT(firstBytes->first, RemoteImageDownloaderOperation::maximumReserve);
    EXPECT_LE(firstBytes->second, RemoteImageDownloaderOperation::maximumReserve);
}
