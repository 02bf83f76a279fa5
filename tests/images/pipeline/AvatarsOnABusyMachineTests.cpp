// An avatar whose drawing met a busy machine: not drawn now, never refused for the run, and drawn
// when asked again once the delay its ended drawing waits is over.

#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/RetryDelay.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "platform/async/Clock.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/DrawingProgram.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

using namespace velmora::images;
using namespace velmora::images::testing;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;

namespace {

// One finely dashed path drawn six hundred times: a few tenths of a second of CPU at an avatar's
// size, well within the drawing's budget, and many seconds of wall time at a fiftieth of a core.
QByteArray busyMachineSvg(int variant) {
    QByteArray path = "<path id=\"p\" d=\"M0 " + QByteArray::number(variant % 60);
    for (int j = 0; j < 400; ++j) {
        path += " L" + QByteArray::number((j * 37) % 60) + " " + QByteArray::number((j * 53) % 60);
    }
    path += "\" stroke=\"black\" stroke-width=\"0.3\" stroke-dasharray=\"0.05\" fill=\"red\"/>";
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "width=\"60\" height=\"60\"><defs>" +
           path + "</defs>" + QByteArray("<use xlink:href=\"#p\"/>").repeated(600) + "</svg>";
}

// The drawing processes of this test, alive now.
std::set<qint64> busyMachineDrawingProcesses() {
    const QString program = QFileInfo(VectorRenderHost::programPath()).canonicalFilePath();
    std::set<qint64> found;
    for (const qint64 pid : childProcesses()) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == program) {
            found.insert(pid);
        }
    }
    return found;
}

struct BusyMachineAnswer {
    Image image;
    ImageError error;
    bool finished = false;
};

} // namespace

TEST(AvatarsOnABusyMachine, ADrawingOutOfWallTimeIsNotRefusedForTheRunAndIsDrawnAfterItsDelay) {
    LoopbackImageServer server;
    server.serve("/busy.svg", ImageAnswer::image(busyMachineSvg(0), "image/svg+xml"));
    QTemporaryDir root;
    auto config = std::make_shared<ImageCacheConfig>();
    auto clock = std::make_shared<velmora::ManualClock>(QDateTime::currentDateTime());
    config->setClock(clock);
    auto manager = std::make_shared<RemoteImageManager>(
        std::make_shared<ImageCache>(QStringLiteral("avatars"), root.path(), config),
        std::make_shared<RemoteImageDownloader>());
    std::mutex mutex;
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> loads;
    const auto ask = [&] {
        auto answer = std::make_shared<BusyMachineAnswer>();
        RemoteImageContext context;
        context.imageThumbnailPixelSize = QSizeF(32, 32);
        context.imageScaleFactor = 1.0;
        loads.push_back(manager->loadImage(server.url(QStringLiteral("/busy.svg")), 0, context, nullptr,
                                           [&mutex, answer](const Image& image, const QByteArray&,
                                                            const ImageError& error, ImageCacheType,
                                                            bool finished, const QUrl&) {
                                               std::lock_guard lock(mutex);
                                               answer->image = image;
                                               answer->error = error;
                                               answer->finished = finished;
                                           }));
        EXPECT_TRUE(velmora::test::waitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return answer->finished;
            },
            60000));
        return answer;
    };

    // The machine made busy for the drawing processes, those there and those started meanwhile:
    // each gets a fiftieth of a core (a start takes seconds so, within its own bound).
    std::shared_ptr<BusyMachineAnswer> first;
    {
        Throttle throttle(busyMachineDrawingProcesses, 2);
        first = ask();
    }
    {
        std::lock_guard lock(mutex);
        ASSERT_FALSE(first->image) << "drawn on the busy machine all the same";
        EXPECT_FALSE(first->error.message().contains(QStringLiteral("budget")))
            << first->error.message().toStdString();
    }
    EXPECT_FALSE(manager->isFailedURL(server.url(QStringLiteral("/busy.svg"))));

    // Within its delay, not drawn again.
    (void)VectorRenderHost::takeCountsForTesting();
    EXPECT_FALSE(ask()->image);
    EXPECT_EQ(VectorRenderHost::takeCountsForTesting().sent, 0) << "drawn again within its delay";

    // The machine no longer held back and the delay over, the same avatar is drawn from the bytes
    // kept: at once, unless the machine running the test is itself that busy (each try then waits
    // a delay twice as long as the one before).
    int asked = 1;
    for (bool drawn = false; !drawn && asked < 5; ++asked) {
        clock->advance(qint64(RetryDelay::firstSeconds * 1000) << asked);
        const auto again = ask();
        std::lock_guard lock(mutex);
        drawn = bool(again->image);
        EXPECT_TRUE(drawn || !again->error.is(ImageErrorCode::BlockedURL))
            << "asked " << asked + 1 << " times";
        EXPECT_TRUE(drawn || asked + 1 < 5) << again->error.message().toStdString();
    }
    EXPECT_EQ(server.requestCount("/busy.svg"), 1);
    for (const auto& load : loads) {
        load->cancel();
    }
}
