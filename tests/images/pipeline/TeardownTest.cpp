#include "images/cache/ImageCache.h"
#include "images/core/DispatchQueue.h"
#include "images/pipeline/RemoteImageManager.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <poll.h>

#include <cstdio>

using namespace velmora::images;
using velmora::test::LoopbackImageServer;

namespace {

const char* childUrlVariable = "VELMORA_TEARDOWN_CHILD_URL";

} // namespace

// The half that runs in a child process: it leaves main() with a download held by the server,
// disk work queued on the shared cache and pool work that answers on the main queue.
TEST(TeardownTest, childLeavesWithWorkInFlight) {
    const auto url = qEnvironmentVariable(childUrlVariable);
    if (url.isEmpty()) {
        GTEST_SKIP() << "started by leavingWithWorkInFlightEndsTheProcessCleanly";
    }
    RemoteImageManager::sharedManager()->loadImage(
        QUrl(url), 0, nullptr,
        [](const Image&, const QByteArray&, const ImageError&, ImageCacheType, bool, const QUrl&) {});
    const auto cache = ImageCache::sharedImageCache();
    QImage pixels(256, 256, QImage::Format_ARGB32);
    pixels.fill(Qt::blue);
    for (int i = 0; i < 20; ++i) {
        const auto key = QStringLiteral("teardown-%1").arg(i);
        cache->storeImage(Image(pixels), std::nullopt, key, 0, {}, ImageCacheType::All, [] {});
        cache->queryImageForKey(key, 0, {}, ImageCacheType::Disk,
                                [](const Image&, const std::optional<QByteArray>&, ImageCacheType) {});
    }
    for (int i = 0; i < 8; ++i) {
        DispatchQueue::global().async([] {
            QThread::msleep(50);
            DispatchQueue::main().sync([] {});
            DispatchQueue::main().async([] {});
        });
    }
    // Leaves once the parent saw the request reach the server, which holds it: the parent says
    // so on the child's input.
    std::printf("asked\n");
    std::fflush(stdout);
    const bool told = velmora::test::waitUntil(
        [] {
            pollfd input{0, POLLIN, 0};
            return ::poll(&input, 1, 0) > 0;
        },
        30000);
    ASSERT_TRUE(told) << "the parent never said the request arrived";
}

TEST(TeardownTest, leavingWithWorkInFlightEndsTheProcessCleanly) {
    if (qEnvironmentVariableIsSet(childUrlVariable)) {
        GTEST_SKIP();
    }
    LoopbackImageServer server;
    server.serve("/held.png", velmora::test::ImageAnswer::image(LoopbackImageServer::png(8, 8)));
    server.hold("/held.png");
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());

    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(childUrlVariable),
                       server.url(QStringLiteral("/held.png")).toString());
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=TeardownTest.childLeavesWithWorkInFlight")});
    // The child leaves main() once its download is held by the server, however long that takes.
    const bool held = velmora::test::waitUntil(
        [&] { return server.heldCount("/held.png") == 1 || child.state() == QProcess::NotRunning; }, 30000);
    child.write("arrived\n");
    child.closeWriteChannel();
    ASSERT_TRUE(held) << "the child's download never reached the server";
    ASSERT_TRUE(child.waitForFinished(velmora::test::scaledMs(60000)));
    const auto output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();
    // The download was still waiting for its answer when the child ended.
    EXPECT_EQ(server.requestCount("/held.png"), 1);
}
