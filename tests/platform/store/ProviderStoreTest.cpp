#include "platform/store/ProviderStore.h"
#include "tests/support/EventLoop.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace velmora;

namespace {

ProviderEntity account(const QString& name, std::optional<ProviderUserEntity> user = std::nullopt) {
    ProviderEntity entity;
    entity.id = QUuid::createUuid();
    entity.name = name;
    entity.parametersValue = R"({"organisation":"o"})";
    entity.stateValue = "operational";
    entity.typeValue = "Jira";
    entity.user = std::move(user);
    return entity;
}

std::vector<QString> names(const std::vector<ProviderEntity>& rows) {
    std::vector<QString> result;
    for (const auto& row : rows) {
        result.push_back(row.name);
    }
    return result;
}

// Runs raw SQL on the file through a connection of its own, as another program
// (or a damaged file) would.
int countRows(const QString& path, const QString& sql) {
    int count = -1;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql) && query.next()) {
                count = query.value(0).toInt();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("inspect");
    return count;
}

class ProviderStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("data/Velmora.sqlite");
        store = std::make_unique<ProviderStore>(path);
        ASSERT_TRUE(store->isOpen()) << store->openError()->description.toStdString();
    }

    QTemporaryDir dir;
    QString path;
    std::unique_ptr<ProviderStore> store;
};

} // namespace

TEST_F(ProviderStoreTest, CreatesTheFileWithTheCurrentSchemaAndReopensIt) {
    EXPECT_TRUE(QFile::exists(path)) << "the missing folder is created too";
    EXPECT_EQ(store->storedSchemaVersion(), ProviderStore::schemaVersion);
    ASSERT_TRUE(store->insertProvider(account("A")).ok());
    store.reset();

    ProviderStore reopened(path);
    ASSERT_TRUE(reopened.isOpen());
    EXPECT_EQ(reopened.storedSchemaVersion(), ProviderStore::schemaVersion);
    EXPECT_EQ(reopened.fetchProviders().value().size(), 1u);
}

TEST_F(ProviderStoreTest, RefusesAFileOfANewerSchemaAndLeavesItAlone) {
    store.reset();
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("PRAGMA user_version = 99");
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");

    ProviderStore newer(path);
    EXPECT_FALSE(newer.isOpen());
    EXPECT_FALSE(newer.fetchProviders().ok());
    EXPECT_FALSE(newer.insertProvider(account("A")).ok());
    EXPECT_EQ(countRows(path, "PRAGMA user_version"), 99);
}

TEST_F(ProviderStoreTest, InsertsAndFetchesInNameOrderWithOwners) {
    const auto b = account("Beta", ProviderUserEntity{"ext-b", "https://b.png", "Bea"});
    const auto a = account("Alpha");
    const auto c = account("Charlie", ProviderUserEntity{"ext-c", "", "Cy"});
    for (const auto& row : {b, a, c}) {
        ASSERT_TRUE(store->insertProvider(row).ok());
    }

    const auto rows = store->fetchProviders();
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(names(rows.value()), (std::vector<QString>{"Alpha", "Beta", "Charlie"}));
    EXPECT_EQ(rows.value()[1], b);
    EXPECT_FALSE(rows.value()[0].user.has_value());

    const auto found = store->fetchProvider(c.id);
    ASSERT_TRUE(found.ok());
    ASSERT_TRUE(found.value().has_value());
    EXPECT_EQ(*found.value(), c);
    EXPECT_FALSE(store->fetchProvider(QUuid::createUuid()).value().has_value());
}

TEST_F(ProviderStoreTest, FiltersByStateText) {
    auto broken = account("Broken");
    broken.stateValue = "missingCredentials";
    ASSERT_TRUE(store->insertProvider(broken).ok());
    ASSERT_TRUE(store->insertProvider(account("Fine")).ok());

    const auto operational = store->fetchProviders({QString("operational")});
    EXPECT_EQ(names(operational.value()), std::vector<QString>{"Fine"});
    EXPECT_EQ(store->fetchProviders().value().size(), 2u);
}

TEST_F(ProviderStoreTest, DuplicateOrNullIdsStoreNothing) {
    const auto row = account("A", ProviderUserEntity{"x", "", "X"});
    ASSERT_TRUE(store->insertProvider(row).ok());
    auto duplicate = account("B", ProviderUserEntity{"y", "", "Y"});
    duplicate.id = row.id;
    EXPECT_FALSE(store->insertProvider(duplicate).ok());
    auto noId = account("C");
    noId.id = QUuid();
    EXPECT_FALSE(store->insertProvider(noId).ok());

    EXPECT_EQ(names(store->fetchProviders().value()), std::vector<QString>{"A"});
    EXPECT_EQ(store->fetchProvider(row.id).value()->user, row.user) << "the first owner is untouched";
}

