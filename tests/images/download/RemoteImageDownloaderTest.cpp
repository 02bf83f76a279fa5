#include "tests/images/support/GateCoder.h"
#include "tests/images/support/TestImages.h"

#include "images/coders/ImageCoder.h"
#include "images/coders/ImageCodersManager.h"
#include "images/core/DecodeAttempt.h"
#include "images/download/DecodeLanes.h"
#include "images/download/RemoteImageDownloadNotifications.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/download/RemoteImageDownloaderDecryptor.h"
#include "images/download/RemoteImageDownloaderOperation.h"
#include "images/download/RemoteImageDownloaderRequestModifier.h"
#include "images/download/RemoteImageDownloaderResponseModifier.h"
#include "platform/notifications/NotificationCenter.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace velmora;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

struct Outcome {
    std::vector<Image> images; // every call, partial ones included
    QByteArray data;
    ImageError error;
    int calls = 0;
    bool finished = false;
};

ImageLoaderCompletedBlock collect(const std::shared_ptr<Outcome>& outcome) {
    return [outcome](const Image& image, const QByteArray& data, const ImageError& error, bool finished) {
        ++outcome->calls;
        outcome->images.push_back(image);
        if (finished) {
            outcome->finished = true;
            outcome->data = data;
            outcome->error = error;
        }
    };
}

class RemoteImageDownloaderTest : public ::testing::Test {
protected:
    std::unique_ptr<RemoteImageDownloader> makeDownloader(RemoteImageDownloaderConfig config = {}) {
        ImageSession::Configuration session;
        session.urlCacheDirectory = m_cacheFolder.path();
        session.extraCaCertificates = LoopbackImageServer::trustedCaCertificates();
        config.sessionConfiguration = session;
        return std::make_unique<RemoteImageDownloader>(config);
    }

    std::shared_ptr<Outcome> download(RemoteImageDownloader& downloader, const QByteArray& path,
                                      RemoteImageDownloaderOptions options = 0,
                                      const RemoteImageContext& context = {},
                                      ImageLoaderProgressBlock progress = nullptr) {
        auto outcome = std::make_shared<Outcome>();
        m_tokens.push_back(downloader.downloadImage(server.url(QString::fromLatin1(path)), options, context,
                                                    progress, collect(outcome)));
        return outcome;
    }

    static bool waitFor(const std::shared_ptr<Outcome>& outcome) {
        return test::waitUntil([&] { return outcome->finished; });
    }

    LoopbackImageServer server;
    QTemporaryDir m_cacheFolder;
    std::vector<std::shared_ptr<RemoteImageDownloadToken>> m_tokens;
};

} // namespace

TEST_F(RemoteImageDownloaderTest, downloadsAndDecodesAnImageWithTheDefaultHeaders) {
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(64, 48)));
    auto downloader = makeDownloader();
    const auto outcome = download(*downloader, "/a.png");
    ASSERT_TRUE(waitFor(outcome));
    ASSERT_TRUE(outcome->error.isNull()) << outcome->error.message().toStdString();
    ASSERT_TRUE(outcome->images.back());
    EXPECT_EQ(outcome->images.back().pixelSize(), QSize(64, 48));
    EXPECT_EQ(outcome->data, LoopbackImageServer::png(64, 48));
    EXPECT_EQ(server.lastRequestHeader("/a.png", "Accept"), "image/*,*/*;q=0.8");
    EXPECT_TRUE(server.lastRequestHeader("/a.png", "User-Agent").startsWith("VelmoraTests/"));
}

