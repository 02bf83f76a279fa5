#pragma once

#include "platform/keyring/Keyring.h"

#include <QHash>

#include <mutex>

namespace velmora {

// A keyring in memory, only for tests of the keyring's callers: it can be told to fail
// so that the callers' error paths can be exercised.
class InMemoryKeyring : public Keyring {
public:
    Result<std::optional<QByteArray>, KeyringError> load(const QString& account) override;
    Result<Void, KeyringError> store(const QString& account, const QString& kind,
                                     const QByteArray& secret) override;
    Result<bool, KeyringError> remove(const QString& account) override;

    // Every later call fails with `error` until `clearFailure()`.
    void failWith(KeyringError error);
    void clearFailure();

    // Inspection for tests.
    bool contains(const QString& account) const;
    QString kindOf(const QString& account) const;
    QByteArray secretOf(const QString& account) const;
    int itemCount() const;
    int storeCalls() const;
    int removeCalls() const;

private:
    struct Item {
        QString kind;
        QByteArray secret;
    };
    mutable std::mutex m_mutex;
    QHash<QString, Item> m_items;
    std::optional<KeyringError> m_failure;
    int m_storeCalls = 0;
    int m_removeCalls = 0;
};

} // namespace velmora
