#include "tests/images/support/TestImages.h"

#include "images/animation/AnimatedImage.h"
#include "images/animation/ImageFramePool.h"
#include "images/cache/ImageCache.h"
#include "images/coders/GifEncoder.h"
#include "images/coders/ImageGIFCoder.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "images/widgets/AnimatedImageView.h"
#include "images/widgets/ButtonImageLoading.h"

#include "tests/images/support/LaterAnswer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>

using namespace velmora;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

QByteArray gifData(int frames, unsigned loops = 0, QSize size = QSize(8, 8)) {
    QList<GifEncoder::Frame> list;
    for (int i = 0; i < frames; ++i) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((i * 60) % 360, 255, 255));
        list.append({image, 0.05});
    }
    return GifEncoder::encode(list, loops);
}

Image gif(int frames, unsigned loops = 0) {
    return AnimatedImage::imageWithData(gifData(frames, loops));
}

// A view inside a shown window, so that it can play.
struct ShownView {
    QWidget window;
    AnimatedImageView* view = new AnimatedImageView(&window);
    ShownView() {
        window.resize(40, 40);
        view->resize(40, 40);
        window.show();
    }
};

} // namespace

TEST(AnimatedImageViewTest, theSameImageAgainKeepsThePlayerAndAnotherImageReplacesIt) {
    ShownView shown;
    const Image first = gif(3);
    shown.view->setImage(first);
    AnimatedImagePlayer* player = shown.view->player();
    ASSERT_NE(player, nullptr);
    EXPECT_TRUE(shown.view->animates());
    player->seekToFrameAtIndex(2, 0);
    shown.view->setImage(first);
    EXPECT_EQ(shown.view->player(), player);
    EXPECT_EQ(shown.view->currentFrameIndex(), 2u);

    // Equal data, but another image: a player of its own, from the start.
    shown.view->setImage(gif(3));
    EXPECT_NE(shown.view->player(), nullptr);
    EXPECT_EQ(shown.view->currentFrameIndex(), 0u);

    // A still image and a one-frame animation get no player, and the view's own flag shows.
    shown.view->setImage(Image(QImage(4, 4, QImage::Format_RGB32)));
    EXPECT_EQ(shown.view->player(), nullptr);
    shown.view->setImage(gif(1));
    EXPECT_EQ(shown.view->player(), nullptr);
    shown.view->setAnimates(false);
    EXPECT_FALSE(shown.view->animates());
}

TEST(AnimatedImageViewTest, partialImagesOfOneDownloadKeepOnePlayerThatGrows) {
    const QByteArray whole = gifData(4);
    const auto shared = std::dynamic_pointer_cast<ProgressiveImageCoder>(ImageGIFCoder::sharedCoder());
    ASSERT_TRUE(shared);
    const auto incremental = shared->createIncrementalCoder({});
    const auto coder = std::dynamic_pointer_cast<AnimatedImageCoder>(incremental);
    ASSERT_TRUE(coder);
    const auto partial = [&](const QByteArray& data, bool finished) {
        incremental->updateIncrementalData(data, finished);
        Image image = AnimatedImage::imageWithAnimatedCoder(coder, 1.0);
        image.setIncremental(true);
        return image;
    };
    ShownView shown;
    shown.view->setImage(partial(whole.left(whole.size() * 3 / 4), false));
    ASSERT_NE(shown.view->player(), nullptr);
    EXPECT_TRUE(shown.view->isProgressive());
    AnimatedImagePlayer* player = shown.view->player();
    const unsigned early = player->totalFrameCount();

    shown.view->setImage(partial(whole, true));
    EXPECT_EQ(shown.view->player(), player);
    EXPECT_EQ(player->totalFrameCount(), 4u);
    EXPECT_GE(4u, early);

    // With incremental loading off, each partial image starts over.
    player->seekToFrameAtIndex(2, 0);
    shown.view->setShouldIncrementalLoad(false);
    shown.view->setImage(partial(whole, true));
    EXPECT_FALSE(shown.view->isProgressive());
    ASSERT_NE(shown.view->player(), nullptr);
    EXPECT_EQ(shown.view->player()->currentFrameIndex(), 0u);
}

