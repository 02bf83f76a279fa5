#include "platform/files/AtomicFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

const QLatin1String temporaryMarker(".velmora-write-");
constexpr int temporaryLetters = 6;

bool isTemporaryLetter(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// The start of every temporary of `fileName`: the name, shortened where the whole would not fit
// the file system's 255 bytes, and the marker.
QString temporaryPrefix(const QString& fileName) {
    constexpr qsizetype maxNameBytes = 255;
    QString base = fileName;
    while (!base.isEmpty() &&
           QFile::encodeName(base + temporaryMarker).size() + temporaryLetters > maxNameBytes) {
        base.chop(base.size() >= 2 && base.back().isLowSurrogate() ? 2 : 1);
    }
    return base + temporaryMarker;
}

QString newTemporaryName(const QString& fileName) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString name = temporaryPrefix(fileName);
    for (int i = 0; i < temporaryLetters; ++i) {
        name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof(letters) - 1))]);
    }
    return name;
}

QString reason(const QString& what, const QString& path, int error) {
    return QStringLiteral("cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(error)));
}

bool writeAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const auto written = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

Result<Void, QString> AtomicFile::write(const QString& path, const QByteArray& data, bool sync) {
    const QString fileName = QFileInfo(path).fileName();
    return write(path, data, sync,
                 [&fileName](int attempt) { return attempt < 100 ? newTemporaryName(fileName) : QString(); });
}

Result<Void, QString> AtomicFile::write(const QString& path, const QByteArray& data, bool sync,
                                        const std::function<QString(int attempt)>& temporaryName) {
    using R = Result<Void, QString>;
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QString folder = info.absolutePath();

    // O_EXCL: the temporary is a new file of this write, whatever another process put there.
    int fd = -1;
    QByteArray temporary;
    for (int attempt = 0; fd < 0; ++attempt) {
        const QString name = temporaryName(attempt);
        if (name.isEmpty()) {
            break;
        }
        temporary = QFile::encodeName(QDir(folder).filePath(name));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return R::failure(reason(QStringLiteral("create a file in"), folder, errno));
        }
    }
    if (fd < 0) {
        return R::failure(reason(QStringLiteral("create a file in"), folder, EEXIST));
    }
    const auto fail = [&](const QString& what) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(temporary.constData());
        return R::failure(reason(what, path, error));
    };
    // The file keeps the permissions it had (a user's private file stays private); only a
    // regular file's are taken, never those of whatever a link points at.
    struct stat existing {};
    const bool existed = ::lstat(target.constData(), &existing) == 0;
    if (existed && S_ISREG(existing.st_mode) && ::fchmod(fd, existing.st_mode & 07777) != 0) {
        return fail(QStringLiteral("set the permissions of"));
    }
    if (!writeAll(fd, data)) {
        return fail(QStringLiteral("write"));
    }
    if (sync && ::fsync(fd) != 0) {
        return fail(QStringLiteral("write"));
    }
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
        return fail(QStringLiteral("write"));
    }
    // The rename replaces the name: a link there is replaced, not followed. Where the write
    // must be durable, the names are swapped instead, so that the file from before stays at
    // hand (under the temporary's name) until the folder has the new name on the disk.
    // (Never with a folder: that would move the folder away.)
    bool swapped = false;
    if (sync && existed && !S_ISDIR(existing.st_mode) &&
        ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE) == 0) {
        swapped = true;
    } else if (::rename(temporary.constData(), target.constData()) != 0) {
        return fail(QStringLiteral("replace"));
    }
    if (!sync) {
        return R::success(Void{});
    }
    // The new name lives in the folder: until the folder is on the disk too, a power cut can
    // bring back the file from before, though the write said it was done.
    const QByteArray folderName = QFile::encodeName(folder);
    const int folderFd = ::open(folderName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = errno;
    int synced = -1;
    if (folderFd >= 0) {
        synced = ::fsync(folderFd);
        error = errno;
        ::close(folderFd);
    }
    // Some file systems cannot sync a folder (EINVAL): their renames are as durable as they get.
    if (synced == 0 || (folderFd >= 0 && error == EINVAL)) {
        if (swapped) {
            ::unlink(temporary.constData());
        }
        return R::success(Void{});
    }
    // A failure said must be a write that did not happen: the file from before goes back to its
    // name and the new one goes. Where there was no file before, the new one goes. (Only a
    // file system that cannot swap names has lost the file from before by now: the failure is
    // told all the same, since the new name may not outlast a power cut.)
    if (swapped) {
        ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE);
        ::unlink(temporary.constData());
    } else if (!existed) {
        ::unlink(target.constData());
    }
    return R::failure(reason(QStringLiteral("write the folder of"), path, error));
}

