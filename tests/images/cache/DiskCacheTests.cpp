#include "images/cache/DiskCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/core/ImageLibraryLog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::images;

namespace {

QString md5(const QString& key) {
    return QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Md5).toHex());
}

// Sets both file dates to `secondsSinceEpoch`.
void setFileDate(const QString& path, qint64 secondsSinceEpoch) {
    struct timespec times[2];
    times[0].tv_sec = secondsSinceEpoch;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

quint64 allocatedSize(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return quint64(info.st_blocks) * 512;
}

// While it lives, a write past `bytes` into any file fails with EFBIG (as on a full disk, the
// buffered bytes only fail when flushed) instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_signal = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        struct rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_signal);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit m_old {};
    void (*m_signal)(int) = SIG_DFL;
};

class DiskCacheTest : public ::testing::Test {
protected:
    QTemporaryDir root;
    std::shared_ptr<ImageCacheConfig> config = std::make_shared<ImageCacheConfig>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    QString path() const { return root.filePath(QStringLiteral("cache")); }
    DiskCache makeCache() { return DiskCache(path(), config, clock); }
};

} // namespace

TEST(DiskCacheNames, FileNamesFollowTheKeysDigestAndExtension) {
    const auto url = QStringLiteral("https://example.com/a/avatar.png?size=64#top");
    EXPECT_EQ(DiskCache::cacheFileNameForKey(url), md5(url) + QStringLiteral(".png"));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(QStringLiteral("avatar")), md5(QStringLiteral("avatar")));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(QStringLiteral("my photo.jpeg")),
              md5(QStringLiteral("my photo.jpeg")) + QStringLiteral(".jpeg"));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(QStringLiteral("https://example.com/dir.v2/")),
              md5(QStringLiteral("https://example.com/dir.v2/")) + QStringLiteral(".v2"));
}

TEST(DiskCacheNames, ExtensionLimitCountsBytes) {
    const auto keyWith = [](const QString& extension) {
        return QStringLiteral("https://e.com/x.") + extension;
    };
    const auto kept = keyWith(QString(222, QLatin1Char('a')));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(kept),
              md5(kept) + QStringLiteral(".") + QString(222, QLatin1Char('a')));
    const auto dropped = keyWith(QString(223, QLatin1Char('a')));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(dropped), md5(dropped));

    // 111 two-byte characters are 222 bytes; 112 would give a name longer than 255 bytes.
    const auto wideKept = keyWith(QString(111, QChar(0x00e9)));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(wideKept).toUtf8().size(), 32 + 1 + 222);
    const auto wideDropped = keyWith(QString(112, QChar(0x00e9)));
    EXPECT_EQ(DiskCache::cacheFileNameForKey(wideDropped), md5(wideDropped));
}

TEST_F(DiskCacheTest, StoresReadsAndRemovesBytesForKeysAtTheNameLimits) {
    auto cache = makeCache();
    const QStringList keys = {
        QStringLiteral("plain"),
        QStringLiteral("https://e.com/a.png?q=1"),
        QStringLiteral("https://e.com/x.") + QString(222, QLatin1Char('b')),
        QStringLiteral("https://e.com/x.") + QString(111, QChar(0x00e9)),
        QStringLiteral("https://e.com/x.") + QString(112, QChar(0x00e9)),
    };
    for (const auto& key : keys) {
        const auto data = key.toUtf8() + "-data";
        cache.setData(data, key);
        EXPECT_TRUE(cache.containsDataForKey(key)) << key.left(40).toStdString();
        EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>(data));
        cache.removeDataForKey(key);
        EXPECT_FALSE(cache.containsDataForKey(key));
        EXPECT_EQ(cache.dataForKey(key), std::nullopt);
    }
    cache.removeDataForKey(QStringLiteral("never stored")); // no error
}

TEST_F(DiskCacheTest, FindsFilesOfTheLayoutWithoutExtension) {
    auto cache = makeCache();
    const auto key = QStringLiteral("https://e.com/old.png");
    QFile old(QDir(path()).filePath(md5(key)));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old bytes");
    old.close();
    EXPECT_TRUE(cache.containsDataForKey(key));
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>("old bytes"));
}

