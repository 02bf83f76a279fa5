#include "state/BookingClaimsJournal.h"

#include "platform/files/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

const QString kRecord = QStringLiteral("record");
const QString kGone = QStringLiteral("gone");

// Far more than any run's claims (a line is some 200 bytes): a file past it is no journal of ours.
constexpr qint64 mostRead = 64 * 1024 * 1024;

QString claimKeyOf(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces);
}

} // namespace

QString BookingClaimsJournal::pathFor(const QString& snapshotPath) {
    const QFileInfo snapshot(snapshotPath);
    return QDir(snapshot.absolutePath()).filePath(snapshot.completeBaseName() + QStringLiteral(".claims"));
}

QByteArray BookingClaimsJournal::lineOf(const BookingClaim& claim) {
    QVariantMap map = claim.toSnapshot().toMap();
    map.insert(kRecord, claimKeyOf(claim.record));
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray BookingClaimsJournal::goneLine(const QUuid& record) {
    return QJsonDocument(QJsonObject{{kGone, claimKeyOf(record)}}).toJson(QJsonDocument::Compact) + '\n';
}

BookingClaimsJournal::Read BookingClaimsJournal::read(const QString& path) {
    Read read;
    QByteArray bytes;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return read;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= mostRead) {
        bytes.resize(static_cast<qsizetype>(info.st_size));
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
            if (n <= 0) {
                break;
            }
            got += n;
        }
        bytes.resize(got);
    } else {
        // Not a file of ours (a device, a FIFO, a giant): its claims cannot be known.
        ++read.unreadable;
    }
    ::close(fd);
    QHash<QString, qsizetype> at;
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', from);
        if (end < 0) {
            // Cut short as it was written: its record was not saved with it.
            break;
        }
        const QByteArray line = bytes.mid(from, end - from);
        from = end + 1;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (const QString gone = object.value(kGone).toString(); !gone.isEmpty()) {
            if (const auto found = at.constFind(gone); found != at.constEnd()) {
                read.claims[static_cast<std::size_t>(*found)].second = QVariant();
                at.remove(gone);
                read.endedLines += 2;
            } else {
                ++read.endedLines;
            }
            continue;
        }
        const QString key = object.value(kRecord).toString();
        if (QUuid::fromString(key).isNull()) {
            ++read.unreadable;
            continue;
        }
        QVariantMap map = object.toVariantMap();
        map.remove(kRecord);
        if (const auto found = at.constFind(key); found != at.constEnd()) {
            read.claims[static_cast<std::size_t>(*found)].second = QVariant();
            ++read.endedLines;
        }
        at.insert(key, static_cast<qsizetype>(read.claims.size()));
        read.claims.emplace_back(key, map);
    }
    std::erase_if(read.claims, [](const auto& claim) { return !claim.second.isValid(); });
    return read;
}

std::optional<QString> BookingClaimsJournal::append(const QString& path, const QByteArray& lines) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return QStringLiteral("%1 could not be opened: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat info {};
    std::optional<QString> failure;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = QStringLiteral("%1 is no file").arg(path);
    } else {
        qsizetype done = 0;
        while (!failure && done < lines.size()) {
            const ssize_t n = ::write(fd, lines.constData() + done, static_cast<size_t>(lines.size() - done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failure = QStringLiteral("%1 could not be written: %2")
                              .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            } else {
                done += n;
            }
        }
        if (!failure && ::fdatasync(fd) != 0) {
            failure = QStringLiteral("%1 could not be synced: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    ::close(fd);
    return failure;
}

std::optional<QString> BookingClaimsJournal::rewrite(const QString& path, const QByteArray& lines) {
    auto written = AtomicFile::write(path, lines);
    return written.ok() ? std::nullopt : std::optional<QString>(written.error());
}

} // namespace velmora
