#include "image-views/RemoteImage.h"
#include "image-views/ImageManager.h"
#include "images/animation/AnimatedImage.h"
#include "images/cache/ImageCache.h"
#include "images/coders/ImageCodersManager.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"

#include "tests/image-views/ScriptedLoader.h"
#include "tests/images/support/LaterAnswer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QProgressBar>
#include <QTemporaryDir>

#include <thread>

using namespace velmora;
using namespace velmora::imageviews;
using images::ImageErrorCode;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

class RemoteImageTest : public ::testing::Test {
protected:
    RemoteImageTest() {
        images::RemoteImageDownloaderConfig config;
        images::ImageSession::Configuration session;
        session.urlCacheDirectory = m_folder.path() + QStringLiteral("/urls");
        config.sessionConfiguration = session;
        m_downloader = std::make_shared<images::RemoteImageDownloader>(config);
        m_cache = std::make_shared<images::ImageCache>(QStringLiteral("views"), m_folder.path());
        m_manager = std::make_shared<images::RemoteImageManager>(m_cache, m_downloader);
        m_context.customManager = m_manager;
    }

    QTemporaryDir m_folder;
    LoopbackImageServer server;
    std::shared_ptr<images::RemoteImageDownloader> m_downloader;
    std::shared_ptr<images::ImageCache> m_cache;
    std::shared_ptr<images::RemoteImageManager> m_manager;
    images::RemoteImageContext m_context;
};

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

} // namespace

TEST_F(RemoteImageTest, theManagerPublishesTheImageAndIgnoresASupersededOrCancelledLoad) {
    server.serve("/a.png", ImageAnswer::image(LoopbackImageServer::png(8, 8, Qt::red)).withLatency(80));
    server.serve("/b.png", ImageAnswer::image(LoopbackImageServer::png(9, 9, Qt::blue)));
    ImageManager manager;
    int successes = 0;
    manager.successBlock = [&](const images::Image&, const QByteArray&, images::ImageCacheType) {
        ++successes;
    };
    manager.load(server.url("/a.png"), 0, m_context);
    EXPECT_TRUE(manager.indicatorStatus()->isLoading());
    manager.load(server.url("/a.png"), 0, m_context); // the same URL loads once
    manager.load(server.url("/b.png"), 0, m_context); // a newer URL: the first result must not win
    ASSERT_TRUE(test::waitUntil([&] { return !manager.indicatorStatus()->isLoading() && manager.image(); }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 150));
    EXPECT_EQ(manager.image().pixelSize(), QSize(9, 9));
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(server.requestCount("/a.png"), 1);
    EXPECT_EQ(manager.indicatorStatus()->progress(), 1.0);

    server.serve("/c.png", ImageAnswer::image(LoopbackImageServer::png(7, 7)));
    server.hold("/c.png");
    manager.load(server.url("/c.png"), 0, m_context);
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/c.png") == 1; }));
    manager.cancel();
    server.release("/c.png");
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 50));
    EXPECT_EQ(manager.image().pixelSize(), QSize(9, 9)) << "a cancelled load changes nothing";
    EXPECT_TRUE(manager.error().isNull());
    EXPECT_FALSE(manager.indicatorStatus()->isLoading());
}

TEST_F(RemoteImageTest, showsThePlaceholderThenTheImageAndNeverTheOldImageForANewUrl) {
    server.serve("/red.png", ImageAnswer::image(LoopbackImageServer::png(20, 20, Qt::red)));
    server.serve("/blue.png",
                 ImageAnswer::image(LoopbackImageServer::png(20, 20, Qt::blue)).withLatency(100));
    auto* view = RemoteImage::withContentAndPlaceholder(
        server.url("/red.png"), 1.0, 0, m_context, true,
        [](QPainter& painter, const QRect& rect, const QImage& image) { painter.drawImage(rect, image); },
        [](QPainter& painter, const QRect& rect) { painter.fillRect(rect, Qt::gray); });
    std::unique_ptr<RemoteImage> owner(view);
    view->resize(20, 20);
    view->resizable();
    view->show();
    EXPECT_EQ(render(*view).pixelColor(10, 10), QColor(Qt::gray));
    ASSERT_TRUE(test::waitUntil([&] { return view->phase().kind() == RemoteImagePhase::Kind::Success; }));
    EXPECT_EQ(render(*view).pixelColor(10, 10), QColor(Qt::red));

    view->setUrl(server.url("/blue.png"));
    test::drainEvents();
    EXPECT_NE(render(*view).pixelColor(10, 10), QColor(Qt::red));
    ASSERT_TRUE(test::waitUntil([&] { return view->phase().kind() == RemoteImagePhase::Kind::Success; }));
    EXPECT_EQ(render(*view).pixelColor(10, 10), QColor(Qt::blue));
}

