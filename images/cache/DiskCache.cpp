#include "images/cache/DiskCache.h"

#include "images/cache/ImageCacheConfig.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace velmora::images {

const char* const DiskCache::extendedAttributeName = "user.velmora.images.DiskCache";

namespace {

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

std::optional<QByteArray> readFile(const QString& path) {
    // Qt refuses to open a folder, so no separate test for a regular file is needed.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.readAll();
}

} // namespace

DiskCache::DiskCache(const QString& cachePath, std::shared_ptr<ImageCacheConfig> config,
                     std::shared_ptr<Clock> clock)
    : m_diskCachePath(cachePath), m_config(std::move(config)), m_clock(std::move(clock)) {
    Q_ASSERT(m_config);
    m_pathForKey.setCountLimit(512);
    if (!m_clock) {
        m_clock = Clock::system();
    }
    QDir().mkpath(m_diskCachePath);
}

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
    return QFileInfo::exists(path) || QFileInfo::exists(pathWithoutExtension(path));
}

std::optional<QByteArray> DiskCache::dataForKey(const QString& key) const {
    const auto path = cachePathForKey(key);
    if (auto data = readFile(path)) {
        return data;
    }
    const auto plain = pathWithoutExtension(path);
    return plain == path ? std::nullopt : readFile(plain);
}

void DiskCache::setData(const QByteArray& data, const QString& key) {
    const auto path = cachePathForKey(key);
    if (m_config->diskCacheWritingOptions() & ImageCacheConfig::WriteAtomic) {
        // Readers on other threads or in other processes see the old file or the whole new one.
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size()) {
            file.commit();
        }
        return;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(data);
    }
}

std::optional<QByteArray> DiskCache::extendedDataForKey(const QString& key) const {
    const auto path = QFile::encodeName(cachePathForKey(key));
    // The value may grow between asking its size and reading it; one retry covers a writer racing us.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto size = ::lgetxattr(path.constData(), extendedAttributeName, nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        QByteArray value(qsizetype(size), Qt::Uninitialized);
        const auto read =
            ::lgetxattr(path.constData(), extendedAttributeName, value.data(), size_t(value.size()));
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

void DiskCache::setExtendedData(const std::optional<QByteArray>& data, const QString& key) {
    const auto path = QFile::encodeName(cachePathForKey(key));
    // A file system without extended attributes simply keeps none: errors are not the caller's.
    if (data) {
        ::lsetxattr(path.constData(), extendedAttributeName, data->constData(), size_t(data->size()), 0);
    } else {
        ::lremovexattr(path.constData(), extendedAttributeName);
    }
}

void DiskCache::removeDataForKey(const QString& key) {
    QFile::remove(cachePathForKey(key));
}

void DiskCache::removeAllData() {
    QDir(m_diskCachePath).removeRecursively();
    QDir().mkpath(m_diskCachePath);
}

void DiskCache::removeExpiredData() {
    const auto type = m_config->diskCacheExpireType();
    const double maxAge = m_config->maxDiskAge();
    const auto maxSize = m_config->maxDiskSize();

    // A negative (or NaN) age never expires; an age beyond any file's lifetime is the same.
    std::optional<qint64> expiryMs;
    if (maxAge >= 0 && maxAge < 1e11) {
        expiryMs = m_clock->now().toMSecsSinceEpoch() - qint64(std::llround(maxAge * 1000.0));
    }

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

    if (maxSize == 0 || total <= maxSize) {
        return;
    }
    const auto target = maxSize / 2;
    // Oldest first; a file without the date counts as the newest.
    std::stable_sort(survivors.begin(), survivors.end(), [](const EntryValues& a, const EntryValues& b) {
        if (a.hasDate != b.hasDate) {
            return a.hasDate;
        }
        return a.dateMs < b.dateMs;
    });
    for (const auto& entry : survivors) {
        if (QFile::remove(entry.path)) {
            total -= std::min(total, entry.allocatedSize);
            if (total < target) {
                break;
            }
        }
    }
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