TEST_F(RemoteImageDownloaderTest, badAnswersEndWithTheirOwnErrors) {
    server.serve("/missing.png", ImageAnswer::failure(404));
    server.serve("/page.png", ImageAnswer::image("<html></html>", "text/html"));
    server.serve("/empty.png", ImageAnswer::image(QByteArray()));
    server.serve("/garbage.png", ImageAnswer::image("not an image at all"));
    RemoteImageDownloaderConfig config;
    config.acceptableContentTypes = QSet<QByteArray>{"image/png"};
    auto downloader = makeDownloader(config);

    const auto missing = download(*downloader, "/missing.png");
    const auto page = download(*downloader, "/page.png");
    const auto empty = download(*downloader, "/empty.png");
    const auto garbage = download(*downloader, "/garbage.png");
    for (const auto& outcome : {missing, page, empty, garbage}) {
        ASSERT_TRUE(waitFor(outcome));
        EXPECT_EQ(outcome->calls, 1);
        EXPECT_FALSE(outcome->images.back());
    }
    EXPECT_TRUE(missing->error.is(ImageErrorCode::InvalidDownloadStatusCode));
    EXPECT_EQ(missing->error.message(),
              "Download marked as failed because of invalid response status code 404");
    EXPECT_EQ(missing->error.value(ImageError::downloadStatusCodeKey).toInt(), 404);
    EXPECT_EQ(missing->error.value(ImageError::downloadResponseKey).value<ImageResponse>().statusCode, 404);
    EXPECT_TRUE(page->error.is(ImageErrorCode::InvalidDownloadContentType));
    EXPECT_EQ(page->error.value(ImageError::downloadContentTypeKey).toString(), "text/html");
    EXPECT_TRUE(empty->error.is(ImageErrorCode::BadImageData));
    EXPECT_EQ(empty->error.message(), "Image data is nil");
    EXPECT_EQ(garbage->error.message(), "Downloaded image decode failed");
}

TEST_F(RemoteImageDownloaderTest, anImageWhosePixelsCannotBeDecodedIsADecodeFailure) {
    server.serve("/broken.png",
                 ImageAnswer::image(images::testing::withBrokenImageData(LoopbackImageServer::png(64, 48))));
    auto downloader = makeDownloader();
    const auto broken = download(*downloader, "/broken.png");
    ASSERT_TRUE(waitFor(broken));
    EXPECT_FALSE(broken->images.back());
    EXPECT_TRUE(broken->error.is(ImageErrorCode::BadImageData));
    EXPECT_EQ(broken->error.message(), "Downloaded image decode failed");
    EXPECT_TRUE(downloader->shouldBlockFailedURL(QUrl(), broken->error));
}

namespace {

// A coder whose drawing fails as `fail` says; in the quick lane it may give up instead.
class DrawingCoder : public ImageCoder {
public:
    enum class Outcome { NoDrawing, OverBudget, CostlyThenDrawn };
    explicit DrawingCoder(Outcome outcome) : m_outcome(outcome) {}
    bool canDecodeFromData(const QByteArray&) override { return true; }
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override {
        const int quickMs = DecodeAttempt::quickDrawingMs();
        quickLimits.push_back(quickMs);
        switch (m_outcome) {
        case Outcome::NoDrawing:
            DecodeAttempt::noteNoDrawing();
            return {};
        case Outcome::OverBudget:
            DecodeAttempt::noteOverBudget();
            return {};
        case Outcome::CostlyThenDrawn:
            if (quickMs > 0) {
                DecodeAttempt::noteGaveUpAtQuickLimit();
                return {};
            }
            return ImageCodersManager::sharedManager()->decodedImageWithData(data, options);
        }
        return {};
    }
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }

    // The quick limit of each decode, in order (only read once the download has answered).
    std::vector<int> quickLimits;

private:
    Outcome m_outcome;
};

} // namespace

