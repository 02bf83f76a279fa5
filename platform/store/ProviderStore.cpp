#include "platform/store/ProviderStore.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <utility>

namespace velmora {

namespace {

// Every open store, so a commit on one connection reaches the others on the same file.
struct StoreRegistry {
    QMutex mutex;
    std::vector<ProviderStore*> stores;
};

StoreRegistry& registry() {
    // Never destroyed: stores on other threads may still unregister during exit.
    static auto* instance = new StoreRegistry;
    return *instance;
}

QString idText(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

StoreError errorOf(const QSqlQuery& query) {
    return StoreError{query.lastError().text()};
}

// SQLITE_CORRUPT and SQLITE_NOTADB, also in their extended forms.
bool isDamage(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == 11 || (code & 0xff) == 26);
}

// A NULL column (never written) reads as empty text.
QString textAt(const QSqlQuery& query, int column) {
    const QVariant value = query.value(column);
    return value.isNull() ? QString() : value.toString();
}

std::optional<StoreError> run(QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql)) {
        return errorOf(query);
    }
    return std::nullopt;
}

// The migrations, one per schema version: migration i brings version i to i + 1.
// Each is a list of fixed statements run in one transaction; the last one records
// the new version.
const std::vector<std::vector<const char*>>& migrations() {
    static const std::vector<std::vector<const char*>> steps = {
        {
            "CREATE TABLE IF NOT EXISTS ProviderEntity ("
            " id TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
            " name TEXT,"
            " parametersValue TEXT,"
            " stateValue TEXT,"
            " typeValue TEXT)",
            "CREATE TABLE IF NOT EXISTS ProviderUserEntity ("
            " provider TEXT NOT NULL PRIMARY KEY COLLATE NOCASE"
            "   REFERENCES ProviderEntity(id) ON DELETE CASCADE,"
            " externalId TEXT,"
            " avatar TEXT,"
            " name TEXT)",
            "CREATE INDEX IF NOT EXISTS ProviderEntity_name ON ProviderEntity(name)",
            "PRAGMA user_version = 1",
        },
    };
    return steps;
}

constexpr const char* selectAll = "SELECT p.id, p.name, p.parametersValue, p.stateValue, p.typeValue,"
                                  " u.provider, u.externalId, u.avatar, u.name"
                                  " FROM ProviderEntity p LEFT JOIN ProviderUserEntity u ON u.provider = p.id"
                                  " ORDER BY p.name ASC, p.rowid ASC";
constexpr const char* selectByState =
    "SELECT p.id, p.name, p.parametersValue, p.stateValue, p.typeValue,"
    " u.provider, u.externalId, u.avatar, u.name"
    " FROM ProviderEntity p LEFT JOIN ProviderUserEntity u ON u.provider = p.id"
    " WHERE p.stateValue = :state"
    " ORDER BY p.name ASC, p.rowid ASC";
constexpr const char* selectById =
    "SELECT p.id, p.name, p.parametersValue, p.stateValue, p.typeValue,"
    " u.provider, u.externalId, u.avatar, u.name"
    " FROM ProviderEntity p LEFT JOIN ProviderUserEntity u ON u.provider = p.id"
    " WHERE p.id = :id LIMIT 1";

ProviderEntity entityAt(const QSqlQuery& query) {
    ProviderEntity entity;
    entity.id = QUuid::fromString(textAt(query, 0));
    entity.name = textAt(query, 1);
    entity.parametersValue = textAt(query, 2);
    entity.stateValue = textAt(query, 3);
    entity.typeValue = textAt(query, 4);
    if (!query.value(5).isNull()) {
        entity.user = ProviderUserEntity{textAt(query, 6), textAt(query, 7), textAt(query, 8)};
    }
    return entity;
}

} // namespace

// One change (or a group of them) that is either committed whole or undone whole.
class ProviderStore::WriteScope {
public:
    explicit WriteScope(ProviderStore& store)
        : m_store(store), m_changedBefore(store.m_changedInTransaction), m_error(store.beginWrite()) {}
    ~WriteScope() {
        if (!m_error && !m_ended) {
            rollback();
        }
    }
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;

    const std::optional<StoreError>& error() const { return m_error; }

