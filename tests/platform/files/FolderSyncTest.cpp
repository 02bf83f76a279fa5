#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// Every fsync of this test program comes here first (the program's own definition is the one
// the linker binds), so the test sees which descriptors a write synced, and in what state the
// file was at that moment.
namespace {

struct SyncSeen {
    bool folder = false;
    dev_t device = 0;
    ino_t inode = 0;
    // What the watched path held when the sync came.
    std::string watchedContents;
};

std::mutex seenLock;
std::vector<SyncSeen> seen;
std::atomic<bool> watching{false};
// Folder syncs fail as a disk that gave up would fail them.
std::atomic<bool> foldersFail{false};
std::string watchedPath;

std::string contentsOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string bytes;
    char buffer[256];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return bytes;
}

} // namespace

extern "C" int fsync(int fd) {
    if (watching.load()) {
        struct stat info {};
        if (::fstat(fd, &info) == 0) {
            SyncSeen sync{S_ISDIR(info.st_mode), info.st_dev, info.st_ino, contentsOf(watchedPath)};
            std::lock_guard lock(seenLock);
            seen.push_back(std::move(sync));
        }
    }
    struct stat info {};
    if (foldersFail.load() && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

using namespace velmora;

// The new file is on the disk before its name replaces the old one (else a power cut can leave
// the name on an empty file), and a rename is durable only once its folder is: without a sync
// of the folder, a power cut soon after can bring back the file from before, though the write
// said it was done.
TEST(FolderSyncTest, ASyncedWriteSyncsTheFileBeforeItsRenameAndTheFolderAfter) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.plist"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    struct stat folder {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.path()).constData(), &folder), 0);
    watchedPath = QFile::encodeName(path).toStdString();
    {
        std::lock_guard lock(seenLock);
        seen.clear();
    }
    watching = true;
    ASSERT_TRUE(AtomicFile::write(path, "new").ok());
    watching = false;
    struct stat written {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &written), 0);

    std::lock_guard lock(seenLock);
    bool fileSyncedBeforeRename = false;
    bool folderSyncedAfterRename = false;
    for (const SyncSeen& sync : seen) {
        if (!sync.folder && sync.device == written.st_dev && sync.inode == written.st_ino) {
            fileSyncedBeforeRename = sync.watchedContents == "old";
        }
        if (sync.folder && sync.device == folder.st_dev && sync.inode == folder.st_ino) {
            folderSyncedAfterRename = sync.watchedContents == "new";
        }
    }
    EXPECT_TRUE(fileSyncedBeforeRename) << "the new file was not synced before it took the name";
    EXPECT_TRUE(folderSyncedAfterRename) << "the folder was not synced once the new file had its name";
}

// A write told as failed is one that did not happen: when the folder cannot be synced after
// the rename, the file from before is back at its name (or, where there was none, there is
// none), and nothing is left beside it.
TEST(FolderSyncTest, AFolderSyncThatFailsLeavesThePathAsItWas) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.plist"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    const QString fresh = dir.filePath(QStringLiteral("fresh.plist"));
    foldersFail = true;
    const auto replaced = AtomicFile::write(path, "new");
    const auto created = AtomicFile::write(fresh, "new");
    foldersFail = false;
    EXPECT_FALSE(replaced.ok());
    EXPECT_FALSE(created.ok());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "old");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{QStringLiteral("state.plist")});
}

// A write that need not be durable (a cache's) costs no sync at all.
TEST(FolderSyncTest, AnUnsyncedWriteSyncsNothing) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cached"));
    {
        std::lock_guard lock(seenLock);
        seen.clear();
    }
    watchedPath = QFile::encodeName(path).toStdString();
    watching = true;
    ASSERT_TRUE(AtomicFile::write(path, "bytes", false).ok());
    watching = false;
    std::lock_guard lock(seenLock);
    EXPECT_TRUE(seen.empty());
}