TEST_F(DiskCacheTest, ExtendedDataIsPlainBytesBesideTheFile) {
    auto cache = makeCache();
    const auto key = QStringLiteral("k.png");
    cache.setData("image", key);
    const QByteArray blob("\x00\x01 any bytes \xff", 15);
    cache.setExtendedData(blob, key);
    const auto stored = cache.extendedDataForKey(key);
    if (!stored) {
        GTEST_SKIP() << "the temporary folder's file system keeps no user extended attributes";
    }
    EXPECT_EQ(*stored, blob);
    cache.setExtendedData(QByteArray("replaced"), key);
    EXPECT_EQ(cache.extendedDataForKey(key), std::optional<QByteArray>("replaced"));
    cache.setExtendedData(std::nullopt, key);
    EXPECT_EQ(cache.extendedDataForKey(key), std::nullopt);
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>("image"));
}

TEST_F(DiskCacheTest, ExpiryFollowsTheChosenDateAndTheInjectedClock) {
    auto cache = makeCache();
    const qint64 now = clock->now().toSecsSinceEpoch();
    cache.setData("old", QStringLiteral("old"));
    cache.setData("recent", QStringLiteral("recent"));
    setFileDate(cache.cachePathForKey(QStringLiteral("old")), now - 8 * 86400);
    setFileDate(cache.cachePathForKey(QStringLiteral("recent")), now - 6 * 86400);

    config->setMaxDiskAge(-1);
    cache.removeExpiredData();
    EXPECT_TRUE(cache.containsDataForKey(QStringLiteral("old")));

    config->setMaxDiskAge(604800);
    cache.removeExpiredData();
    EXPECT_FALSE(cache.containsDataForKey(QStringLiteral("old")));
    EXPECT_TRUE(cache.containsDataForKey(QStringLiteral("recent")));

    // By access date: the recent file was read long ago, as far as the clock is concerned.
    config->setDiskCacheExpireType(ImageCacheConfigExpireType::AccessDate);
    clock->advance(qint64(2) * 86400 * 1000);
    cache.removeExpiredData();
    EXPECT_FALSE(cache.containsDataForKey(QStringLiteral("recent")));

    cache.setData("now", QStringLiteral("now"));
    setFileDate(cache.cachePathForKey(QStringLiteral("now")), clock->now().toSecsSinceEpoch());
    config->setMaxDiskAge(0);
    cache.removeExpiredData();
    EXPECT_FALSE(cache.containsDataForKey(QStringLiteral("now")));
}

TEST_F(DiskCacheTest, SizeLimitTrimsOldestFirstToHalf) {
    auto cache = makeCache();
    config->setMaxDiskAge(-1);
    const qint64 now = clock->now().toSecsSinceEpoch();
    for (int i = 0; i < 5; ++i) {
        const auto key = QStringLiteral("file%1").arg(i);
        cache.setData(QByteArray(300, 'x'), key);
        setFileDate(cache.cachePathForKey(key), now - 100 + i);
    }
    const auto each = allocatedSize(cache.cachePathForKey(QStringLiteral("file0")));
    ASSERT_GT(each, 0u);
    // Five files of `each` against a limit of three and a third: trimming goes below half of it.
    config->setMaxDiskSize(each * 10 / 3);
    cache.removeExpiredData();
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(cache.containsDataForKey(QStringLiteral("file%1").arg(i))) << i;
    }
    EXPECT_TRUE(cache.containsDataForKey(QStringLiteral("file4")));
}

TEST_F(DiskCacheTest, SizesCountAndClearing) {
    auto cache = makeCache();
    cache.setData("12345", QStringLiteral("a"));
    cache.setData("123", QStringLiteral("b"));
    QDir(path()).mkdir(QStringLiteral("sub"));
    EXPECT_EQ(cache.totalSize(), 8u);
    EXPECT_EQ(cache.totalCount(), 3u);
    cache.removeAllData();
    EXPECT_TRUE(QDir(path()).exists());
    EXPECT_EQ(cache.totalCount(), 0u);
}

