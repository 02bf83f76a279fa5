// A hostile avatar whose drawing ends its drawing process (at its deadline, its CPU limit, in a
// crash) was drawn again at every ask from the bytes in the disk cache: one such SVG asked every
// second for a minute took 30 drawing processes and 32 s of CPU time. It waits the growing delay
// of a failed download before it is drawn again, across starts too. On a busy machine, where its
// wall time ran out before its CPU budget, it was drawn at every ask (55 copies, 24 s of CPU time
// in a minute at a load of 30): a drawing ended at its wall time waits that delay as well.

#include "images/cache/DiskCache.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/coders/vector-render/VectorRenderHost.h"
#include "images/core/RetryDelay.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "platform/async/Clock.h"
#include "tests/images/support/ChildProcesses.h"
#include "tests/images/support/DrawingProgram.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

using namespace velmora::images;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;
using namespace velmora::images::testing;

namespace {

struct Answer {
    Image image;
    ImageError error;
    bool finished = false;
};

// The app's side of one start: a cache in `folder`, read on `clock`, and a downloader.
struct Start {
    std::shared_ptr<RemoteImageManager> manager;

    Start(const QString& folder, const std::shared_ptr<velmora::Clock>& clock) {
        auto config = std::make_shared<ImageCacheConfig>();
        config->setClock(clock);
        manager = std::make_shared<RemoteImageManager>(
            std::make_shared<ImageCache>(QStringLiteral("avatars"), folder, config),
            std::make_shared<RemoteImageDownloader>());
    }

    // Asks for the avatar at `url` as a row does, and waits for its answer.
    Answer ask(const QUrl& url) {
        auto answer = std::make_shared<Answer>();
        auto mutex = std::make_shared<std::mutex>();
        RemoteImageContext context;
        context.imageThumbnailPixelSize = QSizeF(32, 32);
        context.imageScaleFactor = 1.0;
        const auto load =
            manager->loadImage(url, 0, context, nullptr,
                               [answer, mutex](const Image& image, const QByteArray&, const ImageError& error,
                                               ImageCacheType, bool finished, const QUrl&) {
                                   std::lock_guard lock(*mutex);
                                   answer->image = image;
                                   answer->error = error;
                                   answer->finished = finished;
                               });
        EXPECT_TRUE(velmora::test::waitUntil(
            [&] {
                std::lock_guard lock(*mutex);
                return answer->finished;
            },
            60000));
        std::lock_guard lock(*mutex);
        return *answer;
    }
};

// Drawings sent to a drawing process since the last call.
int drawingsSent() {
    return VectorRenderHost::takeCountsForTesting().sent;
}

// Asks for `svg`, whose drawing ends its process, as rows do through two starts of the app on
// one cache folder: drawn once, then refused until its delay is over, and twice as long after it
// ended again.
void waitsItsGrowingDelayAcrossStarts(const QByteArray& svg) {
    LoopbackImageServer server;
    server.serve("/hostile.svg", ImageAnswer::image(svg, "image/svg+xml"));
    const QUrl url = server.url(QStringLiteral("/hostile.svg"));
    QTemporaryDir folder;
    auto clock = std::make_shared<velmora::ManualClock>(QDateTime::currentDateTime());
    const qint64 delayMs = qint64(RetryDelay::firstSeconds * 1000);
    const auto refusedNow = [](const Answer& answer) {
        return !answer.image && answer.error.value(ImageError::notNowKey).toBool() &&
               answer.error.value(ImageError::drawingEndedKey).toBool();
    };
    (void)drawingsSent();

    // Downloaded and drawn (a try in the quick lane cut at its limit, then the whole drawing); its
    // drawing ended.
    Start first(folder.path(), clock);
    Answer answer = first.ask(url);
    // A machine busier still (the whole suite beside this test) may start no copy in time: no
    // drawing at all, which says nothing of the document and starts no delay. Asked again then,
    // as a row would be; a drawing that ended is never asked again here.
    const auto noDrawingStarted = [&](const Answer& answer) {
        return !refusedNow(answer) && answer.error.value(ImageError::decodeWithoutDrawingKey).toBool();
    };
    int asks = 1;
    for (; asks < 4 && noDrawingStarted(answer); ++asks) {
        answer = first.ask(url);
    }
    EXPECT_TRUE(refusedNow(answer)) << answer.error.message().toStdString();
    EXPECT_FALSE(first.manager->isFailedURL(url)) << "refused for the run";
    EXPECT_LE(drawingsSent(), 2 * asks);
    const int downloads = server.requestCount("/hostile.svg");
    // Asked again and again within its delay: neither drawn nor downloaded.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(refusedNow(first.ask(url))) << "ask " << i;
    }
    EXPECT_EQ(drawingsSent(), 0) << "drawn again within its delay";
    EXPECT_EQ(server.requestCount("/hostile.svg"), downloads);

