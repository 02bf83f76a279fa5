#include "tests/images/support/TestImages.h"

#include "images/animation/ImageAssetManager.h"
#include "images/coders/GifEncoder.h"
#include "images/coders/ImageCoderHelper.h"
#include "images/coders/ImageMultiFormat.h"
#include "images/core/AsyncBlockOperation.h"
#include "images/core/DeviceHelper.h"
#include "images/core/WeakProxy.h"
#include "tests/support/TimeScale.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace velmora::images;
using namespace velmora::images::testing;

namespace {

// Until `condition` holds, five seconds at most (stretched by the run's time scale).
bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + velmora::test::scaled(std::chrono::seconds(5));
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

struct Counter {
    int value = 41;
    int next() { return ++value; }
    void bump() { ++value; }
};

} // namespace

TEST(AsyncBlockOperationTest, RunsOnAnotherThreadUntilCompleted) {
    std::atomic<bool> ran = false;
    auto operation = AsyncBlockOperation::blockOperationWithBlock([&](const auto& self) {
        ran = true;
        self->complete();
    });
    operation->start();
    ASSERT_TRUE(waitUntil([&] { return operation->isFinished(); }));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(operation->isExecuting());
}

TEST(AsyncBlockOperationTest, CancellingBeforeAndDuringTheRun) {
    std::atomic<bool> ran = false;
    // Held by the block only: gone once the operation has let the block go.
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> block = held;
    auto cancelled = AsyncBlockOperation::blockOperationWithBlock(
        [&ran, held = std::move(held)](const auto&) { ran = true; });
    cancelled->cancel();
    EXPECT_TRUE(cancelled->isCancelled());
    EXPECT_FALSE(cancelled->isFinished());
    cancelled->start();
    EXPECT_TRUE(cancelled->isFinished());
    // A block let go can never run.
    EXPECT_TRUE(block.expired());
    EXPECT_FALSE(ran);

    auto running = AsyncBlockOperation::blockOperationWithBlock([](const auto&) {});
    running->start();
    EXPECT_TRUE(running->isExecuting());
    running->cancel();
    EXPECT_TRUE(running->isFinished());
    EXPECT_FALSE(running->isExecuting());
}

TEST(WeakProxyTest, ACallToAGoneTargetIsANoOp) {
    auto target = std::make_shared<Counter>();
    const auto proxy = WeakProxy<Counter>::proxyWithTarget(target);
    EXPECT_EQ(proxy.call(&Counter::next), 42);
    target.reset();
    EXPECT_FALSE(proxy.isAlive());
    EXPECT_EQ(proxy.call(&Counter::next), 0);
    proxy.call(&Counter::bump);
}

TEST(DeviceHelperTest, MemoryFiguresFromMeminfo) {
    EXPECT_GT(DeviceHelper::totalMemory(), 0u);
    EXPECT_GT(DeviceHelper::freeMemory(), 0u);
    EXPECT_LE(DeviceHelper::freeMemory(), DeviceHelper::totalMemory());
    const QByteArray sample = "MemTotal:       16384 kB\nMemFree:  2048 kB\nHugePages_Total:       0\n";
    EXPECT_EQ(DeviceHelper::memInfoValue(sample, "MemFree"), 2048u * 1024u);
    EXPECT_EQ(DeviceHelper::memInfoValue(sample, "HugePages_Total"), 0u);
    EXPECT_EQ(DeviceHelper::memInfoValue(sample, "Missing"), 0u);
}

TEST(ImageAssetManagerTest, NamedImagesAreHeldWeakly) {
    ImageAssetManager manager;
    {
        const Image image(QImage(2, 2, QImage::Format_RGB32));
        manager.storeImage(image, "icon");
        EXPECT_EQ(manager.imageForName("icon"), image);
    }
    EXPECT_TRUE(manager.imageForName("icon").isNull());
}

TEST(ImageAssetManagerTest, ScaleSuffixesAreFoundInPreferenceOrder) {
    QTemporaryDir folder;
    for (const char* name : {"icon@2x.png", "icon@3x.png", "plain.png"}) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ImageAssetManager manager;
    double scale = 0;
    EXPECT_EQ(manager.pathForName("icon@2x", folder.path(), &scale), folder.filePath("icon@2x.png"));
    EXPECT_EQ(scale, 2);
    scale = 3;
    EXPECT_EQ(manager.pathForName("icon", folder.path(), &scale), folder.filePath("icon@3x.png"));
    EXPECT_EQ(scale, 3);
    scale = 0;
    EXPECT_FALSE(manager.pathForName("icon", folder.path(), &scale).isEmpty());
    EXPECT_NE(scale, 0);
    scale = 0;
    EXPECT_EQ(manager.pathForName("plain", folder.path(), &scale), folder.filePath("plain.png"));
    EXPECT_EQ(scale, 0);
    EXPECT_TRUE(manager.pathForName("", folder.path(), &scale).isEmpty());
    EXPECT_TRUE(manager.pathForName("folder/", folder.path(), &scale).isEmpty());
    EXPECT_EQ(ImageAssetManager::scalePreferences(2), (QList<double>{2, 3, 1}));
    EXPECT_EQ(ImageAssetManager::scalePreferences(0), (QList<double>{1, 2, 3}));
}

TEST(ImageMultiFormatTest, DataToImageAndBack) {
    const QByteArray png = encode(quadrants(8, 8, true), "png");
    const Image image = imageWithData(png, 0.5);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.scale(), 1.0);
    EXPECT_EQ(image.imageFormat(), ImageFormat::PNG);
    EXPECT_EQ(imageFormatForImageData(imageData(image)), ImageFormat::PNG);
    EXPECT_EQ(imageFormatForImageData(imageDataAsFormat(image, ImageFormat::JPEG, 0.8)), ImageFormat::JPEG);
    EXPECT_TRUE(imageWithData(QByteArray()).isNull());
    EXPECT_TRUE(imageWithGIFData(QByteArray()).isNull());
    EXPECT_EQ(imageWithGIFData(GifEncoder::encode({{quadrants(4, 4), 0.1}, {noise(4, 4), 0.1}}, 0))
                  .imageFrameCount(),
              2u);
    EXPECT_TRUE(decodedImage(Image()).isNull());
    EXPECT_TRUE(ImageCoderHelper::imageIsHardwareSupported(decodedImage(image).bitmap()));
}