TEST_F(ProviderStoreTest, UpdateKeepsOrReplacesTheOwnerAndMissesUnknownIds) {
    auto row = account("A", ProviderUserEntity{"x", "old.png", "X"});
    ASSERT_TRUE(store->insertProvider(row).ok());

    row.name = "Renamed";
    row.stateValue = "missingCredentials";
    row.user.reset();
    ASSERT_TRUE(store->updateProvider(row).value());
    auto stored = *store->fetchProvider(row.id).value();
    EXPECT_EQ(stored.name, "Renamed");
    EXPECT_EQ(stored.stateValue, "missingCredentials");
    EXPECT_EQ(stored.user, (ProviderUserEntity{"x", "old.png", "X"}))
        << "an absent owner keeps the stored one";

    row.user = ProviderUserEntity{"x", "new.png", "X2"};
    ASSERT_TRUE(store->updateProvider(row).value());
    EXPECT_EQ(store->fetchProvider(row.id).value()->user, row.user);
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderUserEntity"), 1) << "updated in place";

    EXPECT_FALSE(store->updateProvider(account("Ghost")).value());
    EXPECT_EQ(store->fetchProviders().value().size(), 1u);
}

TEST_F(ProviderStoreTest, StateAndOwnerChangesReachOnlyExistingAccounts) {
    const auto row = account("A");
    ASSERT_TRUE(store->insertProvider(row).ok());
    EXPECT_TRUE(store->setState(row.id, "missingCredentials").value());
    EXPECT_EQ(store->fetchProvider(row.id).value()->stateValue, "missingCredentials");

    EXPECT_TRUE(store->setUser(row.id, ProviderUserEntity{"e", "", "N"}).value());
    EXPECT_TRUE(store->setUser(row.id, ProviderUserEntity{"e", "a.png", "N"}).value());
    EXPECT_EQ(store->fetchProvider(row.id).value()->user, (ProviderUserEntity{"e", "a.png", "N"}));

    const QUuid unknown = QUuid::createUuid();
    EXPECT_FALSE(store->setState(unknown, "operational").value());
    EXPECT_FALSE(store->setUser(unknown, ProviderUserEntity{"e", "", "N"}).value());
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderUserEntity"), 1) << "no orphan owner row";
}

TEST_F(ProviderStoreTest, DeleteRemovesTheOwnerRowToo) {
    const auto keep = account("Keep", ProviderUserEntity{"k", "", "K"});
    const auto gone = account("Gone", ProviderUserEntity{"g", "", "G"});
    ASSERT_TRUE(store->insertProvider(keep).ok());
    ASSERT_TRUE(store->insertProvider(gone).ok());

    EXPECT_TRUE(store->deleteProvider(gone.id).value());
    EXPECT_FALSE(store->deleteProvider(gone.id).value());
    EXPECT_EQ(names(store->fetchProviders().value()), std::vector<QString>{"Keep"});
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderUserEntity"), 1);
}

TEST_F(ProviderStoreTest, TextsThatLookLikeSqlAreStoredVerbatim) {
    const QString name = "x'); DROP TABLE ProviderEntity; --";
    auto row = account(name, ProviderUserEntity{"' OR '1'='1", "\"quoted\"", "Ünïcødé 🚀"});
    row.parametersValue = R"({"baseUrl":"a' OR 1=1"})";
    ASSERT_TRUE(store->insertProvider(row).ok());
    const auto stored = store->fetchProvider(row.id);
    ASSERT_TRUE(stored.ok() && stored.value().has_value());
    EXPECT_EQ(*stored.value(), row);

    auto filtered = store->fetchProviders({QString("operational' OR '1'='1")});
    EXPECT_TRUE(filtered.value().empty());
    EXPECT_EQ(store->fetchProviders().value().size(), 1u);
}