    // Started again, with the same cache folder: still refused. The first start's cache writes
    // the refusal on a queue of its own, as a quit waits for; this start goes on once it is there.
    const auto cache = std::dynamic_pointer_cast<ImageCache>(first.manager->imageCache());
    ASSERT_NE(cache, nullptr);
    const DiskCache disk(cache->diskCachePath(), std::make_shared<ImageCacheConfig>());
    const QString key = first.manager->cacheKeyForURL(url);
    EXPECT_TRUE(velmora::test::waitUntil([&] { return disk.drawingRefusalForKey(key).has_value(); }, 60000))
        << "the refusal never reached the disk";
    Start second(folder.path(), clock);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(refusedNow(second.ask(url))) << "ask " << i << " after a start";
    }
    EXPECT_EQ(drawingsSent(), 0) << "drawn again after a start within its delay";
    EXPECT_EQ(server.requestCount("/hostile.svg"), downloads);

    // Its delay over, drawn once more from the bytes kept; ended again, it waits twice as long.
    clock->advance(delayMs);
    EXPECT_TRUE(refusedNow(second.ask(url)));
    EXPECT_EQ(drawingsSent(), 1);
    clock->advance(delayMs);
    EXPECT_TRUE(refusedNow(second.ask(url)));
    EXPECT_EQ(drawingsSent(), 0) << "the second delay was no longer than the first";
    clock->advance(delayMs);
    EXPECT_TRUE(refusedNow(second.ask(url)));
    EXPECT_EQ(drawingsSent(), 1);
    EXPECT_EQ(server.requestCount("/hostile.svg"), downloads);
}

} // namespace

TEST(DrawingRefusal, ADocumentWhoseDrawingEndsItsProcessWaitsItsDelayAcrossStarts) {
    ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
    // The real program, which burns its CPU on both its threads as it draws, its budget's alarm
    // ignored, until it is ended.
    QTemporaryDir links;
    const QString hostile = links.filePath(QStringLiteral("spin-to-deadline"));
    ASSERT_TRUE(QFile::link(QCoreApplication::applicationDirPath() +
                                QStringLiteral("/velmora_hostile_drawing_program"),
                            hostile));
    const QString real = VectorRenderHost::programPath();
    VectorRenderHost::useProgram(hostile);
    // Its own CPU limit ends it, however busy the machine.
    VectorRenderHost::setAnswerDeadlineMsForTesting(10 * 60 * 1000);
    const auto restore = qScopeGuard([&real] {
        VectorRenderHost::setAnswerDeadlineMsForTesting(0);
        VectorRenderHost::useProgram(real);
    });

    waitsItsGrowingDelayAcrossStarts(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\"><rect "
        "width=\"60\" height=\"60\" fill=\"red\"/></svg>");
}

TEST(DrawingRefusal, ADrawingEndedAtItsWallTimeOnABusyMachineWaitsItsDelayAsWell) {
    ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
    // The real program, drawing a finely dashed path 300 times (some tenths of a second of CPU
    // time), on a machine where the drawing processes get a fiftieth of a core: its wall time runs
    // out long before its CPU budget.
    QByteArray path = "<path id=\"p\" stroke=\"#000\" stroke-dasharray=\"0.05\" fill=\"red\" d=\"M0 0";
    for (int i = 0; i < 400; ++i) {
        path += " L" + QByteArray::number(i * 37 % 60) + " " + QByteArray::number(i * 53 % 60);
    }
    // As busy as a machine gets for the drawing processes: each let run 2 ms in every 100. Only
    // they are held back; loops burning every core would slow every test running beside this one.
    const Throttle busy([] { return childProcesses(); }, 2);
    waitsItsGrowingDelayAcrossStarts("<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                     "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"60\" "
                                     "height=\"60\"><defs>" +
                                     path + "\"/></defs>" +
                                     QByteArray("<use xlink:href=\"#p\"/>").repeated(300) + "</svg>");
}