    std::optional<StoreError> commit() {
        m_ended = true;
        return m_store.endWrite(true);
    }
    // Commits a scope that changed rows, so the change is announced.
    std::optional<StoreError> commitChange() {
        m_store.m_changedInTransaction = true;
        return commit();
    }
    void rollback() {
        m_ended = true;
        // What this scope changed is gone; an enclosing transaction only announces
        // the changes that remain.
        m_store.m_changedInTransaction = m_changedBefore;
        m_store.endWrite(false);
    }

private:
    ProviderStore& m_store;
    bool m_changedBefore;
    std::optional<StoreError> m_error;
    bool m_ended = false;
};

ProviderStore::ProviderStore(const QString& path, QObject* parent)
    : QObject(parent), m_path(QFileInfo(path).absoluteFilePath()) {
    static std::atomic<quint64> counter{0};
    m_connectionName = QStringLiteral("velmora-store-%1").arg(++counter);
    m_openError = open();
    QMutexLocker lock(&registry().mutex);
    registry().stores.push_back(this);
}

ProviderStore::~ProviderStore() {
    {
        QMutexLocker lock(&registry().mutex);
        std::erase(registry().stores, this);
    }
    if (m_db.isValid()) {
        m_db.close();
    }
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString ProviderStore::defaultPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return QDir(folder).filePath(QStringLiteral("Velmora.sqlite"));
}

std::optional<StoreError> ProviderStore::open() {
    const QFileInfo file(m_path);
    if (!QDir().mkpath(file.absolutePath())) {
        return StoreError{QStringLiteral("Cannot create the folder %1").arg(file.absolutePath())};
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    if (!m_db.isValid()) {
        return StoreError{QStringLiteral("The SQLite driver is not available")};
    }
    m_db.setDatabaseName(m_path);
    // A writer on another thread holds the file only briefly; wait for it rather than fail.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!m_db.open()) {
        return StoreError{m_db.lastError().text()};
    }
    if (auto error = run(m_db, QStringLiteral("PRAGMA foreign_keys = ON"))) {
        return error;
    }
    // Readers on one connection and a writer on another do not block each other.
    if (auto error = run(m_db, QStringLiteral("PRAGMA journal_mode = WAL"))) {
        return error;
    }
    return migrate();
}

std::optional<StoreError> ProviderStore::openIfClosed() const {
    if (!m_openError) {
        return std::nullopt;
    }
    // A file that was locked (or missing its folder) at start-up is often fine a
    // moment later; failing for the whole run would hide every account until a restart.
    auto* self = const_cast<ProviderStore*>(this);
    self->m_db.close();
    self->m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
    self->m_openError = self->open();
    return m_openError;
}

int ProviderStore::storedSchemaVersion() const {
    if (!m_db.isOpen()) {
        return -1;
    }
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        return -1;
    }
    return query.value(0).toInt();
}

std::optional<StoreError> ProviderStore::migrate() {
    const int found = storedSchemaVersion();
    if (found < 0) {
        return StoreError{QStringLiteral("Cannot read the schema version of %1").arg(m_path)};
    }
    if (found > schemaVersion) {
        // A newer build wrote this file; changing it could lose what that build keeps.
        return StoreError{
            QStringLiteral("The account store %1 has schema version %2, newer than this build's %3")
                .arg(m_path)
                .arg(found)
                .arg(schemaVersion)};
    }
    const auto& steps = migrations();
    for (int version = found; version < schemaVersion; ++version) {
        if (!m_db.transaction()) {
            return StoreError{m_db.lastError().text()};
        }
        for (const char* statement : steps[static_cast<std::size_t>(version)]) {
            if (auto error = run(m_db, QString::fromLatin1(statement))) {
                m_db.rollback();
                return error;
            }
        }
        if (!m_db.commit()) {
            const StoreError error{m_db.lastError().text()};
            m_db.rollback();
            return error;
        }
    }
    return std::nullopt;
}

std::optional<StoreError> ProviderStore::beginWrite() {
    Q_ASSERT_X(QThread::currentThread() == thread(), "ProviderStore", "used on another thread than its own");
    if (auto error = openIfClosed()) {
        return error;
    }
    if (m_damage) {
        // Writing into a file that reads as damaged could only spread the damage.
        return m_damage;
    }
    // The outermost write takes the write lock at once. A transaction that read first
    // and asks for the lock later fails at once when another connection wrote in the
    // meantime (its snapshot is stale, so waiting would not help): with IMMEDIATE the
    // busy timeout applies and the writer waits its turn instead.
    const QString begin =
        m_writeDepth == 0 ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("SAVEPOINT velmora_write");
    if (auto error = run(m_db, begin)) {
        return error;
    }
    if (m_writeDepth++ == 0) {
        m_changedInTransaction = false;
    }
    return std::nullopt;
}