TEST_F(RemoteImageDownloaderTest, aDrawingThatCouldNotBeMadeIsNoFaultOfTheDocumentButOneOverItsBudgetIs) {
    server.serve("/doc.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    auto downloader = makeDownloader();
    const auto failureWith = [&](DrawingCoder::Outcome outcome) {
        RemoteImageContext context;
        context.imageCoder = std::shared_ptr<ImageCoder>(std::make_shared<DrawingCoder>(outcome));
        const auto outcomeOf = download(*downloader, "/doc.png", 0, context);
        EXPECT_TRUE(waitFor(outcomeOf));
        return outcomeOf->error;
    };
    const QUrl url = server.url(QStringLiteral("/doc.png"));
    const ImageError noDrawing = failureWith(DrawingCoder::Outcome::NoDrawing);
    EXPECT_TRUE(noDrawing.is(ImageErrorCode::BadImageData));
    EXPECT_FALSE(downloader->shouldBlockFailedURL(url, noDrawing, 0, {}));
    const ImageError overBudget = failureWith(DrawingCoder::Outcome::OverBudget);
    EXPECT_TRUE(overBudget.is(ImageErrorCode::BadImageData));
    EXPECT_TRUE(overBudget.message().contains(QStringLiteral("budget")))
        << overBudget.message().toStdString();
    EXPECT_TRUE(downloader->shouldBlockFailedURL(url, overBudget, 0, {}));
}

TEST_F(RemoteImageDownloaderTest, aDecodeThatGivesUpItsQuickTryIsDrawnWithItsWholeBudget) {
    server.serve("/costly.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)));
    auto downloader = makeDownloader();
    const auto coder = std::make_shared<DrawingCoder>(DrawingCoder::Outcome::CostlyThenDrawn);
    RemoteImageContext context;
    context.imageCoder = std::shared_ptr<ImageCoder>(coder);
    const auto outcome = download(*downloader, "/costly.png", 0, context);
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_TRUE(outcome->error.isNull()) << outcome->error.message().toStdString();
    ASSERT_TRUE(outcome->images.back());
    EXPECT_EQ(coder->quickLimits, (std::vector<int>{DecodeLanes::quickDrawingMs, 0}));
}

TEST_F(RemoteImageDownloaderTest, aNilUrlAndARefusingRequestModifierFailAtOnce) {
    auto downloader = makeDownloader();
    auto nilUrl = std::make_shared<Outcome>();
    EXPECT_EQ(downloader->downloadImage(QUrl(), 0, {}, nullptr, collect(nilUrl)), nullptr);
    EXPECT_TRUE(nilUrl->finished);
    EXPECT_TRUE(nilUrl->error.is(ImageErrorCode::InvalidURL));

    RemoteImageContext context;
    context.downloadRequestModifier = std::static_pointer_cast<AbstractRemoteImageDownloaderRequestModifier>(
        RemoteImageDownloaderRequestModifier::withBlock([](const ImageRequest&) { return std::nullopt; }));
    auto refused = std::make_shared<Outcome>();
    EXPECT_EQ(downloader->downloadImage(server.url("/a.png"), 0, context, nullptr, collect(refused)),
              nullptr);
    EXPECT_TRUE(refused->finished);
    EXPECT_TRUE(refused->error.is(ImageErrorCode::InvalidDownloadOperation));
    EXPECT_EQ(refused->error.message(), "Downloader operation is nil");
    EXPECT_EQ(server.totalRequestCount(), 0);
}

TEST_F(RemoteImageDownloaderTest, modifiersChangeTheRequestAndTheAnswerAndTheDecryptorFeedsTheDecoder) {
    const QByteArray png = LoopbackImageServer::png(10, 10);
    server.serve("/secret",
                 ImageAnswer::image(png.toBase64(), "application/octet-stream").withHeader("X-S", "1"));
    server.serve("/teapot.png", ImageAnswer::failure(418, png).withContentType("image/png"));
    auto downloader = makeDownloader();
    downloader->setRequestModifier(RemoteImageDownloaderRequestModifier::withHeaders({{"X-Token", "abc"}}));
    downloader->setDecryptor(RemoteImageDownloaderDecryptor::base64Decryptor());
    const auto secret = download(*downloader, "/secret");
    ASSERT_TRUE(waitFor(secret));
    ASSERT_TRUE(secret->error.isNull()) << secret->error.message().toStdString();
    EXPECT_EQ(secret->images.back().pixelSize(), QSize(10, 10));
    EXPECT_EQ(secret->data, png);
    EXPECT_EQ(server.lastRequestHeader("/secret", "X-Token"), "abc");

    // The context's modifiers win over the downloader's.
    RemoteImageContext context;
    context.downloadResponseModifier =
        std::static_pointer_cast<AbstractRemoteImageDownloaderResponseModifier>(
            RemoteImageDownloaderResponseModifier::withStatusCode(200));
    context.downloadDecryptor.setNone();
    const auto teapot = download(*downloader, "/teapot.png", 0, context);
    ASSERT_TRUE(waitFor(teapot));
    EXPECT_TRUE(teapot->error.isNull()) << teapot->error.message().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return downloader->currentDownloadCount() == 0; }));

    context.downloadResponseModifier =
        std::static_pointer_cast<AbstractRemoteImageDownloaderResponseModifier>(
            RemoteImageDownloaderResponseModifier::withBlock(
                [](const ImageResponse&) { return std::nullopt; }));
    const auto dropped = download(*downloader, "/teapot.png", 0, context);
    ASSERT_TRUE(waitFor(dropped));
    EXPECT_TRUE(dropped->error.is(ImageErrorCode::InvalidDownloadResponse));
    EXPECT_EQ(dropped->error.message(), "Download marked as failed because response is nil");
}

