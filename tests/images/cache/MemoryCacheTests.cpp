#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/cache/ImageCacheConfig.h"
#include "images/cache/MemoryCache.h"

#include <gtest/gtest.h>

using namespace velmora::images;
using velmora::images::test::paintedBitmap;

namespace {
Image image(int side = 4) {
    return Image(paintedBitmap(side, true));
}
} // namespace

TEST(MemoryCache, KeepsEverythingWithoutLimits) {
    MemoryCache cache;
    for (int i = 0; i < 100; ++i) {
        cache.setObject(image(), QString::number(i), 1'000'000);
    }
    EXPECT_EQ(cache.count(), 100u);
    EXPECT_TRUE(cache.objectForKey(QStringLiteral("0")).has_value());
}

TEST(MemoryCache, LimitsFollowTheConfigurationAndEvictLeastRecentFirst) {
    auto config = std::make_shared<ImageCacheConfig>();
    MemoryCache cache(config);
    const auto a = image(), b = image(), c = image();
    cache.setObject(a, QStringLiteral("a"), 10);
    cache.setObject(b, QStringLiteral("b"), 10);
    cache.setObject(c, QStringLiteral("c"), 10);
    ASSERT_TRUE(cache.objectForKey(QStringLiteral("a"))); // a is now the most recent

    // A count limit set later applies at once.
    config->setMaxMemoryCount(2);
    EXPECT_EQ(cache.countLimit(), 2u);
    EXPECT_EQ(cache.count(), 2u);
    EXPECT_FALSE(cache.objectForKey(QStringLiteral("b")));
    EXPECT_EQ(cache.objectForKey(QStringLiteral("a")), std::optional<Image>(a));

    config->setMaxMemoryCount(0);
    config->setMaxMemoryCost(25);
    EXPECT_EQ(cache.totalCostLimit(), 25u);
    cache.setObject(b, QStringLiteral("b"), 10); // 30 > 25: the least recent (c) goes
    EXPECT_FALSE(cache.objectForKey(QStringLiteral("c")));
    EXPECT_EQ(cache.totalCost(), 20u);
    // Replacing an entry accounts its new cost only.
    cache.setObject(b, QStringLiteral("b"), 5);
    EXPECT_EQ(cache.totalCost(), 15u);

    cache.removeObjectForKey(QStringLiteral("a"));
    EXPECT_EQ(cache.totalCost(), 5u);
    cache.removeAllObjects();
    EXPECT_EQ(cache.count(), 0u);
    EXPECT_EQ(cache.totalCost(), 0u);
}

TEST(MemoryCache, ObservesOnlyTheConfigurationItWasMadeWith) {
    auto first = std::make_shared<ImageCacheConfig>();
    auto second = std::make_shared<ImageCacheConfig>();
    {
        MemoryCache cache(first);
        cache.setConfig(second);
        second->setMaxMemoryCount(1);
        EXPECT_EQ(cache.countLimit(), 0u);
        first->setMaxMemoryCount(3);
        EXPECT_EQ(cache.countLimit(), 3u);
    }
    // The cache is gone: changing what it observed reaches nothing (a sanitizer run would catch it).
    first->setMaxMemoryCount(4);
    first->setMaxMemoryCost(4);
    SUCCEED();
}

TEST(ImageCacheConfig, DefaultsAndCopies) {
    ImageCacheConfig config;
    EXPECT_EQ(config.maxDiskAge(), 604800.0);
    // The folder and the bytes waiting for it are bounded, and a write does not wait for the disk.
    EXPECT_EQ(config.maxDiskSize(), 128u * 1024 * 1024);
    EXPECT_EQ(config.maxDiskWriteBacklog(), 16u * 1024 * 1024);
    EXPECT_EQ(config.maxMemoryCost(), 0u);
    EXPECT_EQ(config.maxMemoryCount(), 0u);
    EXPECT_EQ(config.diskCacheWritingOptions(), 0u);
    EXPECT_EQ(config.diskCacheExpireType(), ImageCacheConfigExpireType::ModificationDate);
    EXPECT_TRUE(config.shouldCacheImagesInMemory());

    config.setMaxDiskSize(100);
    config.setMaxDiskWriteBacklog(50);
    auto copy = config.copy();
    copy->setMaxDiskSize(5);
    EXPECT_EQ(config.maxDiskSize(), 100u);
    EXPECT_EQ(copy->maxDiskSize(), 5u);
    EXPECT_EQ(copy->maxDiskWriteBacklog(), 50u);
}
