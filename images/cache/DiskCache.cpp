#include "images/cache/DiskCache.h"

#include "images/cache/ImageCacheConfig.h"
#include "images/core/ImageLibraryLog.h"
#include "platform/files/AtomicFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace velmora::images {

const char* const DiskCache::extendedAttributeName = "user.velmora.images.DiskCache";
const char* const DiskCache::drawingRefusalAttributeName = "user.velmora.images.DrawingRefused";

namespace {

// The extended attribute `name` of the file at `path` (never through a link); none when it has
// none, or the file system keeps none.
std::optional<QByteArray> attributeOf(const QString& path, const char* name) {
    const auto file = QFile::encodeName(path);
    // The value may grow between asking its size and reading it; one retry covers a writer racing us.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto size = ::lgetxattr(file.constData(), name, nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        QByteArray value(qsizetype(size), Qt::Uninitialized);
        const auto read = ::lgetxattr(file.constData(), name, value.data(), size_t(value.size()));
        if (read >= 0) {
            value.truncate(qsizetype(read));
            return value;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Sets (or with none removes) it. A file system without extended attributes simply keeps none:
// errors are not the caller's.
void setAttributeOf(const QString& path, const char* name, const std::optional<QByteArray>& value) {
    const auto file = QFile::encodeName(path);
    if (value) {
        ::lsetxattr(file.constData(), name, value->constData(), size_t(value->size()), 0);
    } else {
        ::lremovexattr(file.constData(), name);
    }
}

// The extension of the last path component: what follows its last dot, when that dot is neither the
// first nor the last character.
QString pathExtension(QString path) {
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    const auto name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const auto dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1) {
        return {};
    }
    return name.mid(dot + 1);
}

QString keyExtension(const QString& key) {
    // A URL's query and fragment are no part of its extension.
    const QUrl url(key, QUrl::StrictMode);
    if (url.isValid()) {
        return pathExtension(url.path(QUrl::FullyDecoded));
    }
    return pathExtension(key);
}

struct EntryValues {
    QString path;
    bool hasDate = false;
    qint64 dateMs = 0;
    quint64 allocatedSize = 0;
};

// The date that decides age and the allocated size of one entry, read without following links.
// False when the entry cannot be read or is a directory.
bool readEntryValues(const QString& path, ImageCacheConfigExpireType type, EntryValues& values) {
    const auto encoded = QFile::encodeName(path);
    struct statx info {};
    const unsigned mask = STATX_TYPE | STATX_BLOCKS | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;
    if (::statx(AT_FDCWD, encoded.constData(), AT_SYMLINK_NOFOLLOW, mask, &info) != 0) {
        return false;
    }
    if (S_ISDIR(info.stx_mode)) {
        return false;
    }
    values.path = path;
    values.allocatedSize = quint64(info.stx_blocks) * 512;
    const auto ms = [](const struct statx_timestamp& t) {
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
    };
    switch (type) {
    case ImageCacheConfigExpireType::AccessDate:
        values.hasDate = (info.stx_mask & STATX_ATIME) != 0;
        values.dateMs = ms(info.stx_atime);
        break;
    case ImageCacheConfigExpireType::CreationDate:
        // Not every file system records a birth time; such a file has no date and is kept.
        values.hasDate = (info.stx_mask & STATX_BTIME) != 0;
        values.dateMs = ms(info.stx_btime);
        break;
    case ImageCacheConfigExpireType::ChangeDate:
        values.hasDate = (info.stx_mask & STATX_CTIME) != 0;
        values.dateMs = ms(info.stx_ctime);
        break;
    case ImageCacheConfigExpireType::ModificationDate:
    default:
        values.hasDate = (info.stx_mask & STATX_MTIME) != 0;
        values.dateMs = ms(info.stx_mtime);
        break;
    }
    return true;
}

// Removes the oldest of `entries` (a file without the date counts as the newest) until their
// `total` is at most `target`; what is left of the total.
quint64 removeOldest(std::vector<EntryValues>& entries, quint64 total, quint64 target) {
    std::stable_sort(entries.begin(), entries.end(), [](const EntryValues& a, const EntryValues& b) {
        if (a.hasDate != b.hasDate) {
            return a.hasDate;
        }
        return a.dateMs < b.dateMs;
    });
    for (const auto& entry : entries) {
        if (total <= target) {
            break;
        }
        if (QFile::remove(entry.path)) {
            total -= std::min(total, entry.allocatedSize);
        }
    }
    return total;
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// Whether the entry at `path` is a file the cache may have written: a regular file, not a link
// to something elsewhere, of at most `limit` bytes.
bool isOwnEntry(const struct stat& info, quint64 limit) {
    return S_ISREG(info.st_mode) && info.st_size >= 0 && quint64(info.st_size) <= limit;
}

bool hasOwnEntry(const QString& path, quint64 limit) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && isOwnEntry(info, limit);
}

// The bytes of the cache's own file at `path`. A link is not followed (it could lead to any file of
// the user, or to a device that never ends), a pipe or device is not waited on, and a file larger
// than any entry the cache writes is not read at all.
std::optional<QByteArray> readOwnFile(const QString& path, quint64 limit) {
    Descriptor file{
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !isOwnEntry(info, limit)) {
        return std::nullopt;
    }
    QByteArray data(qsizetype(info.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const auto read = ::read(file.fd, data.data() + done, size_t(data.size() - done));
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read < 0) {
            return std::nullopt;
        }
        if (read == 0) {
            break;
        }
        done += read;
    }
    data.truncate(done);
    return data;
}

} // namespace

// The entries the cache may remove, by path and oldest first (an entry without the date counts as
// the newest), and their bytes.
struct DiskCache::Index {
    struct Entry {
        qint64 age = 0;
        quint64 bytes = 0;
    };
    std::map<QString, Entry> entries;
    std::set<std::pair<qint64, QString>> oldestFirst;
    quint64 bytes = 0;
    // The walk that counts the folder, under way; none before it starts and once it is done.
    std::unique_ptr<QDirIterator> walk;
    // Every entry of the folder was counted once.
    bool counted = false;
    // Past the bound: removing down to three quarters of it.
    bool trimming = false;
    // Folders whose files cannot be removed, and whether the log was told.
    std::set<QString> stuckFolders;