TEST_F(ProviderStoreTest, EmptyTextsAreStoredAsEmptyAndNullColumnsReadAsEmpty) {
    ProviderEntity row;
    row.id = QUuid::createUuid();
    row.user = ProviderUserEntity{};
    ASSERT_TRUE(store->insertProvider(row).ok());
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderEntity WHERE name IS NULL"), 0);

    // A row written by something else with missing columns still reads.
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("INSERT INTO ProviderEntity (id) VALUES ('00000000-0000-0000-0000-0000000000AA')");
        QSqlQuery(db).exec(
            "INSERT INTO ProviderUserEntity (provider) VALUES ('00000000-0000-0000-0000-0000000000aa')");
        QSqlQuery(db).exec("INSERT INTO ProviderEntity (id, name) VALUES ('not-a-uuid', 'Broken')");
        db.close();
    }
    QSqlDatabase::removeDatabase("raw");

    const auto rows = store->fetchProviders();
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows.value().size(), 3u);
    const auto raw = store->fetchProvider(QUuid::fromString(QString("00000000-0000-0000-0000-0000000000aa")));
    ASSERT_TRUE(raw.value().has_value());
    EXPECT_TRUE(raw.value()->name.isEmpty());
    ASSERT_TRUE(raw.value()->user.has_value()) << "ids match whatever their letter case";
    EXPECT_TRUE(raw.value()->user->avatar.isEmpty());
    const bool brokenReadWithNullId =
        std::any_of(rows.value().begin(), rows.value().end(),
                    [](const auto& r) { return r.name == "Broken" && r.id.isNull(); });
    EXPECT_TRUE(brokenReadWithNullId);
}

TEST_F(ProviderStoreTest, TransactionsCommitOrRollBackWhole) {
    const auto a = account("A");
    const auto b = account("B");
    int changes = 0;
    QObject::connect(store.get(), &ProviderStore::changed, [&] { ++changes; });

    auto undone = store->transaction([&] {
        EXPECT_TRUE(store->insertProvider(a).ok());
        EXPECT_EQ(changes, 0) << "nothing is announced before the outer commit";
        return false;
    });
    ASSERT_TRUE(undone.ok());
    EXPECT_FALSE(undone.value());
    EXPECT_TRUE(store->fetchProviders().value().empty());
    EXPECT_EQ(changes, 0);

    auto kept = store->transaction([&] {
        EXPECT_TRUE(store->insertProvider(a).ok());
        // A nested group that gives up leaves the outer changes standing.
        auto inner = store->transaction([&] {
            EXPECT_TRUE(store->insertProvider(b).ok());
            return false;
        });
        EXPECT_FALSE(inner.value());
        return true;
    });
    EXPECT_TRUE(kept.value());
    EXPECT_EQ(names(store->fetchProviders().value()), std::vector<QString>{"A"});
    EXPECT_EQ(changes, 1);

    // A failing statement inside a change undoes the part already written.
    auto clash = account("Clash", ProviderUserEntity{"u", "", "U"});
    auto failed = store->transaction([&] {
        EXPECT_TRUE(store->insertProvider(clash).ok());
        auto dup = account("Dup");
        dup.id = a.id;
        return store->insertProvider(dup).ok();
    });
    EXPECT_FALSE(failed.value());
    EXPECT_EQ(names(store->fetchProviders().value()), std::vector<QString>{"A"});
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderUserEntity"), 0);
}

TEST_F(ProviderStoreTest, EveryCommittedChangeIsAnnouncedOnlyWhenSomethingChanged) {
    int changes = 0;
    QObject::connect(store.get(), &ProviderStore::changed, [&] { ++changes; });
    const auto row = account("A");
    ASSERT_TRUE(store->insertProvider(row).ok());
    ASSERT_TRUE(store->setState(row.id, "missingCredentials").ok());
    ASSERT_TRUE(store->deleteProvider(row.id).ok());
    EXPECT_EQ(changes, 3);
    store->setState(row.id, "operational");
    store->deleteProvider(row.id);
    EXPECT_EQ(changes, 3) << "missing rows change nothing";
}

TEST_F(ProviderStoreTest, AWriterOnAnotherThreadIsSeenAndAnnouncedHere) {
    int changes = 0;
    QObject::connect(store.get(), &ProviderStore::changed, [&] { ++changes; });
    const auto row = account("Background", ProviderUserEntity{"b", "", "B"});

    bool written = false;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        // A background job opens its own connection on its own thread.
        ProviderStore own(path);
        written = own.isOpen() && own.insertProvider(row).ok();
    }));
    worker->start();
    ASSERT_TRUE(worker->wait(10000));
    ASSERT_TRUE(written);

    EXPECT_EQ(store->fetchProvider(row.id).value(), row) << "visible here without anything else";
    EXPECT_TRUE(test::waitUntil([&] { return changes == 1; }, 2000));
}

