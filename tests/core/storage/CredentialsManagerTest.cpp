#include "core/storage/CredentialsManager.h"
#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/YouTrackProvider.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "tests/core/storage/LogCapture.h"

#include <gtest/gtest.h>

using namespace velmora;
using test::LogCapture;

TEST(CredentialsManagerTest, StoresJsonUnderTheKindAndTellsAbsentFromFailing) {
    LogCapture log;
    auto keyring = std::make_shared<InMemoryKeyring>();
    CredentialsManager manager(keyring);
    const QString key = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");

    auto absent = manager.load<JiraProvider::Credentials>(key);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(absent.value().has_value());
    EXPECT_TRUE(log.contains(QStringLiteral("[CredentialsManager] Error while loading ") + key));

    ASSERT_TRUE(manager.store(YouTrackProvider::Credentials{QStringLiteral("perm")}, key).ok());
    EXPECT_EQ(keyring->kindOf(key), QStringLiteral("YouTrack"));
    EXPECT_EQ(keyring->secretOf(key), QByteArray(R"({"token":"perm"})"));
    EXPECT_EQ(manager.load<YouTrackProvider::Credentials>(key).value(),
              YouTrackProvider::Credentials{QStringLiteral("perm")});
    // Only "token": no Jira or Asana credentials.
    EXPECT_FALSE(manager.load<JiraProvider::Credentials>(key).value().has_value());
    EXPECT_FALSE(manager.load<AsanaProvider::Credentials>(key).value().has_value());

    keyring->failWith({KeyringError::Kind::Unavailable, QStringLiteral("no Secret Service")});
    auto failing = manager.load<YouTrackProvider::Credentials>(key);
    ASSERT_FALSE(failing.ok());
    EXPECT_EQ(failing.error().kind, KeyringError::Kind::Unavailable);
    EXPECT_FALSE(manager.store(YouTrackProvider::Credentials{QStringLiteral("new")}, key).ok());
    EXPECT_FALSE(manager.remove(key).ok());
    EXPECT_TRUE(log.contains(QStringLiteral("[CredentialsManager] Error while storing ") + key +
                             QStringLiteral(": no Secret Service")));
    EXPECT_TRUE(log.contains(QStringLiteral("[CredentialsManager] Error while removing ") + key));

    keyring->clearFailure();
    EXPECT_EQ(keyring->secretOf(key), QByteArray(R"({"token":"perm"})"));
    EXPECT_TRUE(manager.remove(key).ok());
    // Removing what is not there is no error.
    EXPECT_TRUE(manager.remove(key).ok());
}