    void add(const QString& path, qint64 age, quint64 size) {
        forget(path);
        entries[path] = Entry{age, size};
        oldestFirst.emplace(age, path);
        bytes += size;
    }
    void forget(const QString& path) {
        const auto it = entries.find(path);
        if (it == entries.end()) {
            return;
        }
        oldestFirst.erase({it->second.age, path});
        bytes -= std::min(bytes, it->second.bytes);
        entries.erase(it);
    }
    bool isInStuckFolder(const QString& path) const { return stuckFolders.contains(QFileInfo(path).path()); }
    // Forgets every entry, for the upkeep to count the folder again; folders found stuck stay so.
    void recount() {
        auto stuck = std::move(stuckFolders);
        *this = Index();
        stuckFolders = std::move(stuck);
    }
};

namespace {

// Entries counted, or removed, in one step of the upkeep: a few milliseconds of the disk's time.
constexpr int countedPerStep = 256;
constexpr int removedPerStep = 32;

// A write's temporary unchanged for leftoverWriteAge, or dated ahead of now (the clock was set
// back): left by a write killed before its rename.
bool isLeftoverWrite(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    const qint64 age = qint64(::time(nullptr)) - qint64(info.st_mtim.tv_sec);
    return age < 0 || age >= qint64(DiskCache::leftoverWriteAge.count());
}

qint64 ageOf(const EntryValues& values) {
    return values.hasDate ? values.dateMs : std::numeric_limits<qint64>::max();
}

} // namespace

DiskCache::DiskCache(const QString& cachePath, std::shared_ptr<ImageCacheConfig> config,
                     std::shared_ptr<Clock> clock)
    : m_diskCachePath(cachePath), m_config(std::move(config)), m_clock(std::move(clock)),
      m_index(std::make_unique<Index>()) {
    Q_ASSERT(m_config);
    m_pathForKey.setCountLimit(512);
    if (!m_clock) {
        m_clock = Clock::system();
    }
    QDir().mkpath(m_diskCachePath);
}

DiskCache::~DiskCache() = default;

QString DiskCache::cacheFileNameForKey(const QString& key) {
    const auto digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Md5).toHex();
    auto name = QString::fromLatin1(digest);
    const auto extension = keyExtension(key);
    // The limit counts bytes, as the file system does: a long non-ASCII extension would otherwise
    // make a name it refuses.
    if (!extension.isEmpty() && extension.toUtf8().size() <= maxExtensionBytes &&
        !extension.contains(QChar(0))) {
        name += QLatin1Char('.') + extension;
    }
    return name;
}

