#include "tests/images/support/TestImages.h"

#include "images/animation/AnimatedImage.h"
#include "images/animation/AnimatedImageClass.h"
#include "images/animation/AnimatedImagePlayer.h"
#include "images/animation/DisplayLink.h"
#include "images/animation/ImageFramePool.h"
#include "images/coders/GifEncoder.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <set>

#include <sys/resource.h>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

class FakeProvider : public AnimatedImageProvider {
public:
    FakeProvider(unsigned frames, double duration, unsigned loops = 0)
        : m_frames(frames), m_duration(duration), m_loops(loops) {}

    std::set<unsigned> failing;

    QByteArray animatedImageData() override { return {}; }
    unsigned animatedImageFrameCount() override { return m_frames; }
    unsigned animatedImageLoopCount() override { return m_loops; }
    Image animatedImageFrameAtIndex(unsigned index) override {
        if (index >= m_frames || failing.count(index)) {
            return {};
        }
        QImage image(4, 4, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(int(index) * 10, 0, 0));
        return Image(image);
    }
    double animatedImageDurationAtIndex(unsigned index) override { return index < m_frames ? m_duration : 0; }

private:
    unsigned m_frames;
    double m_duration;
    unsigned m_loops;
};

// A player whose pool already holds every frame that can be decoded, so each refresh decides
// on its own without waiting for the background fetch.
std::unique_ptr<AnimatedImagePlayer> readyPlayer(const std::shared_ptr<FakeProvider>& provider) {
    auto player = AnimatedImagePlayer::playerWithProvider(provider);
    for (unsigned i = 0; i < provider->animatedImageFrameCount(); ++i) {
        player->framePool()->setFrame(provider->animatedImageFrameAtIndex(i), i);
    }
    return player;
}

std::vector<unsigned> shownIndices(AnimatedImagePlayer& player, int refreshes, double duration) {
    std::vector<unsigned> shown;
    player.setAnimationFrameHandler([&](unsigned index, const Image&) { shown.push_back(index); });
    for (int i = 0; i < refreshes; ++i) {
        player.displayDidRefresh(duration);
    }
    return shown;
}

// The most memory the process has held so far.
long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool waitUntil(const std::function<bool()>& condition, int milliseconds = 2000) {
    for (int i = 0; i < milliseconds && !condition(); ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return condition();
}

} // namespace

TEST(AnimatedImagePlayerTest, FramesChangeByElapsedTimeAndRate) {
    auto provider = std::make_shared<FakeProvider>(4, 0.125);
    auto player = readyPlayer(provider);
    player->startPlaying();
    // Refresh 1 shows frame 0; then every second refresh of 0.0625 s moves on.
    EXPECT_EQ(shownIndices(*player, 7, 0.0625), (std::vector<unsigned>{0, 1, 2, 3}));
    player->stopPlaying();
    player->setPlaybackRate(2.0);
    player->startPlaying();
    EXPECT_EQ(shownIndices(*player, 4, 0.0625), (std::vector<unsigned>{0, 1, 2, 3}));
}

TEST(AnimatedImagePlayerTest, AStallMovesOnByOneFrameOnly) {
    auto provider = std::make_shared<FakeProvider>(4, 0.1);
    auto player = readyPlayer(provider);
    player->startPlaying();
    player->displayDidRefresh(0.0);
    player->displayDidRefresh(1.0);
    EXPECT_EQ(player->currentFrameIndex(), 1u);
    player->displayDidRefresh(0.0);
    // The carried-over time is capped at one frame: the next tiny refresh moves on once more.
    player->displayDidRefresh(0.0001);
    EXPECT_EQ(player->currentFrameIndex(), 2u);
}

