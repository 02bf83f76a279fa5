#include "platform/net/SessionConfiguration.h"

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
} // namespace

SessionConfiguration SessionConfiguration::standard() {
    SessionConfiguration configuration;
    configuration.extraCaCertificates = processExtraCaCertificates();
    return configuration;
}

void SessionConfiguration::setProcessExtraCaCertificates(const QList<QSslCertificate>& certificates) {
    std::lock_guard lock(processMutex());
    processCertificates() = certificates;
}

QList<QSslCertificate> SessionConfiguration::processExtraCaCertificates() {
    std::lock_guard lock(processMutex());
    return processCertificates();
}

} // namespace velmora
