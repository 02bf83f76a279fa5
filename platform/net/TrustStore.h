#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>

#include <memory>

namespace velmora {

// The authorities a connection trusts, in one store that every connection of that trust shares:
// each authority is parsed once, not once per connection (parsing the system's whole bundle
// costs tens of milliseconds and about a megabyte), and the system's only when a chain needs it.
class TrustStore {
public:
    // The system's authorities and `extra` (each certificate in DER); the same set (in any
    // order) gives the same store.
    static std::shared_ptr<const TrustStore> of(const QList<QByteArray>& extra);
    // The certificates in DER, as `of` takes them.
    static QList<QByteArray> derOf(const QList<QSslCertificate>& certificates);
    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // The TLS library's store (an X509_STORE); connections take a reference of their own.
    void* store() const { return m_store; }
    // Empty for the system's authorities alone; otherwise what tells this set apart, so a
    // connection verified under one trust never carries a request of another.
    const QByteArray& tag() const { return m_tag; }
    // The authorities added to the system's, as `of` took them.
    const QList<QByteArray>& extra() const { return m_extra; }

private:
    TrustStore() = default;
    void* m_store = nullptr;
    QByteArray m_tag;
    QList<QByteArray> m_extra;
};

} // namespace velmora