TEST_F(ProviderStoreTest, ADamagedFileFailsTheFetchAndTakesNoFurtherRows) {
    // Enough rows (with bulky parameters) to fill many pages, then garbage into the
    // middle of the file, as a failing disk leaves it.
    ASSERT_TRUE(store
                    ->transaction([&] {
                        for (int i = 0; i < 300; ++i) {
                            auto row = account(QStringLiteral("Account %1").arg(i, 3, 10, QChar('0')));
                            row.parametersValue = QString(1000, QChar('a' + i % 26));
                            if (!store->insertProvider(row).ok()) {
                                return false;
                            }
                        }
                        return true;
                    })
                    .value());
    store.reset();
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const qint64 size = file.size();
        ASSERT_GT(size, 200 * 1024);
        QByteArray garbage(static_cast<qsizetype>(size / 10), '\0');
        quint32 seed = 12345;
        for (auto& byte : garbage) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<char>(seed >> 24);
        }
        ASSERT_TRUE(file.seek(size / 2));
        ASSERT_EQ(file.write(garbage), garbage.size());
    }

    ProviderStore damaged(path);
    ASSERT_TRUE(damaged.isOpen());
    const auto all = damaged.fetchProviders();
    ASSERT_FALSE(all.ok()) << "read " << all.value().size() << " of 300 rows without a word";
    EXPECT_FALSE(all.error().description.isEmpty());
    EXPECT_FALSE(damaged.insertProvider(account("New")).ok());
    EXPECT_EQ(countRows(path, "SELECT COUNT(*) FROM ProviderEntity WHERE name = 'New'"), 0);
}

namespace {

// Holds the whole file, readers included, the way another program's exclusive
// transaction does, until released.
class FileLock {
public:
    explicit FileLock(const QString& path) {
        m_db = QSqlDatabase::addDatabase("QSQLITE", "locker");
        m_db.setDatabaseName(path);
        if (m_db.open()) {
            QSqlQuery query(m_db);
            m_held = query.exec("PRAGMA locking_mode = EXCLUSIVE") && query.exec("BEGIN EXCLUSIVE") &&
                     query.exec("SELECT COUNT(*) FROM ProviderEntity");
        }
    }
    ~FileLock() { release(); }
    bool held() const { return m_held; }
    void release() {
        if (m_db.isValid()) {
            QSqlQuery(m_db).exec("ROLLBACK");
            m_db.close();
            m_db = QSqlDatabase();
            QSqlDatabase::removeDatabase("locker");
        }
    }

private:
    QSqlDatabase m_db;
    bool m_held = false;
};

} // namespace

TEST_F(ProviderStoreTest, AStoreLockedAtStartIsOpenedOnItsNextUse) {
    const auto row = account("Kept");
    ASSERT_TRUE(store->insertProvider(row).ok());
    store.reset();

    FileLock lock(path);
    ASSERT_TRUE(lock.held());
    ProviderStore locked(path);
    EXPECT_FALSE(locked.isOpen());
    EXPECT_FALSE(locked.fetchProviders().ok());
    lock.release();

    const auto rows = locked.fetchProviders();
    ASSERT_TRUE(rows.ok()) << rows.error().description.toStdString();
    EXPECT_EQ(names(rows.value()), std::vector<QString>{"Kept"});
    EXPECT_TRUE(locked.isOpen());
    EXPECT_TRUE(locked.setState(row.id, "missingCredentials").value());
}

TEST_F(ProviderStoreTest, OwnerUpdatesWaitForAWriterOnAnotherThreadInsteadOfFailing) {
    const auto saved = account("Saved");
    const auto owned = account("Owned");
    ASSERT_TRUE(store->insertProvider(saved).ok());
    ASSERT_TRUE(store->insertProvider(owned).ok());
    constexpr int rounds = 300;

    std::atomic<int> saveFailures{0};
    std::atomic<int> ownerFailures{0};
    std::unique_ptr<QThread> saver(QThread::create([&] {
        ProviderStore own(path);
        for (int i = 0; i < rounds; ++i) {
            auto row = saved;
            row.name = QStringLiteral("Saved %1").arg(i);
            if (!own.updateProvider(row).ok()) {
                ++saveFailures;
            }
        }
    }));
    std::unique_ptr<QThread> refresher(QThread::create([&] {
        ProviderStore own(path);
        for (int i = 0; i < rounds; ++i) {
            if (!own.setUser(owned.id, ProviderUserEntity{QString::number(i), "", "Owner"}).ok()) {
                ++ownerFailures;
            }
        }
    }));
    saver->start();
    refresher->start();
    ASSERT_TRUE(saver->wait(60000));
    ASSERT_TRUE(refresher->wait(60000));

    EXPECT_EQ(saveFailures, 0);
    EXPECT_EQ(ownerFailures, 0);
    EXPECT_EQ(store->fetchProvider(owned.id).value()->user->externalId, QString::number(rounds - 1));
}
