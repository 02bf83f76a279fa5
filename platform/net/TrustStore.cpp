#include "platform/net/TrustStore.h"
#include "platform/net/TlsLibrary.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace velmora {

namespace {

// The same authorities in any order give the same key.
QByteArray trustKey(const QList<QByteArray>& authorities) {
    QList<QByteArray> digests;
    digests.reserve(authorities.size());
    for (const auto& der : authorities) {
        digests.append(QCryptographicHash::hash(der, QCryptographicHash::Sha256));
    }
    std::sort(digests.begin(), digests.end());
    digests.erase(std::unique(digests.begin(), digests.end()), digests.end());
    return digests.join();
}

// Where libcurl finds the system's authorities by default: a folder of them by their names'
// hashes, and one bundle of them all.
struct SystemAuthorities {
    QByteArray folder;
    QByteArray bundle;
};

const SystemAuthorities& systemAuthorities() {
    static const SystemAuthorities places = [] {
        TlsLibrary::setUpLibcurl();
        SystemAuthorities found;
        if (CURL* easy = curl_easy_init()) {
            char* path = nullptr;
            if (curl_easy_getinfo(easy, CURLINFO_CAPATH, &path) == CURLE_OK && path) {
                found.folder = path;
            }
            path = nullptr;
            if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &path) == CURLE_OK && path) {
                found.bundle = path;
            }
            curl_easy_cleanup(easy);
        }
        return found;
    }();
    return places;
}

// The system's authorities into `store`: from the folder, each read the first time a chain needs
// it and kept in the store from then on (a few of some 150 are ever needed, and each costs
// memory once parsed); from the bundle, all at once, where there is no folder.
void addSystemAuthorities(X509_STORE* store) {
    const SystemAuthorities& places = systemAuthorities();
    if (!places.folder.isEmpty() && QFileInfo(QFile::decodeName(places.folder)).isDir() &&
        X509_STORE_load_path(store, places.folder.constData()) == 1) {
        return;
    }
    if (places.bundle.isEmpty() || X509_STORE_load_file(store, places.bundle.constData()) != 1) {
        ERR_clear_error();
        qWarning("The system's certificate authorities (%s) cannot be read", places.bundle.constData());
    }
}

void addDer(X509_STORE* store, const QByteArray& der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    if (X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()))) {
        // A certificate the store holds already is no error.
        X509_STORE_add_cert(store, certificate);
        X509_free(certificate);
    }
    ERR_clear_error();
}

} // namespace

TrustStore::~TrustStore() {
    X509_STORE_free(static_cast<X509_STORE*>(m_store));
}

QList<QByteArray> TrustStore::derOf(const QList<QSslCertificate>& certificates) {
    QList<QByteArray> der;
    der.reserve(certificates.size());
    for (const QSslCertificate& certificate : certificates) {
        der.append(certificate.toDer());
    }
    return der;
}

std::shared_ptr<const TrustStore> TrustStore::of(const QList<QByteArray>& extra) {
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
    trust->m_extra = extra;
    addSystemAuthorities(store);
    for (const QByteArray& der : extra) {
        addDer(store, der);
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
