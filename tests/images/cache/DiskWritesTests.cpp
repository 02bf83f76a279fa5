// The disk level under a flood of writes: bytes waiting to be written are held to a budget, lookups
// never wait behind writes, and the folder is held to its size, whatever put the files there.

#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/cache/DiskCache.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TimeScale.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>

#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace velmora::images;
using namespace velmora::images::test;
using velmora::test::waitUntil;

namespace {

// The cache's own disk level, whose writes wait at a gate while it is shut.
class GatedDiskCache : public DiskCache {
public:
    using DiskCache::DiskCache;

    void setData(const QByteArray& data, const QString& key) override {
        {
            std::unique_lock lock(m_mutex);
            ++m_writing;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
        }
        DiskCache::setData(data, key);
        std::lock_guard lock(m_mutex);
        ++m_written;
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    int writing() {
        std::lock_guard lock(m_mutex);
        return m_writing;
    }
    int written() {
        std::lock_guard lock(m_mutex);
        return m_written;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_writing = 0;
    int m_written = 0;
};

quint64 folderBytes(const QString& path) {
    quint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += quint64(it.fileInfo().size());
    }
    return total;
}

class DiskWritesTest : public ::testing::Test {
protected:
    std::shared_ptr<ImageCache> gatedCache() {
        config->setDiskCacheFactory(
            [this](const QString& path, const std::shared_ptr<ImageCacheConfig>& given) {
                auto made = std::make_shared<GatedDiskCache>(path, given);
                gate = made;
                return std::static_pointer_cast<AbstractDiskCache>(made);
            });
        return std::make_shared<ImageCache>(QStringLiteral("gated"), root.path(), config);
    }
    ~DiskWritesTest() override {
        if (gate) {
            gate->open(); // nothing is left waiting at the end
        }
    }