TEST(AnimatedImageViewTest, playsOnlyWhileVisibleInAShownWindowAndNotTransparent) {
    QWidget window;
    auto* view = new AnimatedImageView(&window);
    view->setImage(gif(3));
    ASSERT_NE(view->player(), nullptr);
    EXPECT_FALSE(view->animates()); // the window is not shown yet

    window.show();
    EXPECT_TRUE(view->animates());
    view->hide();
    EXPECT_FALSE(view->animates());
    view->show();
    EXPECT_TRUE(view->animates());
    view->setAlphaValue(0);
    EXPECT_FALSE(view->animates());
    view->setAlphaValue(0.5);
    EXPECT_TRUE(view->animates());

    // Hiding or closing the window stops the player, and with it the display link.
    window.hide();
    EXPECT_FALSE(view->player()->isPlaying());
    window.show();
    EXPECT_TRUE(view->animates());
    window.close();
    EXPECT_FALSE(view->player()->isPlaying());

    // Moved out of its window into one that is not shown.
    window.show();
    QWidget other;
    view->setParent(&other);
    EXPECT_FALSE(view->animates());
}

TEST(AnimatedImageViewTest, withoutAutoPlayAViewStartedByHandStillStopsWhenItCannotBeSeen) {
    QWidget window;
    auto* view = new AnimatedImageView(&window);
    view->setAutoPlayAnimatedImage(false);
    view->setImage(gif(3));
    window.show();
    EXPECT_FALSE(view->animates());

    view->startAnimating();
    ASSERT_TRUE(view->animates());
    window.hide();
    EXPECT_FALSE(view->player()->isPlaying());
    window.show();
    EXPECT_FALSE(view->animates()) << "nothing starts by itself";

    view->startAnimating();
    window.close();
    EXPECT_FALSE(view->player()->isPlaying());
    window.show();
    view->startAnimating();
    view->hide();
    EXPECT_FALSE(view->player()->isPlaying());
}

TEST(AnimatedImageViewTest, stopSettingsDecideWhatStoppingDoes) {
    {
        // Pausing keeps the frame.
        ShownView shown;
        shown.view->setImage(gif(4));
        shown.view->player()->seekToFrameAtIndex(2, 0);
        shown.view->hide();
        EXPECT_EQ(shown.view->currentFrameIndex(), 2u);
        EXPECT_EQ(shown.view->player()->currentFrameIndex(), 2u);
        shown.view->show();
        EXPECT_EQ(shown.view->player()->currentFrameIndex(), 2u);
    }
    {
        // Resetting goes back to the start; clearing drops the decoded frames.
        ShownView shown;
        shown.view->setResetFrameIndexWhenStopped(true);
        shown.view->setClearBufferWhenStopped(true);
        shown.view->setImage(gif(4));
        AnimatedImagePlayer* player = shown.view->player();
        for (unsigned i = 0; i < 4; ++i) {
            player->framePool()->setFrame(player->provider()->animatedImageFrameAtIndex(i), i);
        }
        player->seekToFrameAtIndex(2, 0);
        shown.view->stopAnimating();
        EXPECT_EQ(player->currentFrameIndex(), 0u);
        EXPECT_EQ(shown.view->currentFrameIndex(), 0u);
        EXPECT_EQ(player->framePool()->currentFrameCount(), 0u);
    }
    {
        // Without auto-play nothing starts by itself.
        ShownView shown;
        shown.view->setAutoPlayAnimatedImage(false);
        shown.view->setImage(gif(3));
        EXPECT_FALSE(shown.view->animates());
        shown.view->startAnimating();
        EXPECT_TRUE(shown.view->animates());
    }
}

TEST(AnimatedImageViewTest, aCustomLoopCountReplacesTheImagesOnlyWhenAskedFor) {
    ShownView shown;
    shown.view->setAnimationRepeatCount(1);
    shown.view->setImage(gif(3, 0));
    EXPECT_EQ(shown.view->player()->totalLoopCount(), 0u);

    shown.view->setShouldCustomLoopCount(true);
    shown.view->setImage(gif(3, 0));
    EXPECT_EQ(shown.view->player()->totalLoopCount(), 1u);
    shown.view->setAnimationRepeatCount(-5);
    EXPECT_EQ(shown.view->player()->totalLoopCount(), 0u);

    // An endless animation told to play once stops after its last frame.
    shown.view->setAnimationRepeatCount(1);
    AnimatedImagePlayer* player = shown.view->player();
    for (unsigned i = 0; i < 3; ++i) {
        player->framePool()->setFrame(player->provider()->animatedImageFrameAtIndex(i), i);
    }
    for (int i = 0; i < 20; ++i) {
        player->displayDidRefresh(0.05);
    }
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(shown.view->currentLoopCount(), 1u);

    // Settings reach a running player at once.
    shown.view->setPlaybackRate(2.0);
    shown.view->setPlaybackMode(AnimatedImagePlaybackMode::Bounce);
    shown.view->setMaxBufferSize(1024);
    EXPECT_EQ(player->playbackRate(), 2.0);
    EXPECT_EQ(player->playbackMode(), AnimatedImagePlaybackMode::Bounce);
    EXPECT_EQ(player->maxBufferSize(), 1024u);
}

