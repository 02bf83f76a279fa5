#pragma once

#include "platform/async/Result.h"
#include "platform/store/ProviderEntity.h"
#include "platform/store/StoreError.h"

#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>
#include <vector>

namespace velmora {

// The account store: the accounts and their owners in one SQLite file.
//
// One ProviderStore is one database connection, and a connection belongs to the
// thread that opened it: the app keeps one on the main thread, and a background job
// opens its own on its thread (same file, its own instance) and destroys it there.
// Every change is written in a transaction of its own, or inside `transaction()`; a
// failed change leaves nothing behind. After a change is committed, every store on the same file
// announces `changed()` on its own thread (the store that wrote it at once, the
// others through their event loops).
//
// Statements are fixed texts with bound values; nothing the user typed ever becomes
// part of the SQL.
class ProviderStore : public QObject {
    Q_OBJECT

public:
    // The version of the tables this build writes (kept in PRAGMA user_version).
    static constexpr int schemaVersion = 1;

    // Which rows `fetchProviders` returns.
    struct Filter {
        // Only rows whose state text is exactly this one.
        std::optional<QString> stateValue;
    };

    // Opens the file at `path`, creating it (and its folder) when missing, and brings
    // its tables up to `schemaVersion`. When that fails, `isOpen()` is false and the
    // next operation tries to open it again, failing with `openError()` if it still
    // cannot.
    explicit ProviderStore(const QString& path, QObject* parent = nullptr);
    ~ProviderStore() override;

    ProviderStore(const ProviderStore&) = delete;
    ProviderStore& operator=(const ProviderStore&) = delete;

    // "Velmora.sqlite" in the application's data folder.
    static QString defaultPath();

    QString path() const { return m_path; }
    bool isOpen() const { return !m_openError.has_value(); }
    std::optional<StoreError> openError() const { return m_openError; }

    // All accounts (with their owners) in ascending order of name; rows with equal
    // names keep the order in which they were stored. A row that cannot be read fails
    // the whole fetch; when the file is damaged, every later change fails too.
    Result<std::vector<ProviderEntity>, StoreError> fetchProviders(const Filter& filter = {}) const;

    // The account with this id, or none.
    Result<std::optional<ProviderEntity>, StoreError> fetchProvider(const QUuid& id) const;

    // Adds a new account and, when it has one, its owner. Fails (and stores nothing)
    // when the id is null or already taken.
    Result<Void, StoreError> insertProvider(const ProviderEntity& entity);

    // Writes every field of an existing account; an absent `user` keeps the stored
    // owner, a present one replaces it (or is added). Yields false, changing
    // nothing, when no account has this id.
    Result<bool, StoreError> updateProvider(const ProviderEntity& entity);

    // Changes one account's state text; false when there is no such account.
    Result<bool, StoreError> setState(const QUuid& id, const QString& stateValue);

    // Sets one account's owner (adding the owner row when it has none); false when
    // there is no such account.
    Result<bool, StoreError> setUser(const QUuid& id, const ProviderUserEntity& user);

    // Removes an account together with its owner row; false when there was none.
    Result<bool, StoreError> deleteProvider(const QUuid& id);

    // Runs `body` as one transaction: what it changed through this store is kept when
    // it returns true and undone when it returns false (or when committing fails).
    // Yields whether the changes were kept. Transactions nest.
    Result<bool, StoreError> transaction(const std::function<bool()>& body);

    // The schema version found in the file (after migration: `schemaVersion`).
    int storedSchemaVersion() const;

signals:
    // Something was committed to the file, by this store or another one on it.
    void changed();

private:
    class WriteScope;

    std::optional<StoreError> open();
    // Opens the file again after a failed open; none when the store is open.
    std::optional<StoreError> openIfClosed() const;
    std::optional<StoreError> migrate();
    std::optional<StoreError> beginWrite();
    std::optional<StoreError> endWrite(bool keep);
    Result<bool, StoreError> exists(const QUuid& id) const;
    // The error that ended a walk through rows early, if one did; remembers damage.
    std::optional<StoreError> steppingError(const QSqlQuery& query) const;
    std::optional<StoreError> upsertUser(const QUuid& id, const ProviderUserEntity& user);
    void announceChange();

    QString m_path;
    QString m_connectionName;
    QSqlDatabase m_db;
    std::optional<StoreError> m_openError;
    // Set once a read found the file damaged: from then on nothing is written to it.
    mutable std::optional<StoreError> m_damage;
    int m_writeDepth = 0;
    bool m_changedInTransaction = false;
};

} // namespace velmora