TEST_F(RemoteImageDownloaderTest, callersOfOneUrlShareOneTransferAndCancelAlone) {
    server.serve("/shared.png", ImageAnswer::image(LoopbackImageServer::png(32, 32)));
    server.hold("/shared.png");
    auto downloader = makeDownloader();
    const auto first = download(*downloader, "/shared.png");
    const auto second = download(*downloader, "/shared.png");
    const auto third = download(*downloader, "/shared.png");
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/shared.png") == 1; }));
    EXPECT_EQ(m_tokens[0]->downloadOperation(), m_tokens[1]->downloadOperation());

    m_tokens[1]->cancel();
    m_tokens[1]->cancel(); // a second cancel does nothing
    ASSERT_TRUE(waitFor(second));
    EXPECT_TRUE(second->error.is(ImageErrorCode::Cancelled));
    EXPECT_EQ(second->error.message(), "Operation cancelled by user during sending the request");
    EXPECT_EQ(second->calls, 1);

    server.release("/shared.png");
    ASSERT_TRUE(waitFor(first));
    ASSERT_TRUE(waitFor(third));
    EXPECT_TRUE(first->images.back());
    EXPECT_TRUE(third->images.back());
    EXPECT_EQ(first->images.back(), third->images.back()) << "equal decode options share one image";
    EXPECT_EQ(server.requestCount("/shared.png"), 1);
    test::drainEvents();
    EXPECT_EQ(second->calls, 1);
}

TEST_F(RemoteImageDownloaderTest, cancellingTheOnlyCallerCancelsTheTransfer) {
    server.serve("/slow.png", ImageAnswer::image(LoopbackImageServer::png(8, 8)));
    server.hold("/slow.png");
    auto downloader = makeDownloader();
    const auto only = download(*downloader, "/slow.png");
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/slow.png") == 1; }));
    const auto operation = m_tokens[0]->downloadOperation();
    m_tokens[0]->cancel();
    ASSERT_TRUE(waitFor(only));
    EXPECT_TRUE(only->error.is(ImageErrorCode::Cancelled));
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(test::waitUntil([&] { return operation->isFinished(); }));
    server.release("/slow.png");
    test::drainEvents();
    EXPECT_EQ(only->calls, 1);
}

