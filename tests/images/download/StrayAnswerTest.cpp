// An image server, or a box in front of it, that sends a second whole answer a while after the
// first leaves it waiting on the idle connection: the next avatar on that connection would be
// drawn from it, and stored in the URL cache under the wrong URL.

#include "images/download/ImageSession.h"
#include "images/download/RemoteImageDownloader.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace velmora;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

struct Drawn {
    std::mutex mutex;
    bool finished = false;
    Image image;
    ImageError error;
};

std::shared_ptr<Drawn> download(RemoteImageDownloader& downloader, const QUrl& url,
                                std::vector<std::shared_ptr<RemoteImageDownloadToken>>& tokens) {
    auto drawn = std::make_shared<Drawn>();
    tokens.push_back(downloader.downloadImage(
        url, 0, {}, nullptr,
        [drawn](const Image& image, const QByteArray&, const ImageError& error, bool finished) {
            if (finished) {
                std::lock_guard lock(drawn->mutex);
                drawn->image = image;
                drawn->error = error;
                drawn->finished = true;
            }
        }));
    return drawn;
}

bool isFinished(const std::shared_ptr<Drawn>& drawn) {
    std::lock_guard lock(drawn->mutex);
    return drawn->finished;
}

QByteArray wholeAnswer(const QByteArray& png) {
    return "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nCache-Control: max-age=3600\r\nContent-Length: " +
           QByteArray::number(png.size()) + "\r\n\r\n" + png;
}

struct StrayCase {
    LoopbackImageServer::Scheme scheme;
    int afterMs;
    std::unique_ptr<LoopbackImageServer> server;
    std::shared_ptr<Drawn> first;
    std::shared_ptr<Drawn> second;

    std::string name() const {
        return std::string(scheme == LoopbackImageServer::Scheme::Https ? "HTTPS" : "HTTP") + ", " +
               std::to_string(afterMs) + " ms";
    }
};

} // namespace

// The stray answers (another picture, 30 x 30, to be kept an hour) come 20 ms, 200 ms and 6 s
// after the first avatar's, over HTTP and HTTPS, every case at once; connections are kept long
// enough for the 6 s case to meet one. The next avatar of each server is its own, 12 x 12.
TEST(StrayAnswer, NoAvatarIsDrawnFromAnAnswerThatCameForNoRequest) {
    QTemporaryDir cacheFolder;
    ImageSession::Configuration session;
    session.urlCacheDirectory = cacheFolder.path();
    session.extraCaCertificates = LoopbackImageServer::trustedCaCertificates();
    session.idleConnectionSeconds = 30;
    RemoteImageDownloaderConfig config;
    config.sessionConfiguration = session;
    RemoteImageDownloader downloader(config);
    std::vector<std::shared_ptr<RemoteImageDownloadToken>> tokens;

    const QByteArray stray = wholeAnswer(LoopbackImageServer::png(30, 30, Qt::red));
    std::vector<StrayCase> cases;
    for (const auto scheme : {LoopbackImageServer::Scheme::Http, LoopbackImageServer::Scheme::Https}) {
        for (const int afterMs : {20, 200, 6000}) {
            StrayCase c{scheme, afterMs, std::make_unique<LoopbackImageServer>(scheme), {}, {}};
            c.server->serve(
                "/first.png",
                ImageAnswer::image(LoopbackImageServer::png(12, 12, Qt::blue)).followedBy(stray, afterMs));
            c.server->serve("/second.png", ImageAnswer::image(LoopbackImageServer::png(12, 12, Qt::green))
                                               .withHeader("Cache-Control", "max-age=3600"));
            c.first = download(downloader, c.server->url(QStringLiteral("/first.png")), tokens);
            cases.push_back(std::move(c));
        }
    }
    const auto step = [&] {
        bool allDone = true;
        for (StrayCase& c : cases) {
            if (!c.second && isFinished(c.first) && c.server->straysSent() == 1) {
                c.second = download(downloader, c.server->url(QStringLiteral("/second.png")), tokens);
            }
            allDone = allDone && c.second && isFinished(c.second);
        }
        return allDone;
    };
    ASSERT_TRUE(test::waitUntil(step, test::scaledMs(30000)));

    for (const StrayCase& c : cases) {
        SCOPED_TRACE(c.name());
        std::lock_guard lock(c.second->mutex);
        ASSERT_TRUE(c.second->image) << c.second->error.message().toStdString();
        EXPECT_EQ(c.second->image.pixelSize(), QSize(12, 12)) << "drawn from the stray answer";
        EXPECT_EQ(c.second->image.bitmap().pixelColor(5, 5), QColor(Qt::green));
        EXPECT_EQ(c.server->requestCount("/second.png"), 1);
    }
}
