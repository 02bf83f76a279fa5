#include "image-views/AnimatedImage.h"
#include "image-views/FrameBinding.h"

#include "images/animation/AnimatedImage.h"
#include "images/cache/ImageCache.h"
#include "images/coders/GifEncoder.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "images/widgets/RemoteImageProgressIndicator.h"

#include "tests/image-views/ScriptedLoader.h"
#include "tests/images/support/LaterAnswer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>

using namespace velmora;
using namespace velmora::imageviews;
using images::AnimatedImageView;
using test::ImageAnswer;
using test::LoopbackImageServer;

namespace {

QByteArray gifData(int frames, QSize size = QSize(8, 8)) {
    QList<images::GifEncoder::Frame> list;
    for (int i = 0; i < frames; ++i) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((i * 90) % 360, 255, 255));
        list.append({image, 0.05});
    }
    return images::GifEncoder::encode(list, 0);
}

class AnimatedImageTest : public ::testing::Test {
protected:
    AnimatedImageTest() {
        images::RemoteImageDownloaderConfig config;
        images::ImageSession::Configuration session;
        session.urlCacheDirectory = m_folder.path() + QStringLiteral("/urls");
        config.sessionConfiguration = session;
        m_manager = std::make_shared<images::RemoteImageManager>(
            std::make_shared<images::ImageCache>(QStringLiteral("animated-views"), m_folder.path()),
            std::make_shared<images::RemoteImageDownloader>(config));
        m_context.customManager = m_manager;
    }

    QTemporaryDir m_folder;
    LoopbackImageServer server;
    std::shared_ptr<images::RemoteImageManager> m_manager;
    images::RemoteImageContext m_context;
};

} // namespace

TEST(AnimatedImageConfigureTest, withoutModifiersTheViewGetsTheDefaults) {
    std::unique_ptr<AnimatedImage> view(AnimatedImage::fromData(gifData(3)));
    AnimatedImageView* inner = view->wrapper()->wrapped();
    inner->setShouldIncrementalLoad(false);
    inner->setMaxBufferSize(99);
    inner->setShouldCustomLoopCount(true);
    inner->setResetFrameIndexWhenStopped(true);
    inner->setClearBufferWhenStopped(true);
    inner->setPlaybackRate(3);
    view->updateView();
    EXPECT_TRUE(inner->shouldIncrementalLoad());
    EXPECT_EQ(inner->maxBufferSize(), 0u);
    EXPECT_FALSE(inner->shouldCustomLoopCount());
    EXPECT_EQ(inner->runLoopMode(), QStringLiteral("common"));
    EXPECT_FALSE(inner->resetFrameIndexWhenStopped());
    EXPECT_FALSE(inner->clearBufferWhenStopped());
    EXPECT_EQ(inner->playbackRate(), 1.0);
    EXPECT_EQ(inner->playbackMode(), images::AnimatedImagePlaybackMode::Normal);
    EXPECT_TRUE(images::AnimatedImage::fromImage(inner->image()));
}

TEST(AnimatedImageConfigureTest, modifiersReachTheViewAndChangeWhatStoppingDoes) {
    QWidget window;
    auto* view = AnimatedImage::fromData(gifData(4), 1.0, true, &window);
    view->resize(40, 40);
    window.show();
    view->customLoopCount(1)
        .maxBufferSize(4096)
        .pausable(false)
        .purgeable(true)
        .playbackRate(0.5)
        .playbackMode(images::AnimatedImagePlaybackMode::Reverse);
    view->updateView();
    AnimatedImageView* inner = view->wrapper()->wrapped();
    ASSERT_NE(inner->player(), nullptr);
    EXPECT_TRUE(inner->animates());
    EXPECT_EQ(inner->player()->totalLoopCount(), 1u);
    EXPECT_EQ(inner->player()->maxBufferSize(), 4096u);
    EXPECT_EQ(inner->player()->playbackRate(), 0.5);
    EXPECT_TRUE(inner->resetFrameIndexWhenStopped());
    EXPECT_TRUE(inner->clearBufferWhenStopped());

    // Not animating stops the player, resetting it, and it does not start again when shown.
    view->setAnimating(false);
    view->updateView();
    EXPECT_FALSE(inner->animates());
    EXPECT_EQ(inner->player()->currentFrameIndex(), 0u);
    inner->hide();
    inner->show();
    EXPECT_FALSE(inner->animates());
    view->setAnimating(true);
    view->updateView();
    EXPECT_TRUE(inner->animates());
}