TEST(AnimatedImageViewTest, thePaintedRectangleFollowsTheScaling) {
    AnimatedImageView view;
    view.resize(100, 100);
    EXPECT_TRUE(view.imageRect().isEmpty());
    view.setImage(Image(QImage(200, 50, QImage::Format_RGB32)));
    using S = AnimatedImageView::ImageScaling;
    view.setImageScaling(S::ProportionallyDown);
    EXPECT_EQ(view.imageRect(), QRectF(0, 37.5, 100, 25));
    view.setImageScaling(S::AxesIndependently);
    EXPECT_EQ(view.imageRect(), QRectF(0, 0, 100, 100));
    view.setImageScaling(S::None);
    EXPECT_EQ(view.imageRect(), QRectF(-50, 25, 200, 50));

    view.setImage(Image(QImage(20, 10, QImage::Format_RGB32)));
    view.setImageScaling(S::ProportionallyDown);
    EXPECT_EQ(view.imageRect(), QRectF(40, 45, 20, 10));
    view.setImageScaling(S::ProportionallyUpOrDown);
    EXPECT_EQ(view.imageRect(), QRectF(0, 25, 100, 50));

    // A 2x image counts in points.
    QImage retina(40, 20, QImage::Format_RGB32);
    view.setImage(Image(retina, 2.0));
    view.setImageScaling(S::None);
    EXPECT_EQ(view.imageRect(), QRectF(40, 45, 20, 10));
    EXPECT_EQ(view.intrinsicContentSize(), QSizeF(20, 10));
}

TEST(AnimatedImageViewTest, templateAndCapInsetsShapeWhatIsPainted) {
    AnimatedImageView view;
    view.resize(30, 10);
    view.setImageScaling(AnimatedImageView::ImageScaling::AxesIndependently);
    QImage bitmap(10, 10, QImage::Format_ARGB32);
    bitmap.fill(Qt::blue);
    for (int y = 0; y < 10; ++y) {
        bitmap.setPixelColor(0, y, Qt::red);
        bitmap.setPixelColor(9, y, Qt::green);
    }
    view.setImage(Image(bitmap));
    view.setResizingMode(AnimatedImageView::ResizingMode::Stretch);
    view.setCapInsets(QMarginsF(0, 1, 0, 1));
    QImage shot = view.grab().toImage();
    // The caps keep their size at the ends; the middle stretches.
    EXPECT_EQ(shot.pixelColor(0, 5), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(29, 5), QColor(Qt::green));
    EXPECT_EQ(shot.pixelColor(15, 5), QColor(Qt::blue));

    QPalette palette = view.palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    view.setPalette(palette);
    view.setTemplate(true);
    shot = view.grab().toImage();
    EXPECT_EQ(shot.pixelColor(15, 5), QColor(Qt::black));
}

namespace {

class LoadingTest : public ::testing::Test {
protected:
    LoadingTest() {
        RemoteImageDownloaderConfig config;
        ImageSession::Configuration session;
        session.urlCacheDirectory = m_folder.path() + QStringLiteral("/urls");
        config.sessionConfiguration = session;
        m_manager = std::make_shared<RemoteImageManager>(
            std::make_shared<ImageCache>(QStringLiteral("animated"), m_folder.path()),
            std::make_shared<RemoteImageDownloader>(config));
        m_context.customManager = m_manager;
    }

    QTemporaryDir m_folder;
    LoopbackImageServer server;
    std::shared_ptr<RemoteImageManager> m_manager;
    RemoteImageContext m_context;
};

QSize offSize(QAbstractButton& button) {
    return button.icon().pixmap(QSize(64, 64), QIcon::Normal, QIcon::Off).size();
}

QSize onSize(QAbstractButton& button) {
    return button.icon().pixmap(QSize(64, 64), QIcon::Normal, QIcon::On).size();
}

} // namespace