QString DiskCache::cachePathForKey(const QString& key, const QString& path) {
    return QDir(path).filePath(cacheFileNameForKey(key));
}

QString DiskCache::cachePathForKey(const QString& key) const {
    if (auto path = m_pathForKey.object(key)) {
        return *path;
    }
    auto path = cachePathForKey(key, m_diskCachePath);
    m_pathForKey.insert(key, path, 1);
    return path;
}

namespace {
// Files of an earlier layout were named by the digest alone.
QString pathWithoutExtension(const QString& path) {
    const auto slash = path.lastIndexOf(QLatin1Char('/'));
    const auto dot = path.lastIndexOf(QLatin1Char('.'));
    return dot > slash ? path.left(dot) : path;
}
} // namespace

bool DiskCache::containsDataForKey(const QString& key) const {
    const auto path = cachePathForKey(key);
    const auto limit = m_config->maxDiskEntrySize();
    return hasOwnEntry(path, limit) || hasOwnEntry(pathWithoutExtension(path), limit);
}

std::optional<QByteArray> DiskCache::dataForKey(const QString& key) const {
    const auto path = cachePathForKey(key);
    const auto limit = m_config->maxDiskEntrySize();
    if (auto data = readOwnFile(path, limit)) {
        return data;
    }
    const auto plain = pathWithoutExtension(path);
    return plain == path ? std::nullopt : readOwnFile(plain, limit);
}

void DiskCache::setData(const QByteArray& data, const QString& key) {
    const auto path = cachePathForKey(key);
    if (quint64(data.size()) > m_config->maxDiskEntrySize()) {
        // It would never be read; what the key held before is no longer its image either.
        QFile::remove(path);
        return;
    }
    // The bytes go into a new file in the cache folder, renamed over the entry: a link, FIFO or
    // second name of a user's file planted at the entry's path is replaced, never written
    // through, and a failed write (a full disk) leaves the entry as it was. Atomic writes also
    // wait for the disk before the rename.
    // The room made, the write and the index's note of it go together.
    std::unique_lock sizeLock(m_sizeMutex);
    const quint64 maxSize = m_config->maxDiskSize();
    bool upkeepLeft = false;
    if (maxSize > 0) {
        // Room is made before the write from the index, a few of the oldest at most: no write walks
        // the folder. Before the folder was counted once, the upkeep makes the room.
        const quint64 coming = (quint64(data.size()) + 4095) / 4096 * 4096;
        if (m_index->counted) {
            const auto it = m_index->entries.find(path);
            const quint64 before = it == m_index->entries.end() ? 0 : it->second.bytes;
            const quint64 target = maxSize - std::min(maxSize, coming) + before;
            upkeepLeft = !removeOldestDownTo(target, removedPerStep);
        } else {
            upkeepLeft = true;
        }
    }
    const auto written =
        AtomicFile::write(path, data, m_config->diskCacheWritingOptions() & ImageCacheConfig::WriteAtomic);
    reindex(path);
    const auto wanted = upkeepLeft ? m_upkeepWanted : nullptr;
    sizeLock.unlock();
    if (wanted) {
        wanted();
    }
    if (!written.ok() && !m_toldOfFailedWrites) {
        // Images are still shown, only not kept; said once, not for every avatar of a full disk.
        m_toldOfFailedWrites = true;
        qCWarning(imageLibraryLog).noquote()
            << "The image cache in" << m_diskCachePath << "keeps nothing:" << written.error();
    }
}