    QTemporaryDir root;
    std::shared_ptr<ImageCacheConfig> config = std::make_shared<ImageCacheConfig>();
    std::shared_ptr<GatedDiskCache> gate;
};

} // namespace

TEST_F(DiskWritesTest, BytesWaitingToBeWrittenAreHeldToTheirBudgetTheOldestDropped) {
    config->setMaxDiskWriteBacklog(3 * 1024 * 1024);
    auto cache = gatedCache();
    std::atomic<int> stored{0};
    // The first write holds the disk; the nine after it wait.
    for (int i = 0; i < 10; ++i) {
        cache->storeImageData(QByteArray(1024 * 1024, char('a' + i)), QStringLiteral("k%1").arg(i),
                              [&] { ++stored; });
        if (i == 0) {
            ASSERT_TRUE(waitUntil([&] { return gate->writing() == 1; }));
        }
    }
    // A cache may lose an entry, never memory: the dropped ones are told at once.
    EXPECT_TRUE(waitUntil([&] { return stored == 6; }, 2000)) << stored;
    gate->open();
    ASSERT_TRUE(waitUntil([&] { return stored == 10; }));
    EXPECT_EQ(gate->written(), 4);
    for (int i = 0; i < 10; ++i) {
        const bool kept = i == 0 || i >= 7;
        EXPECT_EQ(cache->diskImageDataExistsWithKey(QStringLiteral("k%1").arg(i)), kept) << i;
    }
}

TEST_F(DiskWritesTest, LookupsNeverWaitBehindWrites) {
    auto cache = gatedCache();
    const QByteArray png = encoded(paintedBitmap(8, false), "png");
    cache->storeImageData(QByteArray(1000, 'x'), QStringLiteral("held"), nullptr);
    ASSERT_TRUE(waitUntil([&] { return gate->writing() == 1; }));
    cache->storeImageData(png, QStringLiteral("waiting"), nullptr);

    // A key the disk does not have is a miss at once, and one whose bytes wait to be written is
    // read from them. (Answers may come after a failed test: they reach only what they hold.)
    struct Answers {
        std::optional<std::optional<QByteArray>> missing;
        std::optional<std::optional<QByteArray>> waiting;
        bool queried = false;
        bool drawn = false;
    };
    const auto answers = std::make_shared<Answers>();
    cache->diskImageDataQueryForKey(
        QStringLiteral("other"),
        [answers](const std::optional<QByteArray>& data) { answers->missing = data; });
    cache->diskImageDataQueryForKey(
        QStringLiteral("waiting"),
        [answers](const std::optional<QByteArray>& data) { answers->waiting = data; });
    cache->queryCacheOperationForKey(
        QStringLiteral("waiting"), 0, {}, ImageCacheType::Disk,
        [answers](const Image& image, const std::optional<QByteArray>&, ImageCacheType) {
            answers->queried = true;
            answers->drawn = bool(image);
        });
    ASSERT_TRUE(waitUntil([&] { return answers->missing && answers->waiting && answers->queried; }, 2000));
    EXPECT_EQ(*answers->missing, std::nullopt);
    EXPECT_EQ(*answers->waiting, std::optional<QByteArray>(png));
    EXPECT_TRUE(answers->drawn);
    // Removed while it waits, it is never written.
    cache->removeImageFromDiskForKey(QStringLiteral("waiting"));
    gate->open();
    EXPECT_TRUE(waitUntil([&] { return gate->written() == 1; }));
    EXPECT_FALSE(cache->diskImageDataExistsWithKey(QStringLiteral("waiting")));
}

TEST_F(DiskWritesTest, TheFolderIsHeldToItsSizeOldestFirstPlantedFilesIncluded) {
    const QString folder = QDir(root.path()).filePath(QStringLiteral("bounded"));
    QDir().mkpath(folder);
    {
        QFile planted(QDir(folder).filePath(QStringLiteral("planted.bin")));
        ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
        planted.write(QByteArray(3 * 1024 * 1024, 'p'));
    }
    config->setMaxDiskSize(1024 * 1024);
    auto cache = std::make_shared<ImageCache>(QStringLiteral("bounded"), root.path(), config);
    // The upkeep trims what was there at the start, off every lookup's and write's way.
    ASSERT_TRUE(
        waitUntil([&] { return !QFile::exists(QDir(folder).filePath(QStringLiteral("planted.bin"))); }));
    for (int i = 0; i < 12; ++i) {
        bool stored = false;
        cache->storeImageData(QByteArray(150 * 1024, char('a' + i)), QStringLiteral("entry-%1").arg(i),
                              [&] { stored = true; });
        ASSERT_TRUE(waitUntil([&] { return stored; }));
        EXPECT_LE(folderBytes(folder), 1024u * 1024u) << "after entry " << i;
    }
    EXPECT_TRUE(cache->diskImageDataExistsWithKey(QStringLiteral("entry-11")));
    EXPECT_FALSE(cache->diskImageDataExistsWithKey(QStringLiteral("entry-0")));
}

TEST_F(DiskWritesTest, AStartOverTheBoundAnswersAtOnceAndAQuitDoesNotWaitForTheTrim) {
    const QString folder = QDir(root.path()).filePath(QStringLiteral("crowded"));
    {
        auto earlier = std::make_shared<ImageCache>(QStringLiteral("crowded"), root.path(), config);
        bool stored = false;
        earlier->storeImageData(QByteArray(2000, 'e'), QStringLiteral("kept"), [&] { stored = true; });
        ASSERT_TRUE(waitUntil([&] { return stored; }));
    }
    // Many small files an earlier run left, far past the bound (each takes a block of the disk).
    for (int i = 0; i < 20000; ++i) {
        const QByteArray name = QFile::encodeName(QDir(folder).filePath(QStringLiteral("left-%1").arg(i)));
        const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    }
    config->setMaxDiskSize(4096 * 100);
    QElapsedTimer clock;
    clock.start();
    auto cache = std::make_shared<ImageCache>(QStringLiteral("crowded"), root.path(), config);
    EXPECT_TRUE(cache->diskImageDataExistsWithKey(QStringLiteral("kept")));
    EXPECT_LT(clock.elapsed(), velmora::test::scaledMs(300));
    clock.restart();
    cache.reset();
    EXPECT_LT(clock.elapsed(), velmora::test::scaledMs(300));
    // The next run finds it trimmed in the end, a step at a time.
    auto next = std::make_shared<ImageCache>(QStringLiteral("crowded"), root.path(), config);
    const auto entries = [&] { return QDir(folder).entryList(QDir::Files | QDir::Hidden).size(); };
    EXPECT_TRUE(waitUntil([&] { return entries() <= 100; }, 20000)) << entries();
}