TEST(AnimatedImageLayoutTest, resizingRenderingAndInterpolationReachTheViews) {
    QImage bitmap(200, 100, QImage::Format_ARGB32);
    bitmap.fill(Qt::red);
    std::unique_ptr<AnimatedImage> view(
        AnimatedImage::fromData(images::GifEncoder::encode({{bitmap, 0}}, 0)));
    view->updateView();
    AnimatedImageView* inner = view->wrapper()->wrapped();
    ASSERT_TRUE(inner->image());
    EXPECT_EQ(inner->imageScaling(), AnimatedImageView::ImageScaling::AxesIndependently);
    EXPECT_EQ(view->wrapper()->intrinsicContentSize(), QSizeF(200, 100));

    // Zero cap insets: only the wrapper becomes resizable.
    view->resizable();
    view->updateView();
    EXPECT_EQ(view->wrapper()->resizingMode(), AnimatedImageView::ResizingMode::Stretch);
    EXPECT_FALSE(inner->resizingMode().has_value());
    EXPECT_EQ(view->wrapper()->intrinsicContentSize(), QSizeF(2.0, 1.0));

    view->resizable(QMarginsF(2, 1, 4, 3), AnimatedImageView::ResizingMode::Tile);
    view->updateView();
    EXPECT_EQ(inner->resizingMode(), AnimatedImageView::ResizingMode::Tile);
    EXPECT_EQ(inner->capInsets(), QMarginsF(2, 1, 4, 3));

    view->renderingMode(AnimatedImageLayout::TemplateRenderingMode::Template);
    view->updateView();
    EXPECT_TRUE(inner->isTemplate());
    view->renderingMode(std::nullopt);
    view->updateView();
    EXPECT_TRUE(inner->isTemplate());

    using Quality = AnimatedImageViewWrapper::InterpolationQuality;
    view->interpolation(AnimatedImageLayout::Interpolation::Medium);
    view->updateView();
    EXPECT_EQ(static_cast<int>(view->wrapper()->interpolationQuality()), 4);
    view->interpolation(AnimatedImageLayout::Interpolation::High);
    view->antialiased(true);
    view->updateView();
    EXPECT_EQ(view->wrapper()->interpolationQuality(), Quality::High);
    EXPECT_TRUE(inner->smoothTransformation());
    EXPECT_TRUE(inner->antialiased());
    view->interpolation(AnimatedImageLayout::Interpolation::None);
    view->updateView();
    EXPECT_FALSE(inner->smoothTransformation());

    // A content mode without an aspect ratio fits the image proportionally.
    view->imageLayout().contentMode = AnimatedImageLayout::ContentMode::Fit;
    view->updateView();
    EXPECT_EQ(inner->imageScaling(), AnimatedImageView::ImageScaling::ProportionallyUpOrDown);
}

TEST(AnimatedImageViewWrapperTest, followsTheInnerViewsImageAndCoversItself) {
    AnimatedImageViewWrapper wrapper;
    int invalidated = 0;
    QObject::connect(&wrapper, &AnimatedImageViewWrapper::intrinsicContentSizeInvalidated,
                     [&] { ++invalidated; });
    EXPECT_EQ(invalidated, 0);
    EXPECT_EQ(wrapper.intrinsicContentSize(), QSizeF(-1, -1));
    wrapper.setResizingMode(AnimatedImageView::ResizingMode::Stretch);
    EXPECT_EQ(wrapper.intrinsicContentSize(), QSizeF(-1, -1));

    wrapper.wrapped()->setImage(images::Image(QImage(200, 100, QImage::Format_RGB32)));
    EXPECT_EQ(invalidated, 1);
    EXPECT_EQ(wrapper.intrinsicContentSize(), QSizeF(2.0, 1.0));
    wrapper.wrapped()->setImage({});
    EXPECT_EQ(invalidated, 2);

    // Geometry follows once the widget is laid out, i.e. shown.
    wrapper.show();
    wrapper.resize(70, 30);
    EXPECT_EQ(wrapper.wrapped()->geometry(), QRect(0, 0, 70, 30));
}

