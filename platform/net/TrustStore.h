#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>

#include <memory>

namespace velmora {

// The authorities a connection trusts, parsed once into one store that every connection of
// that trust shares: parsing the system's bundle costs tens of milliseconds, which a store of
// its own per connection would spend on every new connection.
class TrustStore {
public:
    // The system's authorities and `extra`; the same set (in any order) gives the same store.
    static std::shared_ptr<const TrustStore> of(const QList<QSslCertificate>& extra);
    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // The TLS library's store (an X509_STORE); connections take a reference of their own.
    void* store() const { return m_store; }
    // Empty for the system's authorities alone; otherwise what tells this set apart, so a
    // connection verified under one trust never carries a request of another.
    const QByteArray& tag() const { return m_tag; }
    int authorities() const { return m_count; }

private:
    TrustStore() = default;
    void* m_store = nullptr;
    QByteArray m_tag;
    int m_count = 0;
};

} // namespace velmora
