#include "images/widgets/RemoteImageViewLoading.h"
#include "images/cache/ImageCache.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "images/widgets/RemoteImageProgressIndicator.h"
#include "images/widgets/RemoteImageTransition.h"

#include "tests/images/support/LaterAnswer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QTemporaryDir>

using namespace velmora;
using namespace velmora::images;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

class RemoteImageViewLoadingTest : public ::testing::Test {
protected:
    RemoteImageViewLoadingTest() {
        RemoteImageDownloaderConfig config;
        ImageSession::Configuration session;
        session.urlCacheDirectory = m_folder.path() + QStringLiteral("/urls");
        config.sessionConfiguration = session;
        m_manager = std::make_shared<RemoteImageManager>(
            std::make_shared<ImageCache>(QStringLiteral("labels"), m_folder.path()),
            std::make_shared<RemoteImageDownloader>(config));
        m_context.customManager = m_manager;
    }

    QTemporaryDir m_folder;
    LoopbackImageServer server;
    std::shared_ptr<RemoteImageManager> m_manager;
    RemoteImageContext m_context;
};

Image placeholderImage() {
    QImage bitmap(3, 3, QImage::Format_ARGB32);
    bitmap.fill(Qt::gray);
    return Image(bitmap);
}

} // namespace

TEST_F(RemoteImageViewLoadingTest, aLabelShowsThePlaceholderThenTheImageWithItsProgress) {
    server.serve("/p.png", ImageAnswer::image(LoopbackImageServer::png(12, 12)).trickled(100, 5));
    QLabel label;
    auto indicator = RemoteImageProgressIndicator::defaultIndicator();
    setImageIndicator(&label, indicator);
    std::optional<ImageError> outcome;
    setImageWithURL(
        &label, server.url("/p.png"), placeholderImage(), 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { outcome = error; });
    EXPECT_EQ(label.pixmap().size(), QSize(3, 3));
    EXPECT_FALSE(indicator->indicatorView()->isHidden());
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(outcome->isNull());
    EXPECT_EQ(label.pixmap().size(), QSize(12, 12));
    EXPECT_TRUE(indicator->indicatorView()->isHidden());
    EXPECT_EQ(currentImageURL(&label), server.url("/p.png"));
}

TEST_F(RemoteImageViewLoadingTest, aNewerLoadCancelsTheOldOneWhoseResultNeverShows) {
    server.serve("/slow.png", ImageAnswer::image(LoopbackImageServer::png(30, 30)).withLatency(150));
    server.serve("/fast.png", ImageAnswer::image(LoopbackImageServer::png(10, 10)));
    QLabel label;
    int slowCalls = 0;
    std::optional<ImageError> fast;
    internalSetImageWithURL(&label, server.url("/slow.png"), {}, 0, m_context, nullptr, nullptr,
                            [&](const Image&, const QByteArray&, const ImageError&, ImageCacheType, bool,
                                const QUrl&) { ++slowCalls; });
    internalSetImageWithURL(&label, server.url("/fast.png"), {}, 0, m_context, nullptr, nullptr,
                            [&](const Image&, const QByteArray&, const ImageError& error, ImageCacheType,
                                bool, const QUrl&) { fast = error; });
    ASSERT_TRUE(test::waitUntil([&] { return fast.has_value(); }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 200));
    EXPECT_EQ(label.pixmap().size(), QSize(10, 10));
    EXPECT_EQ(slowCalls, 0);
    EXPECT_EQ(imageURL(&label), server.url("/fast.png"));
}

TEST_F(RemoteImageViewLoadingTest, aTransitionRunsForADownloadAndTheWaitOptionHoldsTheCallback) {
    server.serve("/t.png", ImageAnswer::image(LoopbackImageServer::png(7, 7)));
    QLabel label;
    auto transition = RemoteImageTransition::fadeTransition(0.05);
    bool transitionDone = false;
    transition->completion = [&](bool finished) { transitionDone = finished; };
    setImageTransition(&label, transition);
    bool called = false;
    bool doneAtCall = false;
    internalSetImageWithURL(
        &label, server.url("/t.png"), {}, RemoteImageWaitTransition, m_context, nullptr, nullptr,
        [&](const Image&, const QByteArray&, const ImageError&, ImageCacheType, bool, const QUrl&) {
            called = true;
            doneAtCall = transitionDone;
        });
    ASSERT_TRUE(test::waitUntil([&] { return called; }));
    EXPECT_TRUE(doneAtCall);
    EXPECT_EQ(label.pixmap().size(), QSize(7, 7));
}