TEST(AnimatedImageViewWrapperTest, bindingAWidgetWithoutParentOnlyPrints) {
    QLabel orphan;
    orphan.resize(5, 5);
    ::testing::internal::CaptureStdout();
    bindFrameToSuperviewBounds(&orphan);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Error! `superview` was nil \u2013 call `addSubview(view: UIView)` before calling "
                       "`bindFrameToSuperviewBounds()` to fix this.\n");
    EXPECT_EQ(orphan.size(), QSize(5, 5));

    QWidget parent;
    parent.resize(50, 20);
    auto* child = new QLabel(&parent);
    bindFrameToSuperviewBounds(child);
    EXPECT_EQ(child->geometry(), QRect(0, 0, 50, 20));
    parent.show();
    parent.resize(80, 40);
    EXPECT_EQ(child->geometry(), QRect(0, 0, 80, 40));
}

TEST(AnimatedImageSourceTest, dataEqualToTheLastShownIsNotDecodedAgain) {
    const QByteArray bytes = gifData(2);
    std::unique_ptr<AnimatedImage> view(AnimatedImage::fromData(bytes));
    view->updateView();
    const images::Image first = view->wrapper()->wrapped()->image();
    ASSERT_TRUE(first);
    QByteArray copy(bytes.constData(), bytes.size());
    view->imageModel()->setData(copy);
    view->updateView();
    EXPECT_EQ(view->wrapper()->wrapped()->image(), first);

    // Undecodable data shows nothing and reports nothing.
    view->imageModel()->setData(QByteArray("not an image"));
    view->updateView();
    EXPECT_FALSE(view->wrapper()->wrapped()->image());
}

TEST(AnimatedImageSourceTest, aNamedImageIsLookedUpOnceInItsFolder) {
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("spin.gif")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(gifData(3));
    file.close();
    std::unique_ptr<AnimatedImage> view(AnimatedImage::named(QStringLiteral("spin.gif"), folder.path()));
    view->updateView();
    AnimatedImageView* inner = view->wrapper()->wrapped();
    const images::Image first = inner->image();
    ASSERT_TRUE(images::AnimatedImage::fromImage(first));
    EXPECT_EQ(view->coordinator().imageLoading.imageName(), QStringLiteral("spin.gif"));
    inner->setImage({});
    view->updateView();
    EXPECT_FALSE(inner->image()); // already shown once: not looked up again

    view->imageModel()->setName(QStringLiteral("missing.gif"));
    view->updateView();
    EXPECT_FALSE(inner->image());
}

TEST_F(AnimatedImageTest, oneLoadPerUrlAndTheLoadedImageIsShownAgainWithoutARequest) {
    server.serve("/a.gif", ImageAnswer::image(gifData(3), "image/gif").withLatency(100));
    std::unique_ptr<AnimatedImage> view(new AnimatedImage(server.url("/a.gif"), 0, m_context));
    int successes = 0;
    bool progressOnMain = true;
    int progressCalls = 0;
    view->onSuccess([&](const images::Image&, const QByteArray&, images::ImageCacheType) { ++successes; });
    view->onProgress([&](qint64, qint64) {
        ++progressCalls;
        progressOnMain = progressOnMain && QThread::currentThread() == qApp->thread();
    });
    view->updateView();
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return successes == 1; }));
    EXPECT_EQ(server.requestCount("/a.gif"), 1);
    EXPECT_FALSE(view->coordinator().imageLoading.isLoading());
    EXPECT_EQ(view->coordinator().imageLoading.progress(), 1.0);
    EXPECT_GT(progressCalls, 0);
    EXPECT_TRUE(progressOnMain);

    const images::Image loaded = view->coordinator().imageLoading.image();
    view->wrapper()->wrapped()->setImage({});
    view->updateView();
    test::drainEvents();
    EXPECT_EQ(view->wrapper()->wrapped()->image(), loaded);
    EXPECT_EQ(server.requestCount("/a.gif"), 1);
    EXPECT_EQ(successes, 1);
}

