#include "core/model/AppIdentity.h"
#include "tests/core/storage/LogCapture.h"
#include "tests/core/storage/StorageFixture.h"
#include "tests/support/DamagedStore.h"

#include <QSqlDatabase>
#include <QSqlQuery>

using namespace velmora;
using test::LogCapture;

namespace {

class ProviderManagerTest : public test::StorageFixture {};

QStringList names(const std::vector<AnyProvider>& providers) {
    QStringList out;
    for (const auto& p : providers) {
        out << providerName(p);
    }
    return out;
}

// Runs one statement on the store's file through a connection of its own.
void sql(const QString& path, const QString& statement) {
    const QString name = QStringLiteral("side-") + QUuid::createUuid().toString();
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(statement)) << statement.toStdString();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

TEST_F(ProviderManagerTest, FetchesByNameAndFiltersOperationalAccounts) {
    saved(jira(QStringLiteral("Charlie")));
    saved(asana(QStringLiteral("Alpha"), ProviderState::missingCredentials));
    saved(youTrack(QStringLiteral("Bravo")));

    EXPECT_EQ(names(manager.fetchProviders()),
              (QStringList{QStringLiteral("Alpha"), QStringLiteral("Bravo"), QStringLiteral("Charlie")}));
    EXPECT_EQ(names(manager.fetchOperationalProviders()),
              (QStringList{QStringLiteral("Bravo"), QStringLiteral("Charlie")}));

    LogCapture log;
    EXPECT_FALSE(manager.fetchProviderEntity(QUuid::createUuid()).has_value());
    EXPECT_FALSE(manager.provider(QUuid::createUuid()).has_value());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(ProviderManagerTest, SavingAgainUpdatesTheSameRowAndKeepsTheOwnerWhenNoneIsGiven) {
    const JiraProvider first = saved(jira(QStringLiteral("Work")));
    ASSERT_TRUE(first.id().has_value());
    EXPECT_EQ(first.user(), owner());

    JiraProvider edited = first;
    edited.setName(QStringLiteral("Work (renamed)"));
    edited.setUser(std::nullopt);
    const JiraProvider second = saved(edited);
    EXPECT_EQ(second.id(), first.id());
    EXPECT_EQ(second.name(), QStringLiteral("Work (renamed)"));
    EXPECT_EQ(second.user(), owner());

    edited.setUser(owner(QStringLiteral("Grace")));
    EXPECT_EQ(saved(edited).user(), owner(QStringLiteral("Grace")));

    // A copy that never got an id is another account.
    const JiraProvider copy = saved(jira(QStringLiteral("Work")));
    EXPECT_NE(copy.id(), first.id());
    EXPECT_EQ(manager.fetchProviders().size(), 2u);

    // An id the store does not know saves nothing.
    JiraProvider stranger(QUuid::createUuid(), QStringLiteral("Ghost"), JiraProvider::Parameters{});
    auto missing = manager.save(stranger);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, ProviderManagerError::Kind::NotFound);
    EXPECT_EQ(manager.fetchProviders().size(), 2u);
}

TEST_F(ProviderManagerTest, CredentialsGoToTheKeyringOnlyWhenGiven) {
    const auto account = saved(asana(QStringLiteral("Tasks")),
                               AsanaProvider::Credentials{QStringLiteral("t1"), QStringLiteral("r1")});
    const QString key = uuidText(*account.id());
    EXPECT_EQ(keyring->kindOf(key), QStringLiteral("Asana"));
    EXPECT_EQ(keyring->secretOf(key), QByteArray(R"({"token":"t1","refreshToken":"r1"})"));

    const int stores = keyring->storeCalls();
    saved(account);
    EXPECT_EQ(keyring->storeCalls(), stores);
    EXPECT_EQ(keyring->secretOf(key), QByteArray(R"({"token":"t1","refreshToken":"r1"})"));

    saved(account, AsanaProvider::Credentials{QStringLiteral("t2"), QStringLiteral("r2")});
    EXPECT_EQ(keyring->secretOf(key), QByteArray(R"({"token":"t2","refreshToken":"r2"})"));
    EXPECT_EQ(keyring->itemCount(), 1);
}

TEST_F(ProviderManagerTest, TheShellFollowsSaves) {
    // The first account becomes current, and is forced to be the default.
    const auto first = saved(jira(QStringLiteral("First")),
                             JiraProvider::Credentials{QStringLiteral("a"), QStringLiteral("b")});
    ASSERT_EQ(shell.switches.size(), 1u);
    EXPECT_EQ(shell.switches[0], std::make_pair(*first.id(), true));

    // With a current account, a new one changes nothing on screen.
    shell.current = AnyProvider(first);
    const auto second =
        saved(youTrack(QStringLiteral("Second")), YouTrackProvider::Credentials{QStringLiteral("y")});
    EXPECT_EQ(shell.switches.size(), 1u);

    // Edits: only new credentials for the account on screen open it again.
    saved(second, YouTrackProvider::Credentials{QStringLiteral("y2")});
    saved(first);
    EXPECT_EQ(shell.switches.size(), 1u);
    saved(first, JiraProvider::Credentials{QStringLiteral("c"), QStringLiteral("d")});
    ASSERT_EQ(shell.switches.size(), 2u);
    EXPECT_EQ(shell.switches[1], std::make_pair(*first.id(), false));
}

TEST_F(ProviderManagerTest, AKeyringFailureIsAFailureAndLeavesNoRowBehind) {
    LogCapture log;
    keyring->failWith({KeyringError::Kind::Locked, QStringLiteral("the default keyring is locked")});
    auto failed = manager.save(jira(QStringLiteral("New")),
                               JiraProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ProviderManagerError::Kind::Keyring);
    ASSERT_TRUE(failed.error().keyring.has_value());
    EXPECT_EQ(failed.error().keyring->kind, KeyringError::Kind::Locked);
    EXPECT_TRUE(manager.fetchProviders().empty());
    EXPECT_TRUE(shell.switches.empty());
    EXPECT_TRUE(log.contains(QStringLiteral("[CredentialsManager] Error while storing")));

    // An edit with refused credentials keeps the stored row as it was.
    keyring->clearFailure();
    const auto stored = saved(jira(QStringLiteral("Old name")),
                              JiraProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")});
    keyring->failWith({KeyringError::Kind::TimedOut, QStringLiteral("slow")});
    JiraProvider renamed = stored;
    renamed.setName(QStringLiteral("New name"));
    EXPECT_FALSE(
        manager.save(renamed, JiraProvider::Credentials{QStringLiteral("u"), QStringLiteral("v")}).ok());
    EXPECT_EQ(manager.provider(*stored.id()).has_value() ? providerName(*manager.provider(*stored.id()))
                                                         : QString(),
              QStringLiteral("Old name"));

    // Once the keyring works again, the retry stores exactly one account.
    keyring->clearFailure();
    EXPECT_TRUE(manager
                    .save(jira(QStringLiteral("New")),
                          JiraProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")})
                    .ok());
    EXPECT_EQ(manager.fetchProviders().size(), 2u);
}

TEST_F(ProviderManagerTest, AFailedDatabaseSaveRollsBackSoARetryDoesNotDuplicate) {
    LogCapture log;
    // The owner row is written after the account row: refusing it fails the save half-way.
    sql(store.path(), QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON ProviderUserEntity "
                                     "BEGIN SELECT RAISE(ABORT, 'refused for the test'); END"));
    auto failed = manager.save(jira(QStringLiteral("Half")),
                               JiraProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, ProviderManagerError::Kind::Database);
    EXPECT_TRUE(manager.fetchProviders().empty());
    EXPECT_EQ(keyring->itemCount(), 0);
    EXPECT_TRUE(shell.switches.empty());
    EXPECT_TRUE(log.contains(QStringLiteral("[ProviderManager] An error occurred while saving provider: ")));

    sql(store.path(), QStringLiteral("DROP TRIGGER refuse"));
    EXPECT_TRUE(manager.save(jira(QStringLiteral("Half"))).ok());
    EXPECT_EQ(manager.fetchProviders().size(), 1u);
}

TEST_F(ProviderManagerTest, StateAndUserChangesAreStored) {
    const auto account = saved(youTrack(QStringLiteral("YT")));
    EXPECT_TRUE(manager.setState(ProviderState::missingCredentials, *account.id()));
    EXPECT_TRUE(manager.setUser(owner(QStringLiteral("Linus")), *account.id()));
    const auto read = manager.provider(*account.id());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(providerState(*read), ProviderState::missingCredentials);
    EXPECT_EQ(providerUser(*read), owner(QStringLiteral("Linus")));
    EXPECT_FALSE(manager.setState(ProviderState::operational, QUuid::createUuid()));
    EXPECT_FALSE(manager.setUser(owner(), QUuid::createUuid()));
}

TEST_F(ProviderManagerTest, DeletingRemovesTheRowTheTimerAndTheCredentials) {
    const auto gone = saved(jira(QStringLiteral("Gone")),
                            JiraProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")});
    const auto stays = saved(asana(QStringLiteral("Stays")),
                             AsanaProvider::Credentials{QStringLiteral("t"), QStringLiteral("r")});
    const QString goneKey = uuidText(*gone.id());
    const QString staysKey = uuidText(*stays.id());
    snapshots.save(SnapshotKind::Timers, goneKey, QVariantMap{{QStringLiteral("previousDuration"), 1.0}});
    snapshots.save(SnapshotKind::Timers, staysKey, QVariantMap{{QStringLiteral("previousDuration"), 2.0}});

    ASSERT_TRUE(manager.deleteProvider(*gone.id()).ok());
    EXPECT_FALSE(manager.provider(*gone.id()).has_value());
    ASSERT_EQ(shell.deleted.size(), 1u);
    EXPECT_EQ(shell.deleted[0], AnyProvider(gone));
    EXPECT_FALSE(snapshots.value(SnapshotKind::Timers, goneKey).has_value());
    EXPECT_TRUE(snapshots.value(SnapshotKind::Timers, staysKey).has_value());
    EXPECT_FALSE(keyring->contains(goneKey));
    EXPECT_TRUE(keyring->contains(staysKey));

    // Unknown ids change nothing and tell no one.
    auto unknown = manager.deleteProvider(QUuid::createUuid());
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().kind, ProviderManagerError::Kind::NotFound);
    EXPECT_EQ(shell.deleted.size(), 1u);

    // A keyring that cannot remove the item is reported, though the account is gone.
    keyring->failWith({KeyringError::Kind::Locked, QStringLiteral("locked")});
    auto partly = manager.deleteProvider(*stays.id());
    ASSERT_FALSE(partly.ok());
    EXPECT_EQ(partly.error().kind, ProviderManagerError::Kind::Keyring);
    EXPECT_TRUE(manager.fetchProviders().empty());
    EXPECT_EQ(shell.deleted.size(), 2u);
}

TEST_F(ProviderManagerTest, ADamagedStoreFailsTheReportingFetchWhileThePlainOneStaysEmpty) {
    const QString path = dir.filePath(QStringLiteral("Damaged.sqlite"));
    ASSERT_TRUE(test::damageAccountStore(path));
    ProviderStore damaged(path);
    ProviderManager onDamaged(damaged, credentials, snapshots);

    const auto all = onDamaged.tryFetchProviders();
    ASSERT_FALSE(all.ok()) << "read " << all.value().size() << " accounts without a word";
    EXPECT_EQ(all.error().kind, ProviderManagerError::Kind::Database);
    const auto operational = onDamaged.tryFetchOperationalProviders();
    ASSERT_FALSE(operational.ok());
    EXPECT_TRUE(onDamaged.fetchProviders().empty()) << "the callers that take no failure keep theirs";

    // The reporting fetch on a sound store is the plain one.
    saved(jira(QStringLiteral("Bravo")));
    saved(jira(QStringLiteral("Alpha"), ProviderState::missingCredentials));
    EXPECT_EQ(names(manager.tryFetchProviders().value()), (QStringList{"Alpha", "Bravo"}));
    EXPECT_EQ(names(manager.tryFetchOperationalProviders().value()), QStringList{"Bravo"});
}