TEST_F(RemoteImageTest, aFailureShowsThePlaceholderReportsOnceAndRetriesWhenShownAgain) {
    server.serve("/gone.png", ImageAnswer::failure(404));
    RemoteImage view(server.url("/gone.png"), 1.0, images::RemoteImageRetryFailedURL, m_context, false);
    int failures = 0;
    view.onFailure([&](const images::ImageError& error) {
        ++failures;
        EXPECT_TRUE(error.is(ImageErrorCode::InvalidDownloadStatusCode));
    });
    view.show();
    ASSERT_TRUE(test::waitUntil([&] { return view.phase().kind() == RemoteImagePhase::Kind::Failure; }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 100));
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(server.requestCount("/gone.png"), 1);

    server.serve("/gone.png", ImageAnswer::image(LoopbackImageServer::png(5, 5)));
    view.hide();
    view.show();
    ASSERT_TRUE(test::waitUntil([&] { return view.phase().kind() == RemoteImagePhase::Kind::Success; }));
    EXPECT_EQ(server.requestCount("/gone.png"), 2);
}

TEST_F(RemoteImageTest, twoViewsOfOneUrlLoadItOnceAndTheIndicatorFollowsTheLoad) {
    server.serve("/shared.png", ImageAnswer::image(LoopbackImageServer::png(6, 6)).withLatency(100));
    RemoteImage first(server.url("/shared.png"), 1.0, 0, m_context);
    RemoteImage second(server.url("/shared.png"), 1.0, 0, m_context);
    first.indicator(Indicator::progress());
    first.resize(100, 40);
    first.show();
    second.show();
    ASSERT_TRUE(test::waitUntil([&] { return !first.findChildren<QProgressBar*>().isEmpty(); }));
    ASSERT_TRUE(test::waitUntil([&] {
        return first.phase().kind() == RemoteImagePhase::Kind::Success &&
               second.phase().kind() == RemoteImagePhase::Kind::Success;
    }));
    EXPECT_EQ(server.requestCount("/shared.png"), 1);
    EXPECT_TRUE(test::waitUntil([&] { return first.findChildren<QProgressBar*>().isEmpty(); }));
}

namespace {
QByteArray animatedGif(const QList<QColor>& colours = {Qt::red, Qt::green, Qt::blue}) {
    QList<images::ImageFrame> frames;
    for (const QColor& colour : colours) {
        QImage bitmap(10, 10, QImage::Format_ARGB32);
        bitmap.fill(colour);
        frames.append({images::Image(bitmap), 0.03});
    }
    return images::ImageCodersManager::sharedManager()->encodedDataWithFrames(frames, 0,
                                                                              images::ImageFormat::GIF, {});
}
} // namespace

TEST_F(RemoteImageTest, anAnimatedImagePlaysAndPausesWhenHidden) {
    const QByteArray gif = animatedGif();
    ASSERT_FALSE(gif.isEmpty());
    server.serve("/anim.gif", ImageAnswer::image(gif, "image/gif"));
    RemoteImage view(server.url("/anim.gif"), 1.0, 0, m_context, true);
    view.resize(10, 10);
    view.show();
    ASSERT_TRUE(test::waitUntil([&] { return view.imagePlayer()->isPlaying(); }));
    ASSERT_TRUE(test::waitUntil([&] { return view.imagePlayer()->currentFrameIndex() > 0; }));
    EXPECT_EQ(view.imagePlayer()->player()->totalFrameCount(), 3u);
    view.hide();
    EXPECT_FALSE(view.imagePlayer()->isPlaying());

    // Animation off keeps the frame that was showing.
    view.show();
    ASSERT_TRUE(test::waitUntil([&] { return view.imagePlayer()->isPlaying(); }));
    view.setAnimating(false);
    ASSERT_TRUE(test::waitUntil([&] { return !view.imagePlayer()->isPlaying(); }));
    EXPECT_TRUE(view.imagePlayer()->isValid());
}

