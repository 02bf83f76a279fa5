#pragma once

#include "core/model/YouTrackProvider.h"
#include "core/net/APIRequest.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/store/ProviderStore.h"
#include "tests/support/Await.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeShellHooks.h"
#include "tests/support/FakeYouTrackServer.h"
#include "trackers/youtrack/YouTrackService.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace velmora::test {

// A fake YouTrack with a stored account on it: a real account store in a temporary
// folder (so a refused token can be seen marking the account), an in-memory keyring
// holding the account's token, a recording shell, and the account's service.
class YouTrackFixture : public ::testing::Test {
protected:
    YouTrackFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          credentials(keyring), snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, credentials, snapshots), m_previousManager(ProviderManager::setShared(&manager)) {
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        // The service factory reads credentials through the shared manager.
        CredentialsManager::setSharedKeyring(keyring);
        auto saved = manager.save(YouTrackProvider(std::nullopt, QStringLiteral("Work"),
                                                   YouTrackProvider::Parameters{youTrack.baseUrl()}),
                                  YouTrackProvider::Credentials{youTrack.token()});
        EXPECT_TRUE(saved.ok());
        account = saved.ok() ? saved.value() : YouTrackProvider();
        drainEvents();
        shell.defaultSelections.clear();
        service = makeService(account);
    }
    ~YouTrackFixture() override {
        ProviderManager::setShared(m_previousManager);
        SessionConfiguration::setProcessExtraCaCertificates({});
    }

    std::shared_ptr<YouTrackService> makeService(const YouTrackProvider& provider) const {
        return std::make_shared<YouTrackService>(
            provider, APIRequest::youTrack(youTrack.token(), provider.parameters().baseUrl));
    }

    ProviderState storedState() {
        auto stored = manager.provider(*account.id());
        return stored ? providerState(*stored) : ProviderState::missingParameters;
    }

    static Project project(const QString& id = QStringLiteral("0-1"),
                           const QString& shortName = QStringLiteral("APP")) {
        return Project{id, shortName, QStringLiteral("Application"), {true, true, true, true}, {}};
    }

    FakeYouTrackServer youTrack;
    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    CredentialsManager credentials;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;
    YouTrackProvider account;
    std::shared_ptr<YouTrackService> service;

private:
    ProviderManager* m_previousManager;
};

} // namespace velmora::test