TEST_F(RemoteImageDownloaderTest, aFinishedOperationNeverDropsTheNewerOneOfItsUrl) {
    server.serve("/again.png", ImageAnswer::image(LoopbackImageServer::png(8, 8)));
    auto downloader = makeDownloader();
    downloader->setSuspended(true);
    const auto old = download(*downloader, "/again.png");
    const auto oldOperation = m_tokens[0]->downloadOperation();
    m_tokens[0]->cancel(); // cancelled but still queued: its table entry stays
    const auto fresh = download(*downloader, "/again.png");
    const auto freshOperation = m_tokens[1]->downloadOperation();
    ASSERT_NE(oldOperation, freshOperation);

    // The fresh download can't end before the third caller comes: its answer is held.
    server.hold("/again.png");
    downloader->setSuspended(false);
    // Settled: finished, and its completion block (which tidies the table) has run.
    std::atomic<bool> oldSettled{false};
    std::thread waiter([&] {
        oldOperation->waitUntilFinished();
        oldSettled = true;
    });
    EXPECT_TRUE(test::waitUntil([&] { return oldSettled.load(); }));
    waiter.join();
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/again.png") == 1; }));
    ASSERT_FALSE(freshOperation->isFinished());

    // The old operation's end must not have removed the fresh entry: a third caller joins it.
    const auto joined = download(*downloader, "/again.png");
    EXPECT_EQ(m_tokens[2]->downloadOperation(), freshOperation);
    server.release("/again.png");
    ASSERT_TRUE(waitFor(fresh));
    ASSERT_TRUE(waitFor(joined));
    EXPECT_TRUE(fresh->images.back());
    EXPECT_TRUE(joined->images.back());
    EXPECT_EQ(server.requestCount("/again.png"), 1);
    EXPECT_TRUE(old->error.is(ImageErrorCode::Cancelled));
}

TEST_F(RemoteImageDownloaderTest, progressIsThrottledAndReachesTheWholeSize) {
    QByteArray body = LoopbackImageServer::png(200, 200, Qt::transparent);
    body.append(QByteArray(20000 - body.size(), '\0')); // trailing bytes do not hurt a PNG
    server.serve("/big.png", ImageAnswer::image(body).trickled(1000, 2));
    RemoteImageDownloaderConfig config;
    config.minimumProgressInterval = 0.25;
    auto downloader = makeDownloader(config);
    std::vector<std::pair<qint64, qint64>> reports;
    std::mutex mutex;
    const auto outcome =
        download(*downloader, "/big.png", 0, {}, [&](qint64 received, qint64 expected, const QUrl&) {
            std::lock_guard lock(mutex);
            reports.emplace_back(received, expected);
        });
    ASSERT_TRUE(waitFor(outcome));
    std::lock_guard lock(mutex);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), std::make_pair(qint64(0), qint64(-1)));
    EXPECT_EQ(reports.back(), std::make_pair(qint64(20000), qint64(20000)));
    EXPECT_LE(reports.size(), 2u + 5u) << "a report at most every quarter, plus the start and the head";
}

TEST_F(RemoteImageDownloaderTest, anAnswerWithoutLengthReportsEveryChunkAgainstZero) {
    const QByteArray png = LoopbackImageServer::png(40, 40);
    server.serve("/open.png", ImageAnswer::image(png).withoutContentLength().trickled(100, 2));
    auto downloader = makeDownloader();
    std::vector<std::pair<qint64, qint64>> reports;
    std::mutex mutex;
    const auto outcome =
        download(*downloader, "/open.png", 0, {}, [&](qint64 received, qint64 expected, const QUrl&) {
            std::lock_guard lock(mutex);
            reports.emplace_back(received, expected);
        });
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_TRUE(outcome->images.back());
    std::lock_guard lock(mutex);
    EXPECT_EQ(reports.back(), std::make_pair(qint64(png.size()), qint64(0)));
}

TEST_F(RemoteImageDownloaderTest, aBodyOverTheCeilingEndsTheDownloadInsteadOfFillingMemory) {
    server.serve("/huge.png", ImageAnswer::image(QByteArray(300000, 'x')));
    server.serve("/sneaky.png", ImageAnswer::image(QByteArray(300000, 'x')).withoutContentLength());
    RemoteImageDownloaderConfig config;
    config.maximumDownloadSize = 100000;
    auto downloader = makeDownloader(config);
    const auto huge = download(*downloader, "/huge.png");
    const auto sneaky = download(*downloader, "/sneaky.png");
    ASSERT_TRUE(waitFor(huge));
    ASSERT_TRUE(waitFor(sneaky));
    EXPECT_TRUE(huge->error.is(ImageErrorCode::InvalidDownloadResponse));
    EXPECT_TRUE(sneaky->error.is(ImageErrorCode::InvalidDownloadResponse));
}

