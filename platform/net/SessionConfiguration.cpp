#include "platform/net/SessionConfiguration.h"
#include "platform/net/TrustStore.h"

#include <QFile>
#include <QLoggingCategory>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {
std::mutex& processMutex() {
    static std::mutex mutex;
    return mutex;
}
QList<QSslCertificate>& processCertificates() {
    static QList<QSslCertificate> certificates;
    return certificates;
}
std::optional<std::chrono::milliseconds>& processCap() {
    static std::optional<std::chrono::milliseconds> cap;
    return cap;
}

// The authorities of the environment's file, with what tells that file apart.
struct ReadAuthorities {
    QString path;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;
    QList<QByteArray> certificates;

    bool sameFileAs(const ReadAuthorities& other) const {
        return path == other.path && device == other.device && inode == other.inode && size == other.size &&
               modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds;
    }
};
std::optional<ReadAuthorities>& lastRead() {
    static std::optional<ReadAuthorities> read;
    return read;
}

// Every certificate of a PEM text, each in DER; what is not a certificate is passed over.
QList<QByteArray> certificatesOfPem(const QByteArray& pem) {
    QList<QByteArray> certificates;
    BIO* bio = BIO_new_mem_buf(pem.constData(), static_cast<int>(std::min<qsizetype>(pem.size(), INT_MAX)));
    if (!bio) {
        return certificates;
    }
    while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate, &der);
        if (length > 0) {
            certificates.append(QByteArray(reinterpret_cast<const char*>(der), length));
        }
        OPENSSL_free(der);
        X509_free(certificate);
    }
    ERR_clear_error(); // the end of the text reads as an error
    BIO_free(bio);
    return certificates;
}
} // namespace

void SessionConfiguration::setProcessTimeoutCap(std::optional<std::chrono::milliseconds> cap) {
    std::lock_guard lock(processMutex());
    processCap() = cap;
}

std::optional<std::chrono::milliseconds> SessionConfiguration::processTimeoutCap() {
    std::lock_guard lock(processMutex());
    return processCap();
}

SessionConfiguration SessionConfiguration::standard() {
    SessionConfiguration configuration;
    std::lock_guard lock(processMutex());
    configuration.extraCaCertificates = processCertificates();
    return configuration;
}

void SessionConfiguration::setProcessExtraCaCertificates(const QList<QSslCertificate>& certificates) {
    std::lock_guard lock(processMutex());
    processCertificates() = certificates;
}

QList<QByteArray> SessionConfiguration::processExtraAuthorities() {
    QList<QByteArray> certificates = environmentAuthorities();
    std::lock_guard lock(processMutex());
    return certificates + TrustStore::derOf(processCertificates());
}

QList<QByteArray> SessionConfiguration::environmentAuthorities() {
    const QString path = qEnvironmentVariable(extraCaFileVariable);
    if (path.isEmpty()) {
        return {};
    }
    // Each refusal is told once, not once per request.
    const auto refuse = [&path](const QString& why) {
        static QString lastTold;
        std::lock_guard lock(processMutex());
        const QString told = path + QLatin1Char(' ') + why;
        if (told != lastTold) {
            lastTold = told;
            qWarning("%s names %s, which is not read: %s", extraCaFileVariable, qPrintable(path), qPrintable(why));
        }
        return QList<QByteArray>();
    };
    // As the snapshot files are read: opened without waiting (a FIFO's writer may never come),
    // a regular file only (a device reads for ever), of a bounded size.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return refuse(QStringLiteral("not a regular file"));
    }
    if (status.st_size > authorityFileBound) {
        return refuse(QStringLiteral("larger than %1 bytes").arg(authorityFileBound));
    }
    // What was read is kept while the file that is open now is the one it was read from,
    // unchanged: the same file (device and inode) with the same size and modification time.
    const ReadAuthorities version{path,
                                  static_cast<quint64>(status.st_dev),
                                  static_cast<quint64>(status.st_ino),
                                  static_cast<qint64>(status.st_size),
                                  static_cast<qint64>(status.st_mtim.tv_sec),
                                  static_cast<qint64>(status.st_mtim.tv_nsec),
                                  {}};
    {
        std::lock_guard lock(processMutex());
        if (const auto& read = lastRead(); read && read->sameFileAs(version)) {
            return read->certificates;
        }
    }
    // Read to its end, never past the bound, whatever it grew to since.
    QByteArray pem;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return refuse(QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (got == 0) {
            break;
        }
        if (pem.size() + got > authorityFileBound) {
            return refuse(QStringLiteral("larger than %1 bytes").arg(authorityFileBound));
        }
        pem.append(buffer, got);
    }
    const QList<QByteArray> certificates = certificatesOfPem(pem);
    if (certificates.isEmpty()) {
        refuse(QStringLiteral("it holds no PEM certificate"));
    }
    std::lock_guard lock(processMutex());
    lastRead() = version;
    lastRead()->certificates = certificates;
    return certificates;
}

} // namespace velmora