Result<Void, QString> AtomicFile::keepCopy(const QString& from, const QString& to) {
    using R = Result<Void, QString>;
    const QByteArray source = QFile::encodeName(QFileInfo(from).absoluteFilePath());
    const QFileInfo target(to);
    const QByteArray destination = QFile::encodeName(target.absoluteFilePath());
    struct stat info {};
    if (::lstat(source.constData(), &info) != 0) {
        return R::failure(reason(QStringLiteral("read"), from, errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return R::failure(QStringLiteral("%1 is not a regular file").arg(from));
    }
    // A second name made under a new temporary name, renamed over `to`: nothing at `to` is
    // ever written through.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temporary =
            QFile::encodeName(QDir(target.absolutePath()).filePath(newTemporaryName(target.fileName())));
        if (::link(source.constData(), temporary.constData()) == 0) {
            const int renamed = ::rename(temporary.constData(), destination.constData());
            const int error = errno;
            // A rename onto another name of the same file (`to` already is this file) does
            // nothing at all and leaves the temporary: it goes either way.
            ::unlink(temporary.constData());
            if (renamed != 0) {
                return R::failure(reason(QStringLiteral("replace"), to, error));
            }
            return R::success(Void{});
        }
        if (errno == EEXIST) {
            continue;
        }
        break;
    }
    // The file system keeps no second names (or refused this one): a copy.
    const int fd = ::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return R::failure(reason(QStringLiteral("read"), from, errno));
    }
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const auto got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return R::failure(reason(QStringLiteral("read"), from, error));
        }
        if (got == 0) {
            break;
        }
        data.append(buffer, got);
    }
    ::close(fd);
    return write(to, data, false);
}

bool AtomicFile::isTemporaryOf(const QString& path, const QString& fileName) {
    const QString prefix = temporaryPrefix(QFileInfo(path).fileName());
    if (fileName.size() != prefix.size() + temporaryLetters || !fileName.startsWith(prefix)) {
        return false;
    }
    for (qsizetype i = prefix.size(); i < fileName.size(); ++i) {
        if (!isTemporaryLetter(fileName.at(i))) {
            return false;
        }
    }
    return true;
}

bool AtomicFile::isTemporary(const QString& fileName) {
    const qsizetype markerAt = fileName.size() - temporaryLetters - temporaryMarker.size();
    if (markerAt < 0 || QStringView(fileName).mid(markerAt, temporaryMarker.size()) != temporaryMarker) {
        return false;
    }
    return std::all_of(fileName.end() - temporaryLetters, fileName.end(), isTemporaryLetter);
}

namespace {

// Removes the regular files of `folder` whose names `isLeftover` takes, unless changed within
// `olderThan`.
int removeLeftoversWhere(const QDir& folder, std::chrono::seconds olderThan,
                         const std::function<bool(const QString&)>& isLeftover) {
    if (!folder.exists()) {
        return 0;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 before = now - olderThan.count();
    int removed = 0;
    // No name filter: the file's name could hold wildcards of one.
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (!isLeftover(name)) {
            continue;
        }
        const QByteArray native = QFile::encodeName(folder.filePath(name));
        struct stat info {};
        if (::lstat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        // A write under way changed its file a moment ago. One dated ahead of now was left before
        // the clock was set back: as stale as an old one, or it would stay until the clock caught up.
        if (olderThan.count() > 0 && info.st_mtime > before && info.st_mtime <= now) {
            continue;
        }
        if (::unlink(native.constData()) == 0) {
            ++removed;
        }
    }
    return removed;
}

} // namespace

int AtomicFile::removeLeftovers(const QString& path, std::chrono::seconds olderThan) {
    return removeLeftoversWhere(QFileInfo(path).absoluteDir(), olderThan,
                                [&path](const QString& name) { return isTemporaryOf(path, name); });
}

int AtomicFile::removeLeftoversIn(const QString& folder, std::chrono::seconds olderThan) {
    return removeLeftoversWhere(QDir(folder), olderThan, isTemporary);
}

} // namespace velmora
