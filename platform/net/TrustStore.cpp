#include "platform/net/TrustStore.h"

#include <QCryptographicHash>
#include <QFile>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace velmora {

namespace {

// The same authorities in any order give the same key.
QByteArray trustKey(const QList<QSslCertificate>& authorities) {
    QList<QByteArray> digests;
    digests.reserve(authorities.size());
    for (const auto& certificate : authorities) {
        digests.append(certificate.digest(QCryptographicHash::Sha256));
    }
    std::sort(digests.begin(), digests.end());
    digests.erase(std::unique(digests.begin(), digests.end()), digests.end());
    return digests.join();
}

// The system's authorities as libcurl finds them by default.
QByteArray systemAuthorities() {
    static const QByteArray bundle = [] {
        QByteArray path;
        if (CURL* easy = curl_easy_init()) {
            char* defaultPath = nullptr;
            if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &defaultPath) == CURLE_OK && defaultPath) {
                path = defaultPath;
            }
            curl_easy_cleanup(easy);
        }
        QFile file(QFile::decodeName(path));
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            qWarning("The system's certificate authorities (%s) cannot be read", path.constData());
            return QByteArray();
        }
        return file.readAll() + '\n';
    }();
    return bundle;
}

int addPem(X509_STORE* store, const QByteArray& pem) {
    if (pem.isEmpty()) {
        return 0;
    }
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    int count = 0;
    while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        // A certificate the store holds already is no error.
        if (X509_STORE_add_cert(store, certificate) == 1) {
            ++count;
        }
        X509_free(certificate);
    }
    ERR_clear_error(); // the end of the bundle reads as an error
    BIO_free(bio);
    return count;
}

} // namespace

TrustStore::~TrustStore() {
    X509_STORE_free(static_cast<X509_STORE*>(m_store));
}

std::shared_ptr<const TrustStore> TrustStore::of(const QList<QSslCertificate>& extra) {
    static std::mutex mutex;
    static std::map<QByteArray, std::shared_ptr<const TrustStore>> stores;
    const QByteArray key = trustKey(extra);
    std::lock_guard lock(mutex);
    if (const auto it = stores.find(key); it != stores.end()) {
        return it->second;
    }
    std::shared_ptr<TrustStore> trust(new TrustStore);
    auto* store = X509_STORE_new();
    trust->m_store = store;
    trust->m_count = addPem(store, systemAuthorities());
    for (const QSslCertificate& certificate : extra) {
        trust->m_count += addPem(store, certificate.toPem());
    }
    if (!key.isEmpty()) {
        trust->m_tag = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32);
    }
    if (stores.size() >= 8) {
        stores.clear(); // sets of authorities come from tests and a try-out file: a few at most
    }
    stores.emplace(key, trust);
    return trust;
}

} // namespace velmora
