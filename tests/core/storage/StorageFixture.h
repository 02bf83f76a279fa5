#pragma once

#include "core/model/AnyProvider.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/store/ProviderStore.h"
#include "tests/support/FakeShellHooks.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace velmora::test {

// A real account store and snapshot file in a temporary folder, an in-memory keyring,
// a recording shell, and a ProviderManager on them installed as the shared one.
class StorageFixture : public ::testing::Test {
protected:
    StorageFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          credentials(keyring), snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, credentials, snapshots), m_previous(ProviderManager::setShared(&manager)) {}
    ~StorageFixture() override { ProviderManager::setShared(m_previous); }

    static ProviderUser owner(const QString& name = QStringLiteral("Ada")) {
        return ProviderUser{QStringLiteral("ext-") + name, name, QStringLiteral("https://avatars/") + name};
    }
    static JiraProvider jira(const QString& name, ProviderState state = ProviderState::operational) {
        return JiraProvider(std::nullopt, name, JiraProvider::Parameters{QStringLiteral("cloud-") + name},
                            state, owner());
    }
    static AsanaProvider asana(const QString& name, ProviderState state = ProviderState::operational) {
        return AsanaProvider(std::nullopt, name, AsanaProvider::Parameters{QStringLiteral("ws-") + name},
                             state, owner());
    }
    static YouTrackProvider youTrack(const QString& name, ProviderState state = ProviderState::operational) {
        return YouTrackProvider(std::nullopt, name,
                                YouTrackProvider::Parameters{QStringLiteral("https://yt/") + name}, state,
                                owner());
    }

    // Saves and unwraps, failing the test when the save fails.
    template <typename P>
    P saved(const P& provider, const std::optional<typename P::Credentials>& creds = std::nullopt) {
        auto result = manager.save(provider, creds);
        EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message.toStdString());
        return result.ok() ? result.value() : provider;
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    CredentialsManager credentials;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;

private:
    ProviderManager* m_previous;
};

} // namespace velmora::test