std::optional<QByteArray> DiskCache::extendedDataForKey(const QString& key) const {
    return attributeOf(cachePathForKey(key), extendedAttributeName);
}

void DiskCache::setExtendedData(const std::optional<QByteArray>& data, const QString& key) {
    setAttributeOf(cachePathForKey(key), extendedAttributeName, data);
}

std::optional<QByteArray> DiskCache::drawingRefusalForKey(const QString& key) const {
    return attributeOf(cachePathForKey(key), drawingRefusalAttributeName);
}

void DiskCache::setDrawingRefusal(const std::optional<QByteArray>& refusal, const QString& key) {
    setAttributeOf(cachePathForKey(key), drawingRefusalAttributeName, refusal);
}

void DiskCache::removeDataForKey(const QString& key) {
    const auto path = cachePathForKey(key);
    std::lock_guard sizeLock(m_sizeMutex);
    QFile::remove(path);
    m_index->forget(path);
}

void DiskCache::removeAllData() {
    std::lock_guard sizeLock(m_sizeMutex);
    QDir(m_diskCachePath).removeRecursively();
    QDir().mkpath(m_diskCachePath);
    // What is left (files that could not be removed) is counted again.
    m_index->recount();
}

void DiskCache::trimToSize() {
    while (upkeepStep()) {
    }
}

void DiskCache::setUpkeepWanted(std::function<void()> wanted) {
    std::lock_guard sizeLock(m_sizeMutex);
    m_upkeepWanted = std::move(wanted);
}

bool DiskCache::upkeepStep() {
    std::lock_guard sizeLock(m_sizeMutex);
    Index& index = *m_index;
    if (!index.counted) {
        if (!index.walk) {
            index.walk = std::make_unique<QDirIterator>(
                m_diskCachePath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                QDirIterator::Subdirectories);
        }
        // Expired entries go as the walk meets them.
        const std::optional<qint64> expiryMs =
            m_config->shouldRemoveExpiredDataWhenTerminate() ? expiryDateMs() : std::nullopt;
        const auto type = m_config->diskCacheExpireType();
        for (int i = 0; i < countedPerStep && index.walk->hasNext(); ++i) {
            const QString path = index.walk->next();
            EntryValues values;
            if (index.isInStuckFolder(path) || !readEntryValues(path, type, values)) {
                continue;
            }
            if (AtomicFile::isTemporary(index.walk->fileName()) && isLeftoverWrite(path)) {
                QFile::remove(path);
                continue;
            }
            if (expiryMs && values.hasDate && values.dateMs <= *expiryMs && QFile::remove(path)) {
                index.forget(path);
                continue;
            }
            index.add(path, ageOf(values), values.allocatedSize);
        }
        if (index.walk->hasNext()) {
            return true;
        }
        index.walk.reset();
        index.counted = true;
    }
    const quint64 maxSize = m_config->maxDiskSize();
    if (maxSize == 0) {
        return false;
    }
    if (index.bytes > maxSize) {
        index.trimming = true;
    }
    if (!index.trimming) {
        return false;
    }
    if (removeOldestDownTo(maxSize / 4 * 3, removedPerStep)) {
        index.trimming = false;
        return false;
    }
    return true;
}

void DiskCache::reindex(const QString& path) {
    EntryValues values;
    if (readEntryValues(path, m_config->diskCacheExpireType(), values)) {
        m_index->add(path, ageOf(values), values.allocatedSize);
    } else {
        m_index->forget(path);
    }
}