TEST_F(DiskCacheTest, MovingTheFolder) {
    const auto source = root.filePath(QStringLiteral("old"));
    const auto destination = root.filePath(QStringLiteral("new/deeper/cache"));
    {
        DiskCache old(source, config, clock);
        old.setData("moved", QStringLiteral("k"));
    }
    auto cache = DiskCache(destination, config, clock);
    QDir(destination).removeRecursively();
    cache.moveCacheDirectory(source, destination);
    EXPECT_FALSE(QDir(source).exists());
    EXPECT_EQ(cache.dataForKey(QStringLiteral("k")), std::optional<QByteArray>("moved"));

    // Into an existing folder: entries of the same name stay as the destination has them.
    DiskCache second(source, config, clock);
    second.setData("from source", QStringLiteral("k"));
    second.setData("only in source", QStringLiteral("other"));
    cache.moveCacheDirectory(source, destination);
    EXPECT_FALSE(QDir(source).exists());
    EXPECT_EQ(cache.dataForKey(QStringLiteral("k")), std::optional<QByteArray>("moved"));
    EXPECT_EQ(cache.dataForKey(QStringLiteral("other")), std::optional<QByteArray>("only in source"));

    // The same path, or a missing source, changes nothing.
    cache.moveCacheDirectory(destination, destination);
    cache.moveCacheDirectory(root.filePath(QStringLiteral("missing")), destination);
    EXPECT_TRUE(cache.containsDataForKey(QStringLiteral("k")));
}

TEST_F(DiskCacheTest, ReadsOnlyRegularFilesOfItsOwnUpToTheEntryLimit) {
    EXPECT_EQ(ImageCacheConfig().maxDiskEntrySize(), quint64(50) * 1024 * 1024);
    config->setMaxDiskEntrySize(1000);
    auto cache = makeCache();
    const auto linkAt = [&](const QString& key, const QString& target) {
        QFile::remove(cache.cachePathForKey(key));
        ASSERT_TRUE(QFile::link(target, cache.cachePathForKey(key)));
    };

    // Links lead out of the folder: to a private file, to an endless device, to an old-layout name.
    QFile secret(root.filePath(QStringLiteral("secret.txt")));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("not an image of the cache");
    secret.close();
    linkAt(QStringLiteral("https://e.com/secret.png"), secret.fileName());
    linkAt(QStringLiteral("https://e.com/zero.png"), QStringLiteral("/dev/zero"));
    const auto oldLayout = QStringLiteral("https://e.com/old.png");
    ASSERT_TRUE(QFile::link(secret.fileName(), QDir(path()).filePath(md5(oldLayout))));
    for (const auto& key :
         {QStringLiteral("https://e.com/secret.png"), QStringLiteral("https://e.com/zero.png"), oldLayout}) {
        EXPECT_FALSE(cache.containsDataForKey(key)) << key.toStdString();
        EXPECT_EQ(cache.dataForKey(key), std::nullopt) << key.toStdString();
    }

    // A pipe put in the cache's place is no file: reading it neither blocks nor answers.
    const auto fifoKey = QStringLiteral("https://e.com/fifo.png");
    ASSERT_EQ(::mkfifo(QFile::encodeName(cache.cachePathForKey(fifoKey)).constData(), 0600), 0);
    EXPECT_EQ(cache.dataForKey(fifoKey), std::nullopt);

    // An entry larger than any the cache would store is a miss, and such bytes are not written.
    const auto key = QStringLiteral("https://e.com/big.png");
    cache.setData(QByteArray(1000, 'a'), key);
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>(QByteArray(1000, 'a')));
    QFile grown(cache.cachePathForKey(key));
    ASSERT_TRUE(grown.open(QIODevice::Append));
    grown.write("b");
    grown.close();
    EXPECT_FALSE(cache.containsDataForKey(key));
    EXPECT_EQ(cache.dataForKey(key), std::nullopt);
    cache.setData(QByteArray(10, 'c'), key);
    cache.setData(QByteArray(1001, 'd'), key);
    EXPECT_FALSE(QFile::exists(cache.cachePathForKey(key)));
}

