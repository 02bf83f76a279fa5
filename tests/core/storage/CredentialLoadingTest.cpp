#include "core/storage/CredentialLoading.h"
#include "core/model/AppIdentity.h"
#include "tests/core/storage/LogCapture.h"
#include "tests/core/storage/StorageFixture.h"
#include "tests/support/EventLoop.h"

#include <thread>

using namespace velmora;
using test::LogCapture;

namespace {
class CredentialLoadingTest : public test::StorageFixture {};
} // namespace

TEST_F(CredentialLoadingTest, StoredCredentialsAreReturnedAsTheyAre) {
    const auto account = saved(jira(QStringLiteral("J")),
                               JiraProvider::Credentials{QStringLiteral("tok"), QStringLiteral("ref")});
    auto loaded = loadCredentials(account, credentials);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), (JiraProvider::Credentials{QStringLiteral("tok"), QStringLiteral("ref")}));
    EXPECT_EQ(providerState(*manager.provider(*account.id())), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());
}

TEST_F(CredentialLoadingTest, MissingOrUnreadableCredentialsMarkTheAccountAndYieldEmptyOnes) {
    LogCapture log;
    const auto asanaAccount = saved(asana(QStringLiteral("A")));
    auto loaded = loadCredentials(asanaAccount, credentials);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), AsanaProvider::Credentials::empty());
    EXPECT_EQ(providerState(*manager.provider(*asanaAccount.id())), ProviderState::missingCredentials);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});
    EXPECT_TRUE(log.contains(QStringLiteral("[CredentialsManager] Error while loading ") +
                             uuidText(*asanaAccount.id())));

    // JSON without "token" is no YouTrack credentials.
    const auto yt = saved(youTrack(QStringLiteral("Y")));
    ASSERT_TRUE(keyring->store(uuidText(*yt.id()), QStringLiteral("YouTrack"), R"({"access":"x"})").ok());
    auto unreadable = loadCredentials(yt, credentials);
    ASSERT_TRUE(unreadable.ok());
    EXPECT_EQ(unreadable.value().token, QString());
    EXPECT_EQ(providerState(*manager.provider(*yt.id())), ProviderState::missingCredentials);

    // Credentials of another kind do not decode either (a YouTrack item read as Jira).
    const auto j = saved(jira(QStringLiteral("J")));
    ASSERT_TRUE(keyring->store(uuidText(*j.id()), QStringLiteral("YouTrack"), R"({"token":"t"})").ok());
    EXPECT_EQ(loadCredentials(j, credentials).value(), JiraProvider::Credentials::empty());
}

TEST_F(CredentialLoadingTest, AFailingKeyringIsAnErrorAndMarksNothing) {
    const auto account = saved(jira(QStringLiteral("J")),
                               JiraProvider::Credentials{QStringLiteral("tok"), QStringLiteral("ref")});
    keyring->failWith({KeyringError::Kind::Locked, QStringLiteral("locked")});
    auto loaded = loadCredentials(account, credentials);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().kind, KeyringError::Kind::Locked);
    EXPECT_EQ(providerState(*manager.provider(*account.id())), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());
}

TEST_F(CredentialLoadingTest, OffTheMainThreadTheMarkingIsHandedToTheMainThread) {
    const auto account = saved(asana(QStringLiteral("A")));
    std::optional<AsanaProvider::Credentials> got;
    std::thread worker([&] {
        auto loaded = loadCredentials(account, credentials);
        if (loaded.ok()) {
            got = loaded.value();
        }
    });
    worker.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, AsanaProvider::Credentials::empty());
    // Nothing happened on the worker; the main thread does it when it gets to it.
    EXPECT_TRUE(shell.defaultSelections.empty());
    EXPECT_EQ(providerState(*manager.provider(*account.id())), ProviderState::operational);
    ASSERT_TRUE(test::waitUntil([&] { return !shell.defaultSelections.empty(); }));
    EXPECT_EQ(providerState(*manager.provider(*account.id())), ProviderState::missingCredentials);
}
