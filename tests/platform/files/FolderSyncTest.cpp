#include "platform/files/AtomicFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
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
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

using namespace velmora;

// A rename is durable only once its folder is: without a sync of the folder, a power cut soon
// after can bring back the file from before, though the write said it was done.
TEST(FolderSyncTest, ASyncedWriteSyncsItsFolderAfterTheRename) {
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

    std::lock_guard lock(seenLock);
    bool folderSyncedAfterRename = false;
    for (const SyncSeen& sync : seen) {
        if (sync.folder && sync.device == folder.st_dev && sync.inode == folder.st_ino) {
            folderSyncedAfterRename = sync.watchedContents == "new";
        }
    }
    EXPECT_TRUE(folderSyncedAfterRename) << "the folder was not synced once the new file had its name";
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