TEST_F(RemoteImageDownloaderTest, lifoStartsTheNewestFirstAndTheLimitHolds) {
    RemoteImageDownloaderConfig config;
    config.executionOrder = RemoteImageDownloaderExecutionOrder::LIFO;
    config.maxConcurrentDownloads = 1;
    // The limit alone: nothing gives its place up, however long it runs.
    config.placeYieldSeconds = 0;
    auto downloader = makeDownloader(config);
    std::vector<QByteArray> order;
    std::mutex mutex;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        QString(RemoteImageDownloadNotifications::start), [&](const Notification& notification) {
            const auto* operation =
                notification.objectAs<std::shared_ptr<AbstractRemoteImageDownloaderOperation>>();
            std::lock_guard lock(mutex);
            order.push_back((*operation)->request().url.path().toLatin1());
        });
    downloader->setSuspended(true);
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (const QByteArray path : {"/1.png", "/2.png", "/3.png"}) {
        server.serve(path, ImageAnswer::image(LoopbackImageServer::png(4, 4)));
        outcomes.push_back(download(*downloader, path));
    }
    EXPECT_EQ(downloader->currentDownloadCount(), 3);
    downloader->setSuspended(false);
    for (const auto& outcome : outcomes) {
        ASSERT_TRUE(waitFor(outcome));
    }
    test::drainEvents();
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<QByteArray>{"/3.png", "/2.png", "/1.png"}));
    EXPECT_EQ(server.peakConnections(), 1);
}

TEST_F(RemoteImageDownloaderTest, lifoKeepsSixDownloadsAtOnceAndStartsTheNewestWhenAPlaceFrees) {
    RemoteImageDownloaderConfig config;
    config.executionOrder = RemoteImageDownloaderExecutionOrder::LIFO;
    // The limit alone: nothing gives its place up, however long it runs.
    config.placeYieldSeconds = 0;
    auto downloader = makeDownloader(config);
    std::mutex mutex;
    std::vector<QByteArray> order;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        QString(RemoteImageDownloadNotifications::start), [&](const Notification& notification) {
            const auto* operation =
                notification.objectAs<std::shared_ptr<AbstractRemoteImageDownloaderOperation>>();
            std::lock_guard lock(mutex);
            order.push_back((*operation)->request().url.path().toLatin1());
        });
    std::vector<QByteArray> paths;
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (int i = 1; i <= 12; ++i) {
        paths.push_back("/" + QByteArray::number(i) + ".png");
        server.serve(paths.back(), ImageAnswer::image(LoopbackImageServer::png(4, 4)));
        server.hold(paths.back());
        outcomes.push_back(download(*downloader, paths.back()));
    }
    const auto held = [&] {
        int count = 0;
        for (const auto& path : paths) {
            count += server.heldCount(path);
        }
        return count;
    };
    // The first six asked start at once, as many as the limit.
    ASSERT_TRUE(test::waitUntil([&] { return held() == 6; }, 10000)) << held();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(server.heldCount(paths[i]), 1) << paths[i].constData();
    }
    // As places free, the newest of those waiting starts.
    for (int i = 0; i < 6; ++i) {
        server.release(paths[i]);
        ASSERT_TRUE(waitFor(outcomes[i]));
        ASSERT_TRUE(test::waitUntil([&] { return server.heldCount(paths[11 - i]) == 1; }, 10000))
            << paths[11 - i].constData();
    }
    for (int i = 6; i < 12; ++i) {
        server.release(paths[i]);
        ASSERT_TRUE(waitFor(outcomes[i]));
    }
    EXPECT_EQ(server.peakConnections(), 6);
    test::drainEvents();
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 12u);
    EXPECT_EQ(std::vector<QByteArray>(order.begin() + 6, order.end()),
              (std::vector<QByteArray>{"/12.png", "/11.png", "/10.png", "/9.png", "/8.png", "/7.png"}));
}

