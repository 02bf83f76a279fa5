#include "image-views/RemoteImage.h"
#include "image-views/ImageManager.h"
#include "images/animation/AnimatedImage.h"
#include "images/cache/ImageCache.h"
#include "images/coders/ImageCodersManager.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"

#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QProgressBar>
#include <QTemporaryDir>

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
    manager.successBlock = [&](const images::Image&, const QByteArray&, images::ImageCacheType) { ++successes; };
    manager.load(server.url("/a.png"), 0, m_context);
    EXPECT_TRUE(manager.indicatorStatus()->isLoading());
    manager.load(server.url("/a.png"), 0, m_context); // the same URL loads once
    manager.load(server.url("/b.png"), 0, m_context); // a newer URL: the first result must not win
    ASSERT_TRUE(test::waitUntil([&] { return !manager.indicatorStatus()->isLoading() && manager.image(); }));
    test::waitUntil([] { return false; }, 200);
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
    test::waitUntil([] { return false; }, 200);
    EXPECT_EQ(manager.image().pixelSize(), QSize(9, 9)) << "a cancelled load changes nothing";
    EXPECT_TRUE(manager.error().isNull());
    EXPECT_FALSE(manager.indicatorStatus()->isLoading());
}

TEST_F(RemoteImageTest, showsThePlaceholderThenTheImageAndNeverTheOldImageForANewUrl) {
    server.serve("/red.png", ImageAnswer::image(LoopbackImageServer::png(20, 20, Qt::red)));
    server.serve("/blue.png", ImageAnswer::image(LoopbackImageServer::png(20, 20, Qt::blue)).withLatency(100));
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
    test::waitUntil([] { return false; }, 100);
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
QByteArray animatedGif() {
    QList<images::ImageFrame> frames;
    for (const QColor colour : {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)}) {
        QImage bitmap(10, 10, QImage::Format_ARGB32);
        bitmap.fill(colour);
        frames.append({images::Image(bitmap), 0.03});
    }
    return images::ImageCodersManager::sharedManager()->encodedDataWithFrames(frames, 0, images::ImageFormat::GIF, {});
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