TEST_F(AnimatedImageTest, aFailedLoadIsTriedAgainOnEachUpdateAndShowsThePlaceholderView) {
    server.serve("/missing.gif", ImageAnswer::failure(404));
    QLabel* placeholder = nullptr;
    std::unique_ptr<AnimatedImage> view(AnimatedImage::withPlaceholderView(
        server.url("/missing.gif"), images::RemoteImageDelayPlaceholder, m_context, true, [&] {
            placeholder = new QLabel(QStringLiteral("no image"));
            return placeholder;
        }));
    auto indicator = AnimatedImage::progressIndicator();
    view->indicator(indicator);
    int failures = 0;
    view->onFailure([&](const images::ImageError&) { ++failures; });
    view->updateView();
    ASSERT_NE(placeholder, nullptr);
    AnimatedImageView* inner = view->wrapper()->wrapped();
    EXPECT_EQ(placeholder->parentWidget(), inner);
    EXPECT_TRUE(placeholder->isHidden()); // the delay option keeps it hidden while loading
    // Below the indicator.
    const QObjectList children = inner->children();
    EXPECT_LT(children.indexOf(placeholder), children.indexOf(indicator->indicatorView()));

    ASSERT_TRUE(test::waitUntil([&] { return failures == 1; }));
    EXPECT_FALSE(placeholder->isHidden());
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return failures == 2; }));
    EXPECT_EQ(server.requestCount("/missing.gif"), 2);
}

TEST_F(AnimatedImageTest, aLoadReplacedByANewerUrlIsNoFailure) {
    server.serve("/slow.gif", ImageAnswer::image(gifData(2), "image/gif").withLatency(200));
    server.serve("/fast.gif", ImageAnswer::image(gifData(3), "image/gif"));
    std::unique_ptr<AnimatedImage> view(new AnimatedImage(server.url("/slow.gif"), 0, m_context));
    int failures = 0;
    int successes = 0;
    view->onFailure([&](const images::ImageError&) { ++failures; });
    view->onSuccess([&](const images::Image&, const QByteArray&, images::ImageCacheType) { ++successes; });
    view->updateView();
    view->imageModel()->setUrl(server.url("/fast.gif"));
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return successes == 1; }));
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 300));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(view->coordinator().imageLoading.imageURL(), server.url("/fast.gif"));

    // A load called off from outside is no failure either, and the next update loads again.
    server.serve("/held.gif", ImageAnswer::image(gifData(2), "image/gif"));
    server.hold("/held.gif");
    view->imageModel()->setUrl(server.url("/held.gif"));
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/held.gif") == 1; }));
    view->wrapper()->wrapped()->cancelCurrentImageLoad();
    server.release("/held.gif");
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 50));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(successes, 1);
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return successes == 2; }));
    EXPECT_EQ(failures, 0);
}

TEST_F(AnimatedImageTest, goingAwayCancelsTheLoadAndStopsPlaybackBeforeTheDestroyCallback) {
    server.serve("/held.gif", ImageAnswer::image(gifData(2), "image/gif"));
    server.hold("/held.gif");
    auto* view = new AnimatedImage(server.url("/held.gif"), 0, m_context);
    int created = 0;
    view->onViewCreate([&](AnimatedImageView*, AnimatedImageCoordinator&) { ++created; });
    ASSERT_TRUE(test::waitUntil([&] { return server.heldCount("/held.gif") == 1; }));
    EXPECT_EQ(created, 1);
    bool called = false;
    bool animatesAtCall = true;
    AnimatedImage::onViewDestroy([&](AnimatedImageView* inner, AnimatedImageCoordinator&) {
        called = true;
        animatesAtCall = inner->animates();
    });
    int completions = 0;
    view->onSuccess([&](const images::Image&, const QByteArray&, images::ImageCacheType) { ++completions; });
    delete view;
    AnimatedImage::onViewDestroy(nullptr);
    EXPECT_TRUE(called);
    EXPECT_FALSE(animatesAtCall);
    server.release("/held.gif");
    ASSERT_TRUE(images::testing::loadAnsweredAfter(server, *m_manager, 50));
    EXPECT_EQ(completions, 0);
}