std::optional<StoreError> ProviderStore::endWrite(bool keep) {
    std::optional<StoreError> error;
    const bool outermost = m_writeDepth == 1;
    if (keep) {
        error = run(m_db, outermost ? QStringLiteral("COMMIT") : QStringLiteral("RELEASE velmora_write"));
    }
    if (!keep || error) {
        if (outermost) {
            run(m_db, QStringLiteral("ROLLBACK"));
        } else {
            run(m_db, QStringLiteral("ROLLBACK TO velmora_write"));
            run(m_db, QStringLiteral("RELEASE velmora_write"));
        }
    }
    const bool kept = keep && !error;
    --m_writeDepth;
    if (m_writeDepth == 0) {
        const bool announce = kept && m_changedInTransaction;
        m_changedInTransaction = false;
        if (announce) {
            announceChange();
        }
    }
    return error;
}

void ProviderStore::announceChange() {
    {
        QMutexLocker lock(&registry().mutex);
        for (ProviderStore* other : registry().stores) {
            if (other != this && other->m_path == m_path) {
                // Posted while the registry holds `other` alive; Qt drops the event if
                // `other` is destroyed before its thread gets to it.
                QMetaObject::invokeMethod(other, &ProviderStore::changed, Qt::QueuedConnection);
            }
        }
    }
    emit changed();
}

Result<std::vector<ProviderEntity>, StoreError> ProviderStore::fetchProviders(const Filter& filter) const {
    Q_ASSERT_X(QThread::currentThread() == thread(), "ProviderStore", "used on another thread than its own");
    if (auto error = openIfClosed()) {
        return *error;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (filter.stateValue) {
        query.prepare(QString::fromLatin1(selectByState));
        query.bindValue(QStringLiteral(":state"), *filter.stateValue);
    } else {
        query.prepare(QString::fromLatin1(selectAll));
    }
    if (!query.exec()) {
        return errorOf(query);
    }
    std::vector<ProviderEntity> rows;
    while (query.next()) {
        rows.push_back(entityAt(query));
    }
    // The loop also ends when a row cannot be read; a shorter list would look like
    // accounts that were deleted.
    if (auto error = steppingError(query)) {
        return *error;
    }
    return rows;
}

Result<std::optional<ProviderEntity>, StoreError> ProviderStore::fetchProvider(const QUuid& id) const {
    Q_ASSERT_X(QThread::currentThread() == thread(), "ProviderStore", "used on another thread than its own");
    if (auto error = openIfClosed()) {
        return *error;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QString::fromLatin1(selectById));
    query.bindValue(QStringLiteral(":id"), idText(id));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (!query.next()) {
        if (auto error = steppingError(query)) {
            return *error;
        }
        return std::optional<ProviderEntity>();
    }
    return std::optional<ProviderEntity>(entityAt(query));
}

Result<bool, StoreError> ProviderStore::exists(const QUuid& id) const {
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT 1 FROM ProviderEntity WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), idText(id));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (query.next()) {
        return true;
    }
    if (auto error = steppingError(query)) {
        return *error;
    }
    return false;
}

std::optional<StoreError> ProviderStore::steppingError(const QSqlQuery& query) const {
    if (!query.lastError().isValid()) {
        return std::nullopt;
    }
    if (isDamage(query.lastError())) {
        m_damage = errorOf(query);
    }
    return errorOf(query);
}

std::optional<StoreError> ProviderStore::upsertUser(const QUuid& id, const ProviderUserEntity& user) {
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO ProviderUserEntity (provider, externalId, avatar, name)"
                                 " VALUES (:provider, :externalId, :avatar, :name)"
                                 " ON CONFLICT(provider) DO UPDATE SET externalId = excluded.externalId,"
                                 " avatar = excluded.avatar, name = excluded.name"));
    query.bindValue(QStringLiteral(":provider"), idText(id));
    // Empty texts are written as empty texts, never as NULL.
    query.bindValue(QStringLiteral(":externalId"), user.externalId.isNull() ? QString("") : user.externalId);
    query.bindValue(QStringLiteral(":avatar"), user.avatar.isNull() ? QString("") : user.avatar);
    query.bindValue(QStringLiteral(":name"), user.name.isNull() ? QString("") : user.name);
    if (!query.exec()) {
        return errorOf(query);
    }
    return std::nullopt;
}