TEST_F(DiskCacheTest, AFailedWriteLeavesNoPartOfTheNewBytes) {
    const auto key = QStringLiteral("https://e.com/avatar.png");
    const QByteArray earlier(100, 'o');
    const QByteArray larger(10000, 'n');

    // Atomic writes: the earlier entry stays byte for byte, and no temporary file is left over.
    auto cache = makeCache();
    cache.setData(earlier, key);
    {
        FileSizeLimit limit(4096);
        cache.setData(larger, key);
    }
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>(earlier));
    EXPECT_EQ(QDir(path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    // Writes that do not wait for the disk go through a new file too: the entry is not cut.
    config->setDiskCacheWritingOptions(0);
    {
        FileSizeLimit limit(4096);
        cache.setData(larger, key);
    }
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>(earlier));
    EXPECT_EQ(QDir(path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    cache.setData(larger, key);
    EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>(larger));
}

namespace {

// The messages of the image library's log while it lives.
class LogCapture {
public:
    LogCapture() {
        instance = this;
        m_previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
                if (QLatin1String(context.category) == QLatin1String(imageLibraryLog().categoryName())) {
                    instance->messages.append(text);
                }
            });
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        instance = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList messages;

private:
    static inline LogCapture* instance = nullptr;
    QtMessageHandler m_previous = nullptr;
};

} // namespace