namespace {

// Views over a loader the test answers by hand.
class AnimatedImageScriptedTest : public ::testing::Test {
protected:
    AnimatedImageScriptedTest() {
        m_context.customManager = std::make_shared<images::RemoteImageManager>(
            std::make_shared<images::ImageCache>(QStringLiteral("scripted-views"), m_folder.path()),
            m_loader);
    }
    void TearDown() override { m_loader->forgetRequests(); }

    QTemporaryDir m_folder;
    std::shared_ptr<test::ScriptedLoader> m_loader = std::make_shared<test::ScriptedLoader>();
    images::RemoteImageContext m_context;
    const QUrl m_first = QUrl(QStringLiteral("https://images.example/first.gif"));
    const QUrl m_second = QUrl(QStringLiteral("https://images.example/second.gif"));
};

} // namespace

TEST_F(AnimatedImageScriptedTest, aContextWithItsOwnOperationKeyLoadsOncePerUrl) {
    m_context.setImageOperationKey = QStringLiteral("avatar");
    std::unique_ptr<AnimatedImage> view(new AnimatedImage(m_first, 0, m_context));
    for (int update = 0; update < 3; ++update) {
        view->updateView();
        test::drainEvents();
    }
    ASSERT_TRUE(test::waitUntil([&] { return m_loader->requestCount(m_first) > 0; }));
    // A load asked after the updates reaches the loader after any they asked.
    m_context.customManager.value()->loadImage(m_second, 0, nullptr, [](auto&&...) {});
    ASSERT_TRUE(test::waitUntil([&] { return m_loader->requestCount(m_second) > 0; }));
    EXPECT_EQ(m_loader->requestCount(m_first), 1);
    EXPECT_FALSE(m_loader->latest(m_first).operation->cancelled);
}

TEST_F(AnimatedImageScriptedTest, failedRetriesBindThePlaceholderOnce) {
    QWidget* placeholder = nullptr;
    std::unique_ptr<AnimatedImage> view(AnimatedImage::withPlaceholderView(m_first, 0, m_context, true, [&] {
        placeholder = new QWidget;
        return placeholder;
    }));
    int failures = 0;
    view->onFailure([&](const images::ImageError&) { ++failures; });
    for (int attempt = 1; attempt <= 5; ++attempt) {
        view->updateView();
        ASSERT_TRUE(test::waitUntil([&] { return m_loader->requestCount(m_first) == attempt; }));
        m_loader->latest(m_first).completed(
            {}, {}, images::ImageError(images::ImageErrorCode::BadImageData, {}), true);
        ASSERT_TRUE(test::waitUntil([&] { return failures == attempt; }));
    }
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->findChildren<QObject*>(QString(), Qt::FindDirectChildrenOnly).size(), 1)
        << "one binding to the view's bounds, however often the load was set up";
    view->show();
    view->resize(40, 30);
    EXPECT_TRUE(test::waitUntil([&] { return placeholder->geometry() == QRect(0, 0, 40, 30); }));
}

TEST_F(AnimatedImageScriptedTest, theProgressRecordIsAFractionOfTheUrlShownOnly) {
    std::unique_ptr<AnimatedImage> view(new AnimatedImage(m_first, 0, m_context));
    std::vector<std::pair<qint64, qint64>> reported;
    view->onProgress([&](qint64 received, qint64 expected) { reported.emplace_back(received, expected); });
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return m_loader->requestCount(m_first) == 1; }));
    const auto first = m_loader->latest(m_first);
    first.progress(300, 100, m_first); // more than announced
    test::drainEvents();
    EXPECT_EQ(view->coordinator().imageLoading.progress(), 1.0);
    first.progress(-5, 100, m_first);
    test::drainEvents();
    EXPECT_EQ(view->coordinator().imageLoading.progress(), 0.0);

    view->imageModel()->setUrl(m_second);
    view->updateView();
    ASSERT_TRUE(test::waitUntil([&] { return m_loader->requestCount(m_second) == 1; }));
    first.progress(50, 100, m_first); // a late report of the URL left behind
    test::drainEvents();
    EXPECT_EQ(view->coordinator().imageLoading.progress(), 0.0);
    m_loader->latest(m_second).progress(25, 100, m_second);
    test::drainEvents();
    EXPECT_EQ(view->coordinator().imageLoading.progress(), 0.25);
    EXPECT_EQ(reported.size(), 3u) << "the caller hears only of the URL shown";
}