TEST(ImagePlayerTest, aStillImageMakesNoPlayerAndASecondSetupChangesNothing) {
    ImagePlayer player;
    QImage bitmap(4, 4, QImage::Format_ARGB32);
    const images::Image still(bitmap);
    player.setupPlayer(still);
    EXPECT_FALSE(player.isValid());
    EXPECT_EQ(player.currentAnimatedImage(), still);
    player.startPlaying();
    EXPECT_FALSE(player.isPlaying());

    const images::Image animated = images::AnimatedImage::imageWithData(animatedGif());
    player.setupPlayer(animated);
    ASSERT_TRUE(player.isValid());
    player.customLoopCount = 0;
    player.setupPlayer(images::AnimatedImage::imageWithData(animatedGif()));
    EXPECT_EQ(player.currentAnimatedImage(), animated);
    player.pausePlaying();
    player.seekToFrame(2, 0);
    EXPECT_EQ(player.currentFrameIndex(), 0u) << "a paused player's seek is not published";
}

TEST_F(RemoteImageTest, theContextKeepsItsOwnScaleAndThePhasesAnswerOnlyForThemselves) {
    images::RemoteImageContext context = m_context;
    context.imageScaleFactor = 3.0;
    RemoteImage scaled(server.url("/x.png"), 2.0, 0, context, false);
    EXPECT_EQ(scaled.context().imageScaleFactor.value(), 3.0);
    EXPECT_TRUE(scaled.context().animatedImageClass.isAbsent()) << "no animated kind without animation";
    RemoteImage plain(server.url("/x.png"), 2.0, 0, m_context, true);
    EXPECT_EQ(plain.context().imageScaleFactor.value(), 2.0);
    EXPECT_TRUE(plain.context().animatedImageClass.hasValue());

    const auto success = RemoteImagePhase::success(QImage(1, 1, QImage::Format_ARGB32));
    EXPECT_TRUE(success.image());
    EXPECT_FALSE(success.error());
    const auto failure = RemoteImagePhase::failure(images::ImageError(ImageErrorCode::BadImageData, {}));
    EXPECT_FALSE(failure.image());
    EXPECT_TRUE(failure.error());
    EXPECT_FALSE(RemoteImagePhase::empty().image());
    EXPECT_FALSE(RemoteImagePhase::empty().error());
}

// After an animation, the view with the next URL shows that URL's image, and a still image
// settles: nothing keeps the player announcing changes.
class RemoteImageAfterAnimationTest : public RemoteImageTest {
protected:
    void playGreenAnimation(RemoteImage& view) {
        const QByteArray gif = animatedGif({Qt::green, Qt::darkGreen, Qt::green});
        ASSERT_FALSE(gif.isEmpty());
        server.serve("/green.gif", ImageAnswer::image(gif, "image/gif"));
        // A vector image: it never becomes an animated one, so it comes without frames.
        server.serve("/yellow.svg",
                     ImageAnswer::image(R"(<svg xmlns="http://www.w3.org/2000/svg" width="12" )"
                                        R"(height="12"><rect width="12" height="12" fill="#ffff00"/></svg>)",
                                        "image/svg+xml"));
        view.setUrl(server.url("/green.gif"));
        view.resizable();
        view.resize(12, 12);
        view.show();
        ASSERT_TRUE(test::waitUntil([&] { return static_cast<bool>(view.imagePlayer()->currentFrame()); }));
    }
    static bool showsYellow(const RemoteImage& view) {
        return view.phase().kind() == RemoteImagePhase::Kind::Success &&
               !images::AnimatedImage::fromImage(view.imageManager()->image());
    }
    static bool isYellow(const QColor& colour) {
        return colour.red() > 240 && colour.green() > 240 && colour.blue() < 30;
    }
};

TEST_F(RemoteImageAfterAnimationTest, withAnimationOffANewUrlShowsItsOwnImageNotAFrameOfTheOldOne) {
    RemoteImage view(std::nullopt, 1.0, 0, m_context, true);
    playGreenAnimation(view);
    view.setAnimating(false);
    ASSERT_TRUE(test::waitUntil([&] { return !view.imagePlayer()->isPlaying(); }));

    view.setUrl(server.url("/yellow.svg"));
    ASSERT_TRUE(test::waitUntil([&] { return showsYellow(view); }));
    test::drainEvents();
    EXPECT_TRUE(isYellow(render(view).pixelColor(6, 6)))
        << render(view).pixelColor(6, 6).name().toStdString();
    EXPECT_TRUE(isYellow(view.phase().image()->pixelColor(6, 6)));
}

