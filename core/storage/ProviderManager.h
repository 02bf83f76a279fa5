#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/AppIdentity.h"
#include "core/model/Coding.h"
#include "core/model/Logger.h"
#include "core/model/ProviderProtocol.h"
#include "core/model/ShellHooks.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManagerError.h"
#include "core/storage/SnapshotManager.h"
#include "platform/async/Result.h"
#include "platform/store/ProviderStore.h"

#include <QString>
#include <QUuid>

#include <optional>
#include <vector>

namespace velmora {

// The one gateway through which the app reads and changes stored accounts: rows become
// account values and back, credentials go to the keyring, and the shell (through
// ShellHooks) follows saves and deletions.
//
// A manager works on one account store connection and is used on that store's thread.
// `shared()` is the main thread's; a background job makes its own on its own store (and
// uses only the fetches and `setState`/`setUser` there: saving and deleting reach the
// shell and are main-thread work).
//
// Failures of the store are logged ("Data Manager") and handed back; a failed change
// is rolled back in full, so a retry never finds half of it.
class ProviderManager {
public:
    ProviderManager(ProviderStore& store, CredentialsManager& credentials, SnapshotManager& snapshots);

    // The main thread's manager on the app's account store, keyring and snapshot file,
    // made on first use.
    static ProviderManager& shared();
    // Puts another manager behind `shared()` (tests); null brings back the app's own.
    // Yields the one installed before (null for the app's own).
    static ProviderManager* setShared(ProviderManager* manager);

    ProviderStore& store() { return m_store; }

    // Every account the filter lets through, in ascending order of name. Rows that
    // cannot be read are left out (and logged); a store failure gives an empty list.
    std::vector<AnyProvider> fetchProviders(const ProviderStore::Filter& filter = {});
    // Only accounts in state `operational`, by name: whom the window manager may open.
    std::vector<AnyProvider> fetchOperationalProviders();
    // As the two above, but a store that cannot be read (a damaged file) fails with
    // `Database` (logged) instead of reading as no accounts: for callers that would
    // otherwise take the user for one who has none.
    Result<std::vector<AnyProvider>, ProviderManagerError>
    tryFetchProviders(const ProviderStore::Filter& filter = {});
    Result<std::vector<AnyProvider>, ProviderManagerError> tryFetchOperationalProviders();

    // The row of the account with this id, or none (also on a store failure, logged).
    std::optional<ProviderEntity> fetchProviderEntity(const QUuid& id);
    // The account with this id, or none.
    std::optional<AnyProvider> provider(const QUuid& id);

    // Stores the account's state; false when there is no such account or the store
    // failed (logged).
    bool setState(ProviderState state, const QUuid& id);
    // Stores `user` as the account's owner; false as above.
    bool setUser(const ProviderUser& user, const QUuid& id);

    // Deletes the account, then tells the shell, removes the account's timer snapshot
    // and its credentials. Fails with `NotFound` or `Database` (nothing changed), or
    // with `Keyring` when the account is gone but its keyring item could not be removed.
    // Main thread only.
    Result<Void, ProviderManagerError> deleteProvider(const QUuid& id);

    // Saves an account (a new one gets its id here) and, when given, its credentials,
    // as one change: when the keyring refuses the credentials the row is not kept
    // either. Yields the account as read back from its row. The shell follows: a new
    // account becomes current when there is none; new credentials for the current
    // account switch to it again. Main thread only.
    template <ProviderProtocol P>
    Result<P, ProviderManagerError>
    save(const P& provider, const std::optional<typename P::Credentials>& credentials = std::nullopt);

private:
    // The row write and keyring store of `save`, kind-independent.
    Result<ProviderEntity, ProviderManagerError> saveEntity(ProviderEntity entity, bool isNew,
                                                            const std::optional<QByteArray>& credentials,
                                                            const QString& identifier);
    void followSave(const QUuid& id, bool isNew, bool withCredentials);

    ProviderStore& m_store;
    CredentialsManager& m_credentials;
    SnapshotManager& m_snapshots;
};

template <ProviderProtocol P>
Result<P, ProviderManagerError>
ProviderManager::save(const P& provider, const std::optional<typename P::Credentials>& credentials) {
    using R = Result<P, ProviderManagerError>;
    const bool isNew = !provider.id().has_value();
    ProviderEntity entity = provider.toEntity();
    entity.id = isNew ? QUuid::createUuid() : *provider.id();

    std::optional<QByteArray> data;
    if (credentials) {
        data = encodeJsonText(*credentials).toUtf8();
    }
    auto saved = saveEntity(std::move(entity), isNew, data, P::Credentials::identifier());
    if (!saved.ok()) {
        return R::failure(saved.error());
    }
    auto readBack = P::fromEntity(saved.value());
    if (!readBack.ok()) {
        // Only a kind that writes rows it cannot read itself gets here.
        const QString message =
            QStringLiteral("[ProviderManager] An error occurred while saving provider: ") + readBack.error();
        logError(Logger::dataManager(), message);
        return R::failure({ProviderManagerError::Kind::Database, message, std::nullopt});
    }
    followSave(saved.value().id, isNew, credentials.has_value());
    return R::success(std::move(readBack).value());
}

} // namespace velmora