std::optional<qint64> DiskCache::expiryDateMs() const {
    // A negative (or NaN) age never expires; an age beyond any file's lifetime is the same.
    const double maxAge = m_config->maxDiskAge();
    if (maxAge >= 0 && maxAge < 1e11) {
        return m_clock->now().toMSecsSinceEpoch() - qint64(std::llround(maxAge * 1000.0));
    }
    return std::nullopt;
}

void DiskCache::removeExpiredData() {
    const auto type = m_config->diskCacheExpireType();
    const auto maxSize = m_config->maxDiskSize();
    const std::optional<qint64> expiryMs = expiryDateMs();

    std::lock_guard sizeLock(m_sizeMutex);
    std::vector<QString> expired;
    std::vector<EntryValues> survivors;
    quint64 total = 0;
    QDirIterator it(m_diskCachePath, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const auto path = it.next();
        EntryValues values;
        if (!readEntryValues(path, type, values)) {
            continue;
        }
        if (expiryMs && values.hasDate && values.dateMs <= *expiryMs) {
            expired.push_back(path);
            continue;
        }
        total += values.allocatedSize;
        survivors.push_back(std::move(values));
    }
    for (const auto& path : expired) {
        QFile::remove(path);
    }
    if (maxSize > 0 && total > maxSize) {
        removeOldest(survivors, total, maxSize / 2);
    }
    // The folder is counted again by the upkeep's next steps.
    m_index->recount();
}

bool DiskCache::removeOldestDownTo(quint64 target, int most) {
    Index& index = *m_index;
    for (int removed = 0; index.bytes > target; ++removed) {
        if (removed >= most || index.oldestFirst.empty()) {
            return index.bytes <= target;
        }
        const QString path = index.oldestFirst.begin()->second;
        if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT) {
            index.forget(path);
            continue;
        }
        // A file the cache cannot remove (a read-only folder planted in its own): its folder's
        // files are left as they are and no longer counted, so they never push out the cache's
        // own entries. Said once per folder.
        const QString folder = QFileInfo(path).path();
        const int error = errno;
        index.stuckFolders.insert(folder);
        int left = 0;
        for (auto it = index.entries.begin(); it != index.entries.end();) {
            const auto next = std::next(it);
            if (QFileInfo(it->first).path() == folder) {
                index.forget(it->first);
                ++left;
            }
            it = next;
        }
        qCWarning(imageLibraryLog).noquote()
            << "The image cache cannot remove the" << left << "files in" << folder << "("
            << qt_error_string(error) << "): they are left as they are and not counted against its size";
    }
    return true;
}

quint64 DiskCache::totalSize() const {
    quint64 size = 0;
    QDirIterator it(m_diskCachePath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const auto info = it.fileInfo();
        if (!info.isDir() || info.isSymLink()) {
            size += quint64(std::max<qint64>(0, info.size()));
        }
    }
    return size;
}

quint64 DiskCache::totalCount() const {
    quint64 count = 0;
    QDirIterator it(m_diskCachePath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

void DiskCache::moveCacheDirectory(const QString& sourcePath, const QString& destinationPath) {
    const QFileInfo source(sourcePath);
    if (QDir::cleanPath(sourcePath) == QDir::cleanPath(destinationPath) || !source.isDir() ||
        source.isSymLink()) {
        return;
    }
    const QFileInfo destination(destinationPath);
    if (destination.isDir()) {
        QStringList entries;
        QDirIterator it(sourcePath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            entries << it.next();
        }
        QDir dir;
        for (const auto& entry : entries) {
            // Never replaces an entry of the same name: the destination's file is kept.
            dir.rename(entry, QDir(destinationPath).filePath(QFileInfo(entry).fileName()));
        }
        QDir(sourcePath).removeRecursively();
        return;
    }
    if (destination.exists() || destination.isSymLink()) {
        QFile::remove(destinationPath);
    }
    QDir().mkpath(destination.absolutePath());
    QDir().rename(sourcePath, destinationPath);
}

} // namespace velmora::images