TEST_F(RemoteImageAfterAnimationTest, aStillImageAfterAnAnimatedOneSettles) {
    RemoteImage view(std::nullopt, 1.0, 0, m_context, true);
    playGreenAnimation(view);

    view.setUrl(server.url("/yellow.svg"));
    ASSERT_TRUE(test::waitUntil([&] { return showsYellow(view); }));
    test::drainEvents();
    int notices = 0;
    QObject::connect(view.imagePlayer(), &ImagePlayer::objectWillChange, [&] { ++notices; });
    // Another view playing the animation meanwhile goes round it once and more: a player
    // still playing would have said so as often.
    RemoteImage playing(std::nullopt, 1.0, 0, m_context, true);
    playing.setUrl(server.url("/green.gif"));
    playing.resizable();
    playing.resize(12, 12);
    playing.show();
    int playingNotices = 0;
    QObject::connect(playing.imagePlayer(), &ImagePlayer::objectWillChange, [&] { ++playingNotices; });
    ASSERT_TRUE(test::waitUntil([&] { return playingNotices >= 5; }));
    EXPECT_EQ(notices, 0);
    EXPECT_FALSE(view.imagePlayer()->isValid());
    EXPECT_TRUE(isYellow(render(view).pixelColor(6, 6)));
}

// Progress reported on a library thread reaches the manager on the main thread only, and a
// manager that goes away meanwhile is never touched from that thread.
TEST(ImageManagerProgressTest, progressFromALibraryThreadReachesTheManagerOnlyOnTheMainThread) {
    QTemporaryDir folder;
    auto loader = std::make_shared<test::ScriptedLoader>();
    images::RemoteImageContext context;
    context.customManager = std::make_shared<images::RemoteImageManager>(
        std::make_shared<images::ImageCache>(QStringLiteral("progress"), folder.path()), loader);
    const QUrl url(QStringLiteral("https://images.example/progress.png"));

    ImageManager manager;
    std::vector<bool> onMain;
    manager.progressBlock = [&](qint64, qint64) {
        onMain.push_back(QThread::currentThread() == qApp->thread());
    };
    manager.load(url, 0, context);
    ASSERT_TRUE(test::waitUntil([&] { return loader->requestCount(url) == 1; }));
    // What a library thread posts goes to the application object, never to the manager,
    // which the main thread may be destroying meanwhile.
    struct MetaCallCounter : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            count += event->type() == QEvent::MetaCall ? 1 : 0;
            return false;
        }
    } postedToManager;
    manager.installEventFilter(&postedToManager);
    const auto request = loader->latest(url);
    std::thread([&] { request.progress(50, 100, url); }).join();
    ASSERT_TRUE(test::waitUntil([&] { return onMain.size() == 1; }));
    EXPECT_EQ(manager.indicatorStatus()->progress(), 0.5);
    std::thread([&] { request.progress(700, 100, url); }).join();
    ASSERT_TRUE(test::waitUntil([&] { return onMain.size() == 2; }));
    EXPECT_EQ(manager.indicatorStatus()->progress(), 1.0);
    EXPECT_EQ(onMain, std::vector<bool>({true, true}));
    EXPECT_EQ(postedToManager.count, 0);
    manager.removeEventFilter(&postedToManager);

    // Managers that go while a library thread keeps reporting.
    for (int round = 0; round < 20; ++round) {
        auto* doomed = new ImageManager;
        const QUrl roundUrl(QStringLiteral("https://images.example/doomed-%1.png").arg(round));
        doomed->load(roundUrl, 0, context);
        ASSERT_TRUE(test::waitUntil([&] { return loader->requestCount(roundUrl) == 1; }));
        const auto reporter = loader->latest(roundUrl);
        std::atomic<bool> stop{false};
        std::thread reporting([&] {
            for (qint64 received = 0; !stop && received < 5000; ++received) {
                reporter.progress(received % 100, 100, roundUrl);
            }
        });
        test::drainEvents(1);
        delete doomed;
        test::drainEvents(1);
        stop = true;
        reporting.join();
        test::drainEvents();
    }
    loader->forgetRequests();
}