TEST_F(RemoteImageViewLoadingTest, noUrlGivesTheInvalidUrlErrorAndKeepsThePlaceholder) {
    QLabel label;
    std::optional<ImageError> outcome;
    setImageWithURL(
        &label, std::nullopt, placeholderImage(), 0, m_context, nullptr,
        [&](const Image&, const ImageError& error, ImageCacheType, const QUrl&) { outcome = error; });
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(outcome->is(ImageErrorCode::InvalidURL));
    EXPECT_EQ(label.pixmap().size(), QSize(3, 3));
}

TEST_F(RemoteImageViewLoadingTest, slotsWithTheirOwnKeysLoadApartAndTheNoCancelOptionKeepsBothLoads) {
    server.serve("/one.png", ImageAnswer::image(LoopbackImageServer::png(4, 4)).withLatency(60));
    server.serve("/two.png", ImageAnswer::image(LoopbackImageServer::png(5, 5)).withLatency(60));
    QWidget view;
    RemoteImageContext first = m_context;
    first.setImageOperationKey = QStringLiteral("first");
    RemoteImageContext second = m_context;
    second.setImageOperationKey = QStringLiteral("second");
    int finished = 0;
    auto count = [&](const Image& image, const QByteArray&, const ImageError&, ImageCacheType, bool,
                     const QUrl&) { finished += image ? 1 : 0; };
    internalSetImageWithURL(
        &view, server.url("/one.png"), {}, 0, first, [](auto&&...) {}, nullptr, count);
    internalSetImageWithURL(
        &view, server.url("/two.png"), {}, 0, second, [](auto&&...) {}, nullptr, count);
    EXPECT_EQ(imageLoadState(&view, QStringLiteral("first"))->url, server.url("/one.png"));
    EXPECT_EQ(imageURL(&view), server.url("/two.png"));
    ASSERT_TRUE(test::waitUntil([&] { return finished == 2; }));

    // One slot: without the option the second call cancels the first, with it both run.
    server.serve("/three.png", ImageAnswer::image(LoopbackImageServer::png(6, 6)).withLatency(60));
    server.serve("/four.png", ImageAnswer::image(LoopbackImageServer::png(7, 7)).withLatency(60));
    int both = 0;
    auto countBoth = [&](const Image& image, const QByteArray&, const ImageError&, ImageCacheType, bool,
                         const QUrl&) { both += image ? 1 : 0; };
    const auto third = internalSetImageWithURL(
        &view, server.url("/three.png"), {}, RemoteImageAvoidAutoCancelImage, m_context, [](auto&&...) {},
        nullptr, countBoth);
    internalSetImageWithURL(
        &view, server.url("/four.png"), {}, RemoteImageAvoidAutoCancelImage, m_context, [](auto&&...) {},
        nullptr, countBoth);
    // The first load still goes out, but the slot shows the second URL now, so only the
    // second result arrives.
    ASSERT_TRUE(test::waitUntil([&] { return both == 1 && server.requestCount("/three.png") == 1; }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 100));
    EXPECT_EQ(both, 1);
    EXPECT_EQ(imageURL(&view), server.url("/four.png"));
}

TEST_F(RemoteImageViewLoadingTest, aMemoryHitGetsNoTransitionUnlessForcedAndProgressEndsAtOneOfOne) {
    server.serve("/m.png", ImageAnswer::image(LoopbackImageServer::png(8, 8)));
    QLabel label;
    bool done = false;
    auto finish = [&](const Image&, const QByteArray&, const ImageError&, ImageCacheType, bool, const QUrl&) {
        done = true;
    };
    internalSetImageWithURL(&label, server.url("/m.png"), {}, 0, m_context, nullptr, nullptr, finish);
    ASSERT_TRUE(test::waitUntil([&] { return done; }));

    int prepared = 0;
    auto transition = RemoteImageTransition::fadeTransition(0.01);
    transition->prepares = [&](QWidget*, const Image&, const QByteArray&, ImageCacheType, const QUrl&) {
        ++prepared;
    };
    setImageTransition(&label, transition);
    ImageCacheType seen = ImageCacheType::None;
    done = false;
    const auto progress = imageProgress(&label);
    internalSetImageWithURL(
        &label, server.url("/m.png"), {}, 0, m_context, nullptr, nullptr,
        [&](const Image&, const QByteArray&, const ImageError&, ImageCacheType type, bool, const QUrl&) {
            seen = type;
            done = true;
        });
    ASSERT_TRUE(test::waitUntil([&] { return done; }));
    EXPECT_EQ(seen, ImageCacheType::Memory);
    EXPECT_EQ(prepared, 0);
    EXPECT_EQ(progress->totalUnitCount.load(), 1);
    EXPECT_EQ(progress->completedUnitCount.load(), 1);

    done = false;
    internalSetImageWithURL(&label, server.url("/m.png"), {}, RemoteImageForceTransition, m_context, nullptr,
                            nullptr, finish);
    ASSERT_TRUE(test::waitUntil([&] { return done && prepared == 1; }));
}
