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

#include <sys/stat.h>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("%s names %s, which cannot be read: %s", extraCaFileVariable, qPrintable(path),
                 qPrintable(file.errorString()));
        return {};
    }
    // Every request asks, on the thread that sends it (the main thread's Save among
    // them), and parsing even one PEM certificate costs milliseconds. What was read is
    // kept while the file that is open now is the one it was read from, unchanged: the
    // same file (device and inode) with the same size and modification time.
    struct stat status {};
    const bool known = ::fstat(file.handle(), &status) == 0;
    const ReadAuthorities version{path,
                                  static_cast<quint64>(status.st_dev),
                                  static_cast<quint64>(status.st_ino),
                                  static_cast<qint64>(status.st_size),
                                  static_cast<qint64>(status.st_mtim.tv_sec),
                                  static_cast<qint64>(status.st_mtim.tv_nsec),
                                  {}};
    if (known) {
        std::lock_guard lock(processMutex());
        if (const auto& read = lastRead(); read && read->sameFileAs(version)) {
            return read->certificates;
        }
    }
    const QList<QByteArray> certificates = certificatesOfPem(file.readAll());
    if (certificates.isEmpty()) {
        qWarning("%s names %s, which holds no PEM certificate", extraCaFileVariable, qPrintable(path));
    }
    if (known) {
        std::lock_guard lock(processMutex());
        lastRead() = version;
        lastRead()->certificates = certificates;
    }
    return certificates;
}

} // namespace velmora
