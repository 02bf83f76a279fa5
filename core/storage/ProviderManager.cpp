#include "core/storage/ProviderManager.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>

namespace velmora {

namespace {

void logManagerError(const QString& what, const QString& description) {
    logError(Logger::dataManager(), QStringLiteral("[ProviderManager] An error occurred while ") + what +
                                        QStringLiteral(": ") + description);
}

std::atomic<ProviderManager*> installed{nullptr};

} // namespace

ProviderManager::ProviderManager(ProviderStore& store, CredentialsManager& credentials,
                                 SnapshotManager& snapshots)
    : m_store(store), m_credentials(credentials), m_snapshots(snapshots) {}

ProviderManager& ProviderManager::shared() {
    if (ProviderManager* manager = installed.load()) {
        return *manager;
    }
    // Made on the main thread at start-up and kept for the whole run, like the store
    // connection it works on.
    static ProviderManager* own = [] {
        auto* store = new ProviderStore(ProviderStore::defaultPath());
        if (!store->isOpen()) {
            // The details name the file, which is what a user needs to look at.
            logError(Logger::dataManager(),
                     QStringLiteral("Unresolved error ") + store->openError()->description +
                         QStringLiteral(", {path: ") + store->path() + QStringLiteral("}"));
        }
        return new ProviderManager(*store, CredentialsManager::shared(), SnapshotManager::shared());
    }();
    return *own;
}

ProviderManager* ProviderManager::setShared(ProviderManager* manager) {
    return installed.exchange(manager);
}

std::vector<AnyProvider> ProviderManager::fetchProviders(const ProviderStore::Filter& filter) {
    auto providers = tryFetchProviders(filter);
    return providers.ok() ? std::move(providers).value() : std::vector<AnyProvider>{};
}

std::vector<AnyProvider> ProviderManager::fetchOperationalProviders() {
    return fetchProviders(ProviderStore::Filter{rawText(ProviderState::operational)});
}

Result<std::vector<AnyProvider>, ProviderManagerError>
ProviderManager::tryFetchProviders(const ProviderStore::Filter& filter) {
    using R = Result<std::vector<AnyProvider>, ProviderManagerError>;
    auto rows = m_store.fetchProviders(filter);
    if (!rows.ok()) {
        logManagerError(QStringLiteral("fetching providers"), rows.error().description);
        return R::failure({ProviderManagerError::Kind::Database, rows.error().description, std::nullopt});
    }
    return R::success(providersFromEntities(rows.value()));
}

Result<std::vector<AnyProvider>, ProviderManagerError> ProviderManager::tryFetchOperationalProviders() {
    return tryFetchProviders(ProviderStore::Filter{rawText(ProviderState::operational)});
}

std::optional<ProviderEntity> ProviderManager::fetchProviderEntity(const QUuid& id) {
    auto row = m_store.fetchProvider(id);
    if (!row.ok()) {
        logManagerError(QStringLiteral("fetching provider entity"), row.error().description);
        return std::nullopt;
    }
    return row.value();
}

std::optional<AnyProvider> ProviderManager::provider(const QUuid& id) {
    const auto row = fetchProviderEntity(id);
    if (!row) {
        return std::nullopt;
    }
    auto provider = anyProviderFromEntity(*row);
    if (!provider.ok()) {
        logManagerError(QStringLiteral("reading provider %1").arg(uuidText(id)), provider.error());
        return std::nullopt;
    }
    return std::move(provider).value();
}

bool ProviderManager::setState(ProviderState state, const QUuid& id) {
    auto changed = m_store.setState(id, rawText(state));
    if (!changed.ok()) {
        logManagerError(QStringLiteral("setting provider state"), changed.error().description);
        return false;
    }
    return changed.value();
}

bool ProviderManager::setUser(const ProviderUser& user, const QUuid& id) {
    auto changed = m_store.setUser(id, ProviderUserEntity{user.externalId, user.avatar, user.name});
    if (!changed.ok()) {
        logManagerError(QStringLiteral("setting provider user"), changed.error().description);
        return false;
    }
    return changed.value();
}

Result<Void, ProviderManagerError> ProviderManager::deleteProvider(const QUuid& id) {
    using R = Result<Void, ProviderManagerError>;
    const auto row = fetchProviderEntity(id);
    if (!row) {
        return R::failure({ProviderManagerError::Kind::NotFound,
                           QStringLiteral("no stored provider has the id %1").arg(uuidText(id)),
                           std::nullopt});
    }
    // The account value is built before the row goes: the shell gets what was deleted.
    auto deleted = anyProviderFromEntity(*row);

    auto removed = m_store.deleteProvider(id);
    if (!removed.ok()) {
        logManagerError(QStringLiteral("deleting provider"), removed.error().description);
        return R::failure({ProviderManagerError::Kind::Database, removed.error().description, std::nullopt});
    }
    if (!removed.value()) {
        // Deleted meanwhile by another connection: nothing of ours is left to tidy.
        return R::failure({ProviderManagerError::Kind::NotFound,
                           QStringLiteral("no stored provider has the id %1").arg(uuidText(id)),
                           std::nullopt});
    }

    if (deleted.ok()) {
        ShellHooks::instance().providerDeleted(deleted.value());
    }
    const QString key = uuidText(id);
    m_snapshots.remove(SnapshotKind::Timers, key);
    // Credentials of an account that no longer exists are of no use to anyone and
    // must not stay behind in the keyring.
    auto forgotten = m_credentials.remove(key);
    if (!forgotten.ok()) {
        return R::failure(
            {ProviderManagerError::Kind::Keyring,
             QStringLiteral("the provider was deleted but its credentials could not be removed: ") +
                 forgotten.error().description(),
             forgotten.error()});
    }
    return R::success(Void{});
}

Result<ProviderEntity, ProviderManagerError>
ProviderManager::saveEntity(ProviderEntity entity, bool isNew, const std::optional<QByteArray>& credentials,
                            const QString& identifier) {
    using R = Result<ProviderEntity, ProviderManagerError>;
    const QString key = uuidText(entity.id);

    std::optional<ProviderManagerError> failure;
    bool keyringStored = false;
    // The row and the keyring item as one change: when the keyring refuses, the row
    // change is undone too, so the caller may simply try again.
    auto kept = m_store.transaction([&] {
        if (isNew) {
            auto inserted = m_store.insertProvider(entity);
            if (!inserted.ok()) {
                failure = ProviderManagerError{ProviderManagerError::Kind::Database,
                                               inserted.error().description, std::nullopt};
                return false;
            }
        } else {
            auto updated = m_store.updateProvider(entity);
            if (!updated.ok()) {
                failure = ProviderManagerError{ProviderManagerError::Kind::Database,
                                               updated.error().description, std::nullopt};
                return false;
            }
            if (!updated.value()) {
                failure = ProviderManagerError{ProviderManagerError::Kind::NotFound,
                                               QStringLiteral("no stored provider has the id %1").arg(key),
                                               std::nullopt};
                return false;
            }
        }
        if (credentials) {
            auto stored = m_credentials.store(*credentials, key, identifier);
            if (!stored.ok()) {
                failure = ProviderManagerError{ProviderManagerError::Kind::Keyring,
                                               QStringLiteral("the credentials could not be stored: ") +
                                                   stored.error().description(),
                                               stored.error()};
                return false;
            }
            keyringStored = true;
        }
        return true;
    });
    if (!kept.ok() && !failure) {
        failure = ProviderManagerError{ProviderManagerError::Kind::Database, kept.error().description,
                                       std::nullopt};
    }
    if (failure || !kept.value()) {
        if (!failure) {
            failure = ProviderManagerError{ProviderManagerError::Kind::Database,
                                           QStringLiteral("the change was not kept"), std::nullopt};
        }
        if (failure->kind == ProviderManagerError::Kind::Database) {
            logManagerError(QStringLiteral("saving provider"), failure->message);
            // The keyring item of an account that was never stored would be an orphan.
            if (isNew && keyringStored) {
                (void)m_credentials.remove(key);
            }
        } else if (failure->kind == ProviderManagerError::Kind::Keyring) {
            logManagerError(QStringLiteral("saving provider"), failure->message);
        }
        return R::failure(*failure);
    }

    auto row = fetchProviderEntity(entity.id);
    if (!row) {
        return R::failure({ProviderManagerError::Kind::Database,
                           QStringLiteral("the saved provider %1 could not be read back").arg(key),
                           std::nullopt});
    }
    return R::success(std::move(*row));
}

void ProviderManager::followSave(const QUuid& id, bool isNew, bool withCredentials) {
    ShellHooks& shell = ShellHooks::instance();
    const auto current = shell.currentProvider();
    if (isNew) {
        // The first account becomes current (and the default) at once.
        if (!current) {
            shell.switchToProvider(id, true);
        }
        return;
    }
    // New credentials for the account on screen: open it again with them.
    if (withCredentials && current && providerId(*current) == id) {
        shell.switchToProvider(id, false);
    }
}

} // namespace velmora