TEST_F(LoadingTest, aDownloadedGifPlaysInTheView) {
    server.serve("/a.gif", ImageAnswer::image(gifData(3), "image/gif"));
    ShownView shown;
    std::optional<ImageError> outcome;
    shown.view->setImageWithURL(
        server.url("/a.gif"), {}, 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { outcome = error; });
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(outcome->isNull());
    EXPECT_TRUE(AnimatedImage::fromImage(shown.view->image()));
    ASSERT_NE(shown.view->player(), nullptr);
    EXPECT_TRUE(shown.view->animates());
    EXPECT_TRUE(test::waitUntil([&] { return shown.view->currentFrameIndex() > 0; }));
}

TEST_F(LoadingTest, aButtonShowsEachStatesImageAndANewUrlCancelsTheOldLoad) {
    server.serve("/slow.png", ImageAnswer::image(LoopbackImageServer::png(30, 30)).withLatency(200));
    server.serve("/off.png", ImageAnswer::image(LoopbackImageServer::png(10, 10)));
    server.serve("/on.png", ImageAnswer::image(LoopbackImageServer::png(20, 20)));
    QPushButton button;
    button.setCheckable(true);
    int slowCalls = 0;
    std::optional<ImageError> off;
    std::optional<ImageError> on;
    setImageWithURL(&button, server.url("/slow.png"), {}, 0, m_context, nullptr,
                    [&](const Image&, const ImageError&, ImageCacheType, const QUrl&) { ++slowCalls; });
    // The alternate image has a slot of its own: it does not cancel the image's load.
    setAlternateImageWithURL(
        &button, server.url("/on.png"), {}, 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { on = error; });
    EXPECT_EQ(currentImageURL(&button), server.url("/slow.png"));
    setImageWithURL(&button, server.url("/off.png"), {}, 0, m_context, nullptr,
                    [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { off = error; });
    ASSERT_TRUE(test::waitUntil([&] { return off.has_value() && on.has_value(); }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 300));
    EXPECT_EQ(slowCalls, 0);
    EXPECT_EQ(currentImageURL(&button), server.url("/off.png"));
    EXPECT_EQ(currentAlternateImageURL(&button), server.url("/on.png"));
    EXPECT_EQ(buttonImage(&button).pixelSize(), QSize(10, 10));
    EXPECT_EQ(buttonAlternateImage(&button).pixelSize(), QSize(20, 20));
    EXPECT_EQ(offSize(button), QSize(10, 10));
    EXPECT_EQ(onSize(button), QSize(20, 20));
}

TEST_F(LoadingTest, aSecondAlternateLoadReplacesTheFirst) {
    server.serve("/slow.png", ImageAnswer::image(LoopbackImageServer::png(30, 30)).withLatency(200));
    server.serve("/b.png", ImageAnswer::image(LoopbackImageServer::png(12, 12)));
    QPushButton button;
    int slowCalls = 0;
    std::optional<ImageError> second;
    setAlternateImageWithURL(
        &button, server.url("/slow.png"), {}, 0, m_context, nullptr,
        [&](const Image&, const ImageError&, ImageCacheType, const QUrl&) { ++slowCalls; });
    setAlternateImageWithURL(
        &button, server.url("/b.png"), {}, 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { second = error; });
    ASSERT_TRUE(test::waitUntil([&] { return second.has_value(); }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 300));
    EXPECT_EQ(slowCalls, 0);
    EXPECT_EQ(buttonAlternateImage(&button).pixelSize(), QSize(12, 12));
    EXPECT_TRUE(buttonImage(&button).isNull());

    // Cancelling the image's slot leaves the alternate image's load running.
    server.serve("/c.png", ImageAnswer::image(LoopbackImageServer::png(9, 9)).withLatency(200));
    std::optional<ImageError> third;
    setAlternateImageWithURL(
        &button, server.url("/c.png"), {}, 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { third = error; });
    cancelCurrentImageLoad(&button);
    ASSERT_TRUE(test::waitUntil([&] { return third.has_value(); }));
    EXPECT_TRUE(third->isNull());
    EXPECT_EQ(buttonAlternateImage(&button).pixelSize(), QSize(9, 9));
}
