#pragma once

#include "core/model/Coding.h"
#include "core/model/ProviderProtocol.h"
#include "platform/async/Result.h"
#include "platform/keyring/Keyring.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace velmora {

// Keeps each account's credentials in the keyring: one item per account, keyed by the
// account's id text, holding the credentials as JSON. It never sees an account row.
//
// Every keyring failure is logged (category "Keychain") and handed back to the caller:
// a keyring that is locked, absent or slow is not the same as an account without
// credentials, and only the latter may send the user back to sign in.
class CredentialsManager {
public:
    explicit CredentialsManager(std::shared_ptr<Keyring> keyring);

    // The user's keyring (Secret Service, items prefixed with the bundle identifier).
    static CredentialsManager& shared();
    // Tests (and only they) put another keyring behind `shared()`.
    static void setSharedKeyring(std::shared_ptr<Keyring> keyring);

    // The stored JSON; none when the account has no item.
    Result<std::optional<QByteArray>, KeyringError> loadData(const QString& key);

    // The stored credentials of kind C; none when the account has no item or the item
    // does not hold credentials of that kind (not JSON, keys missing).
    template <ProviderCredentials C> Result<std::optional<C>, KeyringError> load(const QString& key) {
        using R = Result<std::optional<C>, KeyringError>;
        auto data = loadData(key);
        if (!data.ok()) {
            return R::failure(data.error());
        }
        if (!data.value()) {
            return R::success(std::nullopt);
        }
        QString text = QString::fromUtf8(*data.value());
        auto decoded = decodeJsonText<C>(text);
        // The credentials live on in what was decoded; these copies are wiped, not left in
        // freed memory.
        text.fill(QChar());
        data.value()->fill('\0');
        if (!decoded.ok()) {
            return R::success(std::nullopt);
        }
        return R::success(std::move(decoded).value());
    }

    // Stores typed credentials under their kind's identifier.
    template <ProviderCredentials C>
    Result<Void, KeyringError> store(const C& credentials, const QString& key) {
        QString text = encodeJsonText(credentials);
        QByteArray data = text.toUtf8();
        text.fill(QChar());
        auto stored = store(data, key, C::identifier());
        data.fill('\0');
        return stored;
    }

    // Creates or overwrites the account's item with `data`; `identifier` ("Jira",
    // "Asana", "YouTrack") names the kind in the item's attributes.
    Result<Void, KeyringError> store(const QByteArray& data, const QString& key, const QString& identifier);

    // Removes the account's item; an account without one is not an error.
    Result<Void, KeyringError> remove(const QString& key);

    Keyring& keyring() { return *m_keyring; }

private:
    std::shared_ptr<Keyring> m_keyring;
};

} // namespace velmora
