#pragma once

#include "core/model/AppIdentity.h"
#include "core/model/AsanaProvider.h"
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
#include "tests/support/FakeAsanaRefreshServer.h"
#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeShellHooks.h"
#include "trackers/asana/AsanaRefreshCoordinator.h"
#include "trackers/asana/AsanaService.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace velmora::test {

// A fake Asana and maker's server, a real account store in a temporary folder, an
// in-memory keyring and a recording shell; one saved Asana account ("Work", workspace
// "w1", user "u1") whose keyring item holds token-1 / refresh-1.
class AsanaFixture : public ::testing::Test {
protected:
    AsanaFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, (CredentialsManager::setSharedKeyring(keyring), CredentialsManager::shared()),
                  snapshots),
          maker(asana) {
        m_previousManager = ProviderManager::setShared(&manager);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_ASANA_API_HOST", asana.hostAndPort().toUtf8());
        qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
        maker.addRefreshToken(QStringLiteral("refresh-1"), QStringLiteral("u1"));

        auto saved = manager.save(
            AsanaProvider(std::nullopt, QStringLiteral("Work"),
                          AsanaProvider::Parameters{QStringLiteral("w1")}, ProviderState::operational,
                          ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()}),
            std::optional<AsanaProvider::Credentials>(
                AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        EXPECT_TRUE(saved.ok());
        account = saved.ok() ? saved.value() : AsanaProvider();
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
    ~AsanaFixture() override {
        drainEvents();
        AsanaRefreshCoordinator::shared().reset();
        ProviderManager::setShared(m_previousManager);
        qunsetenv("VELMORA_ASANA_API_HOST");
        qunsetenv("VELMORA_SERVER_URL");
    }

    // A service of the saved account whose client sends `token`; its clock is the test's.
    std::shared_ptr<AsanaService> service(const QString& token = QStringLiteral("token-1")) {
        return AsanaService::create(account, AsanaProvider::Credentials{token, QStringLiteral("refresh-1")},
                                    clock);
    }

    std::optional<AsanaProvider::Credentials> storedCredentials() {
        auto data = CredentialsManager::shared().loadData(uuidText(*account.id()));
        if (!data.ok() || !data.value()) {
            return std::nullopt;
        }
        auto decoded = decodeJsonText<AsanaProvider::Credentials>(QString::fromUtf8(*data.value()));
        return decoded.ok() ? std::optional(decoded.value()) : std::nullopt;
    }

    ProviderState storedState() {
        auto row = manager.fetchProviderEntity(*account.id());
        auto provider =
            row ? AsanaProvider::fromEntity(*row) : Result<AsanaProvider, QString>::failure(QString());
        return provider.ok() ? provider.value().state() : ProviderState::missingParameters;
    }

    static QString bearer(const FakeRequest& request) {
        return QString::fromUtf8(request.header("Authorization"));
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;
    FakeAsanaServer asana;
    FakeAsanaRefreshServer maker;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(QDateTime::currentDateTime());
    AsanaProvider account;
    std::vector<RateLimitInfo> notices;

private:
    ProviderManager* m_previousManager = nullptr;
    Cancellable m_noticeToken;
};

} // namespace velmora::test
