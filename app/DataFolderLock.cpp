#include "app/DataFolderLock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace velmora {

DataFolderLock::DataFolderLock(QString folder)
    : m_path(QDir(folder).filePath(QStringLiteral("velmora.lock"))) {
    QDir().mkpath(folder);
}

DataFolderLock::~DataFolderLock() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

DataFolderLock::Outcome DataFolderLock::take(const QString& socketName) {
    if (m_fd < 0) {
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            return Outcome::unavailable;
        }
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            return Outcome::unavailable;
        }
        // A socket path is short: what is longer is not the holder's.
        char name[1024];
        const ssize_t read = ::pread(m_fd, name, sizeof(name), 0);
        m_holder = read > 0 && read < static_cast<ssize_t>(sizeof(name))
                       ? QFile::decodeName(QByteArray(name, static_cast<qsizetype>(read)))
                       : QString();
        return Outcome::heldByAnother;
    }
    m_holder.clear();
    const QByteArray name = QFile::encodeName(socketName);
    if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, name.constData(), static_cast<size_t>(name.size()), 0) !=
                                           static_cast<ssize_t>(name.size())) {
        // Held all the same: a later start refuses rather than hands over.
    }
    return Outcome::taken;
}

} // namespace velmora