TEST_F(DiskCacheTest, AFullOrUnwritableFolderIsSaidOnceInTheLog) {
    const QByteArray larger(10000, 'n');
    LogCapture log;
    auto full = makeCache();
    {
        FileSizeLimit limit(4096);
        for (int i = 0; i < 3; ++i) {
            full.setData(larger, QStringLiteral("https://e.com/%1.png").arg(i));
        }
    }
    ASSERT_EQ(log.messages.size(), 1) << log.messages.join(u'\n').toStdString();
    EXPECT_TRUE(log.messages.at(0).contains(path())) << log.messages.at(0).toStdString();

    // A file where the folder should be: nothing can be written there, whoever runs the app.
    QFile blocker(root.filePath(QStringLiteral("blocked")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DiskCache unwritable(root.filePath(QStringLiteral("blocked/cache")), config, clock);
    for (int i = 0; i < 3; ++i) {
        unwritable.setData(QByteArray(10, 'x'), QStringLiteral("https://e.com/%1.png").arg(i));
    }
    ASSERT_EQ(log.messages.size(), 2) << log.messages.join(u'\n').toStdString();
    EXPECT_TRUE(log.messages.at(1).contains(root.filePath(QStringLiteral("blocked/cache"))))
        << log.messages.at(1).toStdString();
}

TEST_F(DiskCacheTest, AWriteReplacesALinkAtTheEntrysPathAndNeverWritesThroughIt) {
    auto cache = makeCache();
    const QString secret = root.filePath(QStringLiteral("secret.txt"));
    const auto userFile = [&] {
        QFile file(secret);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("the user's own bytes");
    }
    int n = 0;
    for (const int options : {int(ImageCacheConfig::WriteAtomic), 0}) {
        config->setDiskCacheWritingOptions(options);
        const auto plant = [&](const std::function<int(const QByteArray&)>& make) {
            const QString key = QStringLiteral("https://e.com/%1.png").arg(++n);
            QDir().mkpath(path());
            make(QFile::encodeName(cache.cachePathForKey(key)));
            return key;
        };
        const QStringList keys = {
            plant([&](const QByteArray& at) {
                return ::symlink(QFile::encodeName(secret).constData(), at.constData());
            }),
            plant([&](const QByteArray& at) {
                return ::link(QFile::encodeName(secret).constData(), at.constData());
            }),
            plant([&](const QByteArray& at) { return ::mkfifo(at.constData(), 0600); }),
        };
        for (const QString& key : keys) {
            cache.setData("avatar bytes", key);
            EXPECT_EQ(cache.dataForKey(key), std::optional<QByteArray>("avatar bytes")) << key.toStdString();
            EXPECT_EQ(userFile(), "the user's own bytes") << key.toStdString() << " options " << options;
        }
    }
    const QStringList names = QDir(path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    EXPECT_EQ(names.size(), 6) << names.join(u' ').toStdString();
}

namespace {

// A folder whose files nobody can remove while it lives, whoever runs the test: read-only for a
// user, immutable (where the file system has the flag) for the super-user, whom modes do not stop.
class UnremovableFolder {
public:
    explicit UnremovableFolder(const QString& path) : m_path(QFile::encodeName(path)) {
        const QByteArray probe = m_path + "/probe";
        ::close(::open(probe.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::chmod(m_path.constData(), 0555);
        if (::unlink(probe.constData()) != 0) {
            m_locked = true;
            return;
        }
        ::close(::open(probe.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        m_fd = ::open(m_path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (m_fd >= 0 && ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            m_immutable = ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        m_locked = m_immutable && ::unlink(probe.constData()) != 0;
    }
    ~UnremovableFolder() {
        if (m_immutable) {
            int flags = 0;
            ::ioctl(m_fd, FS_IOC_GETFLAGS, &flags);
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(m_fd, FS_IOC_SETFLAGS, &flags);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        ::chmod(m_path.constData(), 0755);
    }
    UnremovableFolder(const UnremovableFolder&) = delete;
    UnremovableFolder& operator=(const UnremovableFolder&) = delete;
    bool locked() const { return m_locked; }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_immutable = false;
    bool m_locked = false;
};

} // namespace

TEST_F(DiskCacheTest, FilesItCannotRemoveAreLeftUncountedAndSaidOnceAndItsOwnEntriesAreKept) {
    // Planted long ago, so older than any entry: a trim oldest first meets them first.
    const QString planted = QDir(path()).filePath(QStringLiteral("planted"));
    ASSERT_TRUE(QDir().mkpath(planted));
    const qint64 now = clock->now().toSecsSinceEpoch();
    for (int i = 0; i < 300; ++i) {
        const QString file = QDir(planted).filePath(QStringLiteral("p%1").arg(i));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(4096, 'p'));
        out.close();
        setFileDate(file, now - 100000 + i);
    }
    UnremovableFolder unremovable(planted);
    if (!unremovable.locked()) {
        GTEST_SKIP() << "no way to make a folder's files unremovable here";
    }
    config->setMaxDiskAge(-1);
    // Far less than the planted files, far more than the cache's own entries.
    config->setMaxDiskSize(1024 * 1024);
    LogCapture log;
    auto cache = makeCache();
    cache.trimToSize();
    QStringList keys;
    for (int i = 0; i < 60; ++i) {
        keys << QStringLiteral("https://e.com/%1.png").arg(i);
        cache.setData(QByteArray(8000, char('a' + i % 26)), keys.back());
    }
    for (const QString& key : keys) {
        EXPECT_TRUE(cache.containsDataForKey(key)) << key.toStdString();
    }
    EXPECT_EQ(QDir(planted).entryList(QDir::Files).size(), 301); // with the lock's probe
    EXPECT_EQ(log.messages.filter(planted).size(), 1) << log.messages.join(u'\n').toStdString();

    // Past the bound, its own entries are held to it, oldest first, however many files sit beside.
    for (int i = 60; i < 260; ++i) {
        keys << QStringLiteral("https://e.com/%1.png").arg(i);
        cache.setData(QByteArray(8000, 'z'), keys.back());
        setFileDate(cache.cachePathForKey(keys.back()), now + i);
    }
    cache.trimToSize();
    EXPECT_TRUE(cache.containsDataForKey(keys.back()));
    EXPECT_FALSE(cache.containsDataForKey(keys.at(60)));
    EXPECT_EQ(log.messages.filter(planted).size(), 1) << log.messages.join(u'\n').toStdString();
}
