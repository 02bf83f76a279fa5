#include "platform/net/SessionConfiguration.h"

#include <QFile>
#include <QLoggingCategory>

#include <mutex>

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

QList<QSslCertificate> SessionConfiguration::processExtraCaCertificates() {
    QList<QSslCertificate> certificates = environmentCaCertificates();
    std::lock_guard lock(processMutex());
    certificates += processCertificates();
    return certificates;
}

QList<QSslCertificate> SessionConfiguration::environmentCaCertificates() {
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
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (certificates.isEmpty()) {
        qWarning("%s names %s, which holds no PEM certificate", extraCaFileVariable, qPrintable(path));
    }
    return certificates;
}

} // namespace velmora