namespace {
QString notNull(const QString& text) {
    return text.isNull() ? QString("") : text;
}
} // namespace

Result<Void, StoreError> ProviderStore::insertProvider(const ProviderEntity& entity) {
    if (entity.id.isNull()) {
        return StoreError{QStringLiteral("An account needs an id to be stored")};
    }
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("INSERT INTO ProviderEntity (id, name, parametersValue, stateValue, typeValue)"
                       " VALUES (:id, :name, :parameters, :state, :type)"));
    query.bindValue(QStringLiteral(":id"), idText(entity.id));
    query.bindValue(QStringLiteral(":name"), notNull(entity.name));
    query.bindValue(QStringLiteral(":parameters"), notNull(entity.parametersValue));
    query.bindValue(QStringLiteral(":state"), notNull(entity.stateValue));
    query.bindValue(QStringLiteral(":type"), notNull(entity.typeValue));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (entity.user) {
        if (auto error = upsertUser(entity.id, *entity.user)) {
            return *error;
        }
    }
    if (auto error = scope.commitChange()) {
        return *error;
    }
    return Void{};
}

Result<bool, StoreError> ProviderStore::updateProvider(const ProviderEntity& entity) {
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE ProviderEntity SET name = :name, parametersValue = :parameters,"
                                 " stateValue = :state, typeValue = :type WHERE id = :id"));
    query.bindValue(QStringLiteral(":name"), notNull(entity.name));
    query.bindValue(QStringLiteral(":parameters"), notNull(entity.parametersValue));
    query.bindValue(QStringLiteral(":state"), notNull(entity.stateValue));
    query.bindValue(QStringLiteral(":type"), notNull(entity.typeValue));
    query.bindValue(QStringLiteral(":id"), idText(entity.id));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (query.numRowsAffected() == 0) {
        scope.rollback();
        return false;
    }
    if (entity.user) {
        if (auto error = upsertUser(entity.id, *entity.user)) {
            return *error;
        }
    }
    if (auto error = scope.commitChange()) {
        return *error;
    }
    return true;
}

Result<bool, StoreError> ProviderStore::setState(const QUuid& id, const QString& stateValue) {
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE ProviderEntity SET stateValue = :state WHERE id = :id"));
    query.bindValue(QStringLiteral(":state"), notNull(stateValue));
    query.bindValue(QStringLiteral(":id"), idText(id));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (query.numRowsAffected() == 0) {
        scope.rollback();
        return false;
    }
    if (auto error = scope.commitChange()) {
        return *error;
    }
    return true;
}

Result<bool, StoreError> ProviderStore::setUser(const QUuid& id, const ProviderUserEntity& user) {
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    auto found = exists(id);
    if (!found.ok()) {
        return found.error();
    }
    if (!found.value()) {
        scope.rollback();
        return false;
    }
    if (auto error = upsertUser(id, user)) {
        return *error;
    }
    if (auto error = scope.commitChange()) {
        return *error;
    }
    return true;
}

Result<bool, StoreError> ProviderStore::deleteProvider(const QUuid& id) {
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    // The owner row goes first, so it never outlives its account even where the
    // file's foreign keys are not enforced.
    QSqlQuery userQuery(m_db);
    userQuery.prepare(QStringLiteral("DELETE FROM ProviderUserEntity WHERE provider = :id"));
    userQuery.bindValue(QStringLiteral(":id"), idText(id));
    if (!userQuery.exec()) {
        return errorOf(userQuery);
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM ProviderEntity WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), idText(id));
    if (!query.exec()) {
        return errorOf(query);
    }
    if (query.numRowsAffected() == 0) {
        scope.rollback();
        return false;
    }
    if (auto error = scope.commitChange()) {
        return *error;
    }
    return true;
}

Result<bool, StoreError> ProviderStore::transaction(const std::function<bool()>& body) {
    WriteScope scope(*this);
    if (scope.error()) {
        return *scope.error();
    }
    if (!body()) {
        scope.rollback();
        return false;
    }
    if (auto error = scope.commit()) {
        return *error;
    }
    return true;
}

} // namespace velmora