TEST_F(RemoteImageDownloaderTest, settingsAreHandedToTheOperation) {
    RemoteImageDownloaderConfig config;
    config.minimumProgressInterval = 3.0;
    config.downloadTimeout = 0;
    auto downloader = makeDownloader(config);
    const auto operation =
        std::dynamic_pointer_cast<RemoteImageDownloaderOperation>(downloader->createDownloaderOperation(
            server.url("/x.png"), RemoteImageDownloaderLowPriority | RemoteImageDownloaderHighPriority, {}));
    ASSERT_TRUE(operation);
    EXPECT_EQ(operation->minimumProgressInterval(), 1.0);
    EXPECT_EQ(operation->request().timeoutSeconds, 15.0);
    EXPECT_EQ(operation->queuePriority(), Operation::QueuePriority::High);
    EXPECT_EQ(operation->maximumDataSize(), 50ll * 1024 * 1024);
    EXPECT_EQ(RemoteImageDownloader::imageOptionsFromDownloaderOptions(
                  RemoteImageDownloaderAvoidDecodeImage | RemoteImageDownloaderScaleDownLargeImages |
                  RemoteImageDownloaderHighPriority),
              RemoteImageAvoidDecodeImage | RemoteImageScaleDownLargeImages);
    EXPECT_FALSE(downloader->shouldBlockFailedURL(
        QUrl(), ImageError(QString(ImageSession::urlErrorDomain), -1001, {})));
    EXPECT_TRUE(downloader->shouldBlockFailedURL(
        QUrl(), ImageError(QString(ImageSession::urlErrorDomain), -1000, {})));
    EXPECT_FALSE(
        downloader->shouldBlockFailedURL(QUrl(), ImageError(ImageErrorCode::InvalidDownloadStatusCode, {})));
    EXPECT_TRUE(downloader->shouldBlockFailedURL(QUrl(), ImageError(ImageErrorCode::BadImageData, {})));
}

TEST_F(RemoteImageDownloaderTest, onlyHttpAndHttpsUrlsAreFetched) {
    const QByteArray png = LoopbackImageServer::png(16, 16);
    QTemporaryDir folder;
    const QString local = folder.filePath(QStringLiteral("local.png"));
    {
        QFile file(local);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(png);
    }
    server.serve("/a.png", ImageAnswer::image(png));
    server.serve("/to-file.png",
                 ImageAnswer::failure(302).withHeader("Location", QUrl::fromLocalFile(local).toEncoded()));
    auto downloader = makeDownloader();
    EXPECT_TRUE(downloader->canRequestImage(server.url("/a.png")));
    EXPECT_TRUE(downloader->canRequestImage(QUrl(QStringLiteral("HTTPS://example.test/a.png"))));

    const auto expectRefused = [&](const std::shared_ptr<Outcome>& outcome, const std::string& what) {
        ASSERT_TRUE(waitFor(outcome)) << what;
        EXPECT_FALSE(outcome->images.back()) << what;
        EXPECT_TRUE(outcome->data.isEmpty()) << what;
        EXPECT_FALSE(outcome->error.isNull()) << what;
    };
    const QList<QUrl> others = {
        QUrl::fromLocalFile(local),
        QUrl(QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64())),
        QUrl(QStringLiteral("qrc:/icons/app.png")), QUrl(QStringLiteral("ftp://127.0.0.1/a.png"))};
    for (const QUrl& url : others) {
        EXPECT_FALSE(downloader->canRequestImage(url)) << url.scheme().toStdString();
        auto outcome = std::make_shared<Outcome>();
        m_tokens.push_back(downloader->downloadImage(url, 0, {}, nullptr, collect(outcome)));
        expectRefused(outcome, url.scheme().toStdString());
    }

    // Neither a request modifier nor a redirect leads anywhere else.
    RemoteImageContext context;
    context.downloadRequestModifier = std::static_pointer_cast<AbstractRemoteImageDownloaderRequestModifier>(
        RemoteImageDownloaderRequestModifier::withBlock([&](const ImageRequest& request) {
            auto changed = request;
            changed.url = QUrl::fromLocalFile(local);
            return std::optional<ImageRequest>(changed);
        }));
    expectRefused(download(*downloader, "/a.png", 0, context), "modified");
    expectRefused(download(*downloader, "/to-file.png"), "redirected");
}

