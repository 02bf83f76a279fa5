#pragma once

#include "core/model/JiraProvider.h"
#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "platform/async/Clock.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/store/ProviderStore.h"
#include "tests/support/Await.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeJiraRefreshServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeShellHooks.h"
#include "trackers/jira/JiraService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace velmora::test {

// A fake Jira Cloud and maker's server, a real account store in a temporary folder, an
// in-memory keyring and a recording shell; one saved Jira account ("Work", site
// "cloud-1", user "acc-me") whose keyring item holds token-1 / refresh-1.
class JiraFixture : public ::testing::Test {
protected:
    JiraFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, (CredentialsManager::setSharedKeyring(keyring), CredentialsManager::shared()),
                  snapshots),
          maker(jira) {
        m_previousManager = ProviderManager::setShared(&manager);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
        maker.addRefreshToken(QStringLiteral("refresh-1"), QStringLiteral("acc-me"));

        auto saved = manager.save(
            JiraProvider(std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{jira.cloudId},
                         ProviderState::operational,
                         ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()}),
            std::optional<JiraProvider::Credentials>(
                JiraProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        EXPECT_TRUE(saved.ok());
        account = saved.ok() ? saved.value() : JiraProvider();
        shell.switches.clear();
        shell.defaultSelections.clear();
        shell.menuRebuilds = 0;

        m_noticeToken = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::providerRateLimited), [this](const Notification& n) {
                if (const auto* info = n.objectAs<RateLimitInfo>()) {
                    notices.push_back(*info);
                }
            });
    }
    ~JiraFixture() override {
        drainEvents();
        ProviderManager::setShared(m_previousManager);
        qunsetenv("VELMORA_JIRA_API_HOST");
        qunsetenv("VELMORA_SERVER_URL");
    }

    // The account's service on a client with `token`, its clock under the test's hand.
    std::shared_ptr<JiraService> service(const QString& token = QStringLiteral("token-1")) {
        return JiraService::create(account,
                                   APIRequest::jira(token, QStringLiteral("refresh-1"), jira.cloudId), clock);
    }

    std::optional<JiraProvider::Credentials> storedCredentials() {
        auto loaded = CredentialsManager::shared().load<JiraProvider::Credentials>(uuidText(*account.id()));
        return loaded.ok() ? loaded.value() : std::nullopt;
    }

    ProviderState storedState() {
        auto row = manager.fetchProviderEntity(*account.id());
        auto provider =
            row ? JiraProvider::fromEntity(*row) : Result<JiraProvider, QString>::failure(QString());
        return provider.ok() ? provider.value().state() : ProviderState::missingParameters;
    }

    void addProject() {
        jira.addProject({QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project")});
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;
    FakeJiraServer jira;
    FakeJiraRefreshServer maker;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(QDateTime::currentDateTime());
    JiraProvider account;
    std::vector<RateLimitInfo> notices;

private:
    ProviderManager* m_previousManager = nullptr;
    Cancellable m_noticeToken;
};

} // namespace velmora::test