TEST(AnimatedImagePlayerTest, BounceAndReverseModes) {
    auto provider = std::make_shared<FakeProvider>(4, 0.1);
    auto bounce = readyPlayer(provider);
    bounce->setPlaybackMode(AnimatedImagePlaybackMode::Bounce);
    bounce->startPlaying();
    EXPECT_EQ(shownIndices(*bounce, 8, 0.1), (std::vector<unsigned>{0, 1, 2, 3, 2, 1, 0, 1}));
    bounce.reset();

    auto reverse = readyPlayer(provider);
    reverse->setPlaybackMode(AnimatedImagePlaybackMode::Reverse);
    reverse->startPlaying();
    EXPECT_EQ(shownIndices(*reverse, 5, 0.1), (std::vector<unsigned>{3, 2, 1, 0, 3}));
    reverse.reset();

    auto reversedBounce = readyPlayer(provider);
    reversedBounce->setPlaybackMode(AnimatedImagePlaybackMode::ReversedBounce);
    reversedBounce->startPlaying();
    EXPECT_EQ(reversedBounce->currentFrameIndex(), 3u);
}

TEST(AnimatedImagePlayerTest, ALoopLimitStopsPlaybackAndCallsTheLoopHandler) {
    auto provider = std::make_shared<FakeProvider>(2, 0.1, 2);
    auto player = readyPlayer(provider);
    std::vector<unsigned> loops;
    player->setAnimationLoopHandler([&](unsigned count) { loops.push_back(count); });
    player->startPlaying();
    for (int i = 0; i < 10 && player->isPlaying(); ++i) {
        player->displayDidRefresh(0.1);
    }
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(loops, (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(player->currentFrameIndex(), 0u);

    auto stopped = readyPlayer(provider);
    stopped->setPlaybackRate(0);
    stopped->startPlaying();
    stopped->displayDidRefresh(0.1);
    EXPECT_FALSE(stopped->isPlaying());
}

TEST(AnimatedImagePlayerTest, AFrameThatCannotBeDecodedIsSkipped) {
    auto provider = std::make_shared<FakeProvider>(3, 0.1);
    provider->failing = {1};
    auto player = AnimatedImagePlayer::playerWithProvider(provider);
    player->startPlaying();
    std::vector<unsigned> shown;
    player->setAnimationFrameHandler([&](unsigned index, const Image&) { shown.push_back(index); });
    for (int i = 0; i < 200 && shown.size() < 3; ++i) {
        player->displayDidRefresh(0.1);
        waitUntil([&] { return !player->framePool()->isFetching(); });
    }
    EXPECT_EQ(shown, (std::vector<unsigned>{0, 2, 0}));
}

TEST(AnimatedImagePlayerTest, PlayersOfOneProviderShareAPoolThatNeverOutgrowsItsLimit) {
    auto provider = std::make_shared<FakeProvider>(10, 0.1);
    auto first = AnimatedImagePlayer::playerWithProvider(provider);
    auto second = AnimatedImagePlayer::playerWithProvider(provider);
    EXPECT_EQ(first->framePool(), second->framePool());
    first.reset();
    EXPECT_NE(ImageFramePool::poolForProvider(provider.get()), nullptr);
    second.reset();
    EXPECT_EQ(ImageFramePool::poolForProvider(provider.get()), nullptr);

    auto player = AnimatedImagePlayer::playerWithProvider(provider);
    player->setMaxBufferSize(1);
    player->startPlaying();
    for (int i = 0; i < 100; ++i) {
        player->displayDidRefresh(0.05);
        waitUntil([&] { return !player->framePool()->isFetching(); });
        ASSERT_LE(player->framePool()->currentFrameCount(), 1u);
    }
    EXPECT_GT(player->currentLoopCount(), 0u);
    EXPECT_FALSE(AnimatedImagePlayer::playerWithProvider(std::make_shared<FakeProvider>(1, 0.1)));
}

TEST(AnimatedImagePlayerTest, SeekShowsTheFrameAtOnce) {
    auto provider = std::make_shared<FakeProvider>(3, 0.1);
    auto player = AnimatedImagePlayer::playerWithProvider(provider);
    unsigned seen = 99;
    player->setAnimationFrameHandler([&](unsigned index, const Image&) { seen = index; });
    player->seekToFrameAtIndex(5, 0);
    EXPECT_EQ(seen, 99u);
    player->seekToFrameAtIndex(2, 1);
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(player->currentLoopCount(), 1u);
    EXPECT_FALSE(player->currentFrame().isNull());
}

TEST(AnimatedImageTest, DataBecomesAnAnimationAStillOrNothing) {
    const QByteArray gif = GifEncoder::encode({{quadrants(8, 8), 0.2}, {noise(8, 8), 0.3}}, 4);
    const Image animated = AnimatedImage::imageWithData(gif, 2.0);
    ASSERT_FALSE(animated.isNull());
    EXPECT_TRUE(animated.isAnimated());
    EXPECT_EQ(animated.imageFrameCount(), 2u);
    EXPECT_EQ(animated.imageLoopCount(), 4u);
    EXPECT_EQ(animated.imageFormat(), ImageFormat::GIF);
    EXPECT_EQ(animated.size(), QSizeF(4, 4));
    const auto object = AnimatedImage::fromImage(animated);
    ASSERT_TRUE(object);
    EXPECT_TRUE(AnimatedImage::animatedImageClass()->isInstance(animated));
    EXPECT_EQ(object->imageDataAsFormat(animated, ImageFormat::GIF), gif);
    EXPECT_DOUBLE_EQ(object->animatedImageDurationAtIndex(1), 0.3);
    EXPECT_TRUE(object->animatedImageFrameAtIndex(2).isNull());
    const quint64 oneFrame = animated.memoryCost();
    object->preloadAllFrames();
    EXPECT_TRUE(object->isAllFramesLoaded());
    EXPECT_EQ(animated.memoryCost(), 2 * oneFrame);
    EXPECT_FALSE(object->animatedImageFrameAtIndex(1).isNull());
    object->unloadAllFrames();
    EXPECT_FALSE(object->isAllFramesLoaded());

    const Image still = AnimatedImage::imageWithData(encode(quadrants(6, 6), "jpeg"));
    ASSERT_FALSE(still.isNull());
    EXPECT_FALSE(still.isAnimated());
    EXPECT_TRUE(AnimatedImage::animatedImageClass()->isInstance(still));

    EXPECT_TRUE(AnimatedImage::imageWithData(QByteArray("%PDF-1.4 whatever")).isNull());
    EXPECT_TRUE(AnimatedImage::imageWithData("<svg xmlns=\"http://www.w3.org/2000/svg\"></svg>").isNull());
    EXPECT_TRUE(AnimatedImage::imageWithData(QByteArray()).isNull());
}

TEST(DisplayLinkTest, FiresOnlyOnceAddedToAMode) {
    int fired = 0;
    DisplayLink link([&](DisplayLink&) { ++fired; });
    link.start();
    // A link in a mode, started after this one, fires twice meanwhile: this one would have.
    int firedInMode = 0;
    DisplayLink inMode([&](DisplayLink&) { ++firedInMode; });
    inMode.addToRunLoop(QStringLiteral("common"));
    inMode.start();
    ASSERT_TRUE(waitUntil([&] { return firedInMode >= 2; }));
    inMode.stop();
    EXPECT_EQ(fired, 0);
    link.addToRunLoop(QStringLiteral("common"));
    EXPECT_TRUE(waitUntil([&] { return fired >= 2; }));
    EXPECT_GT(link.duration(), 0.0);
    link.stop();
    EXPECT_FALSE(link.isRunning());
}

TEST(AnimatedImageTest, TheFileNameGivesTheScale) {
    QTemporaryDir dir;
    const QByteArray gif = GifEncoder::encode({{quadrants(12, 12), 0.1}, {noise(12, 12), 0.1}}, 0);
    for (const char* name : {"spinner@3x.gif", "spinner.gif"}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(gif);
    }
    EXPECT_EQ(AnimatedImage::imageWithContentsOfFile(dir.filePath("spinner@3x.gif")).scale(), 3.0);
    EXPECT_EQ(AnimatedImage::imageWithContentsOfFile(dir.filePath("spinner.gif")).scale(), 1.0);
    EXPECT_TRUE(AnimatedImage::imageWithContentsOfFile(dir.filePath("missing.gif")).isNull());
}

TEST(AnimatedImagePlayerTest, NoFrameIsShownForLessThanTheMinimumDelay) {
    // A provider may report no delay at all, and a rate may be as fast as asked: a frame still
    // stays a fiftieth of a second, so the animation is drawn and decoded at most 50 times a second.
    auto provider = std::make_shared<FakeProvider>(4, 0.0);
    auto player = readyPlayer(provider);
    player->startPlaying();
    EXPECT_LE(shownIndices(*player, 100, 0.001).size(), 7u);
    player->stopPlaying();

    auto fast = readyPlayer(std::make_shared<FakeProvider>(4, 0.1));
    fast->setPlaybackRate(1000);
    fast->startPlaying();
    EXPECT_LE(shownIndices(*fast, 100, 0.001).size(), 7u);
}

TEST(AnimatedImagePlayerTest, FramePoolsHoldTensOfMegabytesPerImageAndInTotal) {
    // Frames of 1024 x 1024 take 4 MB each.
    const auto big = [](unsigned index) {
        QImage image(1024, 1024, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(int(index), 0, 0));
        return Image(image);
    };
    constexpr quint64 frameBytes = 4u << 20;
    auto provider = std::make_shared<FakeProvider>(40, 0.1);
    auto player = AnimatedImagePlayer::playerWithProvider(provider);
    // Not limited by a frame count: only the bytes hold it back.
    for (unsigned i = 0; i < 40; ++i) {
        player->framePool()->setFrame(big(i), i);
    }
    EXPECT_GE(player->framePool()->currentFrameCount(), 1u);
    EXPECT_LE(player->framePool()->currentFrameCount() * frameBytes, quint64(16) << 20);

    // However many animations play, together they keep a bounded amount.
    std::vector<std::shared_ptr<FakeProvider>> providers;
    std::vector<std::unique_ptr<AnimatedImagePlayer>> players;
    for (int n = 0; n < 8; ++n) {
        providers.push_back(std::make_shared<FakeProvider>(4, 0.1));
        players.push_back(AnimatedImagePlayer::playerWithProvider(providers.back()));
        for (unsigned i = 0; i < 4; ++i) {
            players.back()->framePool()->setFrame(big(i), i);
        }
    }
    quint64 total = player->framePool()->currentFrameCount() * frameBytes;
    for (const auto& each : players) {
        total += each->framePool()->currentFrameCount() * frameBytes;
    }
    EXPECT_LE(total, quint64(48) << 20);
}

TEST(AnimatedImageTest, AnAvatarOfAHugeScreenOfTinyFramesStaysSmall) {
    // 230 KB: a 5000 x 5000 screen and 10,000 frames of one pixel each.
    const QByteArray gif = pixelFramesGif(QSize(5000, 5000), 10000);
    DecodeOptions avatar;
    avatar.thumbnailPixelSize = QSizeF(120, 120);
    const long peakBefore = peakKilobytes();
    const Image image = AnimatedImage::imageWithData(gif, 1.0, avatar);
    // Nor is the screen composed even once (100 MB) for the still: the process grows by far less.
    EXPECT_LT(peakKilobytes() - peakBefore, 32 * 1024);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.bitmap().size(), QSize(120, 120));
    // Composing it would keep 100 MB canvases busy for as long as it shows: it stays still.
    EXPECT_FALSE(image.isAnimated());
    EXPECT_FALSE(AnimatedImagePlayer::playerWithProvider(image.animatedProvider()));
}