TEST_F(RemoteImageDownloaderTest, everyDownloadEndsAtItsDeadlineAndSaysItTimedOut) {
    const QByteArray png = LoopbackImageServer::png(64, 64);
    // One byte every 200 ms never leaves the connection idle for long; the other never answers.
    server.serve("/trickle.png", ImageAnswer::image(png).trickled(1, 200));
    server.serve("/silent.png", ImageAnswer::image(png).withLatency(test::scaledMs(10000)));
    RemoteImageDownloaderConfig config;
    config.downloadTimeout = 0.8;
    auto downloader = makeDownloader(config);
    QElapsedTimer clock;
    clock.start();
    const auto trickle = download(*downloader, "/trickle.png");
    const auto silent = download(*downloader, "/silent.png");
    ASSERT_TRUE(test::waitUntil([&] { return trickle->finished && silent->finished; }, 3000));
    EXPECT_LT(clock.elapsed(), test::scaledMs(2500)) << "long before either would have ended";
    for (const auto& outcome : {trickle, silent}) {
        EXPECT_FALSE(outcome->images.back());
        EXPECT_EQ(outcome->error.errorDomain(), QString(ImageSession::urlErrorDomain));
        EXPECT_EQ(outcome->error.code(), ImageSession::TimedOut) << outcome->error.message().toStdString();
        EXPECT_FALSE(downloader->shouldBlockFailedURL(server.url("/trickle.png"), outcome->error));
    }
}

TEST_F(RemoteImageDownloaderTest, bytesNotDrawnNowAreDownloadedAgainOnlyOnceTheDecodesHaveRoomForThem) {
    const QByteArray png = images::testing::encode(images::testing::noise(100, 100), "png");
    for (const char* path : {"/a.png", "/b.png", "/c.png"}) {
        server.serve(path, ImageAnswer::image(png));
    }
    // Broken off half-way: a failure that passes, with no bytes to draw.
    server.serve("/e.png", ImageAnswer::image(png).cutShort(0.5, true));
    RemoteImageDownloaderConfig config;
    // One place of each kind and room for one waiting decode and a half.
    config.decodeLanes = std::make_shared<DecodeLanes>(1, 1, png.size() * 3 / 2);
    config.retryDelay = 0.05;
    auto downloader = makeDownloader(config);
    const auto gate = std::make_shared<images::testing::GateCoder>();
    RemoteImageContext gated;
    gated.imageCoder = std::static_pointer_cast<ImageCoder>(gate);

    // `a` holds the quick place, `b` waits, `c` arrives and `b` makes room for it.
    const auto a = download(*downloader, "/a.png", 0, gated);
    ASSERT_TRUE(test::waitUntil([&] { return gate->enteredCount() == 1; }));
    const auto b = download(*downloader, "/b.png", 0, gated);
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount("/b.png") == 1; }));
    download(*downloader, "/c.png", 0, gated);
    ASSERT_TRUE(waitFor(b));
    ASSERT_TRUE(b->error.value(ImageError::decodeWithoutDrawingKey).toBool())
        << b->error.message().toStdString();
    // `e` fails after `b`, so its delay ends after `b`'s.
    ASSERT_TRUE(waitFor(download(*downloader, "/e.png")));
    server.serve("/e.png", ImageAnswer::image(png));

    // Asked again, `b` first: `e` goes once its delay is over, and `b`, whose delay was over
    // earlier, waits while its bytes would find no room.
    const auto bAgain = download(*downloader, "/b.png", 0, gated);
    const auto eAgain = download(*downloader, "/e.png", 0, gated);
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount("/e.png") == 2; }));
    EXPECT_EQ(server.requestCount("/b.png"), 1) << "downloaded again with no room for its bytes";

    // The decodes go on: `b` is downloaded again with room held for it, and drawn.
    gate->letGo();
    ASSERT_TRUE(waitFor(a));
    ASSERT_TRUE(waitFor(bAgain));
    EXPECT_TRUE(bAgain->images.back()) << bAgain->error.message().toStdString();
    EXPECT_EQ(server.requestCount("/b.png"), 2);
    EXPECT_EQ(config.decodeLanes->heldBytes(), 0);
}
