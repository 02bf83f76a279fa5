#include "trackers/RefreshProviderUsers.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/store/ProviderStore.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeJiraRefreshServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeShellHooks.h"
#include "trackers/ServiceFactory.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

using namespace velmora;
using namespace velmora::test;

namespace {

// Collects log lines of one category prefix from any thread while it exists.
class LogLines {
public:
    LogLines() {
        current() = this;
        m_previous = qInstallMessageHandler(&LogLines::handle);
    }
    ~LogLines() {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }

private:
    static LogLines*& current() {
        static LogLines* instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        LogLines* self = current();
        if (!self || !context.category ||
            QByteArray(context.category) != "app.velmora.Velmora.Background Task") {
            return;
        }
        QMutexLocker lock(&self->m_mutex);
        self->m_lines << (type == QtCriticalMsg ? QStringLiteral("error: ") : QStringLiteral("info: ")) +
                             message;
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

class TrackersTest : public ::testing::Test {
protected:
    TrackersTest()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          manager(store, (CredentialsManager::setSharedKeyring(keyring), CredentialsManager::shared()),
                  snapshots),
          maker(jira) {
        m_previous = ProviderManager::setShared(&manager);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
    }
    ~TrackersTest() override {
        drainEvents();
        ProviderManager::setShared(m_previous);
        qunsetenv("VELMORA_JIRA_API_HOST");
        qunsetenv("VELMORA_SERVER_URL");
    }

    // A saved Jira account on site `site` whose keyring item holds `token`, with a
    // stale owner.
    JiraProvider account(const QString& name, const QString& token,
                         const QString& site = QStringLiteral("cloud-1"),
                         ProviderState state = ProviderState::operational) {
        auto saved = manager.save(
            JiraProvider(std::nullopt, name, JiraProvider::Parameters{site}, state,
                         ProviderUser{QStringLiteral("old"), QStringLiteral("Old name"), QString()}),
            std::optional<JiraProvider::Credentials>(
                JiraProvider::Credentials{token, QStringLiteral("refresh-") + name}));
        EXPECT_TRUE(saved.ok());
        return saved.ok() ? saved.value() : JiraProvider();
    }

    std::optional<ProviderUser> storedUser(const QUuid& id) {
        auto row = manager.fetchProviderEntity(id);
        if (!row || !row->user) {
            return std::nullopt;
        }
        return ProviderUser{row->user->externalId, row->user->name, row->user->avatar};
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    SnapshotManager snapshots;
    ProviderManager manager;
    FakeShellHooks shell;
    FakeJiraServer jira;
    FakeJiraRefreshServer maker;

private:
    ProviderManager* m_previous = nullptr;
};

} // namespace

TEST_F(TrackersTest, TheFactoryMakesAServiceOnTheAccountsSiteWithItsStoredToken) {
    const JiraProvider work =
        account(QStringLiteral("Work"), QStringLiteral("token-1"), QStringLiteral("abc"));
    auto service = ServiceFactory::makeService(AnyProvider(work));
    auto* jiraService = dynamic_cast<JiraService*>(service.get());
    ASSERT_NE(jiraService, nullptr);
    EXPECT_EQ(jiraService->provider(), work);
    EXPECT_EQ(jiraService->request()->baseUrl(), jira.hostAndPort() + QStringLiteral("/ex/jira/abc"));
    EXPECT_FALSE(jiraService->rateLimitedUntil().has_value());
    EXPECT_FALSE(jiraService->serverInfo().has_value());

    std::optional<Result<ProviderUser, APIError>> user;
    auto subscription = service->fetchUser().subscribe([&](auto r) { user = r; });
    ASSERT_TRUE(waitUntil([&] { return user.has_value(); }));
    EXPECT_EQ(jira.http().lastRequest().header("Authorization"), "Bearer token-1");
}

TEST_F(TrackersTest, AnAccountWithoutStoredCredentialsIsMarkedAndStillGetsAService) {
    const JiraProvider work = account(QStringLiteral("Work"), QStringLiteral("token-1"));
    ASSERT_TRUE(keyring->remove(uuidText(*work.id())).ok());

    auto service = ServiceFactory::makeService(work);
    ASSERT_NE(service, nullptr);
    drainEvents();
    EXPECT_EQ(manager.provider(*work.id()).has_value() ? providerState(*manager.provider(*work.id()))
                                                       : ProviderState::operational,
              ProviderState::missingCredentials);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});

    // Its requests carry an empty token; the tracker refuses them, and with nothing
    // to refresh with, the caller hears so without a request to the maker's server.
    std::optional<Result<ProviderUser, APIError>> user;
    auto subscription = service->fetchUser().subscribe([&](auto r) { user = r; });
    ASSERT_TRUE(waitUntil([&] { return user.has_value(); }));
    ASSERT_FALSE(user->ok());
    EXPECT_EQ(user->error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 0);
}

TEST_F(TrackersTest, ARunWithNoAccountsOnlySaysItEnded) {
    LogLines log;
    RefreshProviderUsers job(store.path(),
                             [](const AnyProvider& p) { return ServiceFactory::makeService(p); });
    job.run();
    EXPECT_EQ(log.lines(), QStringList{"info: [RefreshProviderUsers] Provider user refresh ended."});
    EXPECT_EQ(RefreshProviderUsers().key(), u"refresh-provider-users");
    EXPECT_EQ(RefreshProviderUsers().interval(), 600.0);
}

TEST_F(TrackersTest, OneFailingAccountIsLoggedWhileTheOthersAreStoredOnTheJobsOwnThread) {
    jira.addUser({QStringLiteral("acc-b"), QStringLiteral("Bea"), QStringLiteral("https://a.test/b.png")});
    jira.addUser({QStringLiteral("acc-c"), QStringLiteral("Cid"), QStringLiteral("https://a.test/c.png")});
    jira.addToken(QStringLiteral("token-b"), QStringLiteral("acc-b"));
    jira.addToken(QStringLiteral("token-c"), QStringLiteral("acc-c"));
    const JiraProvider a = account(QStringLiteral("A"), QStringLiteral("token-1"));
    const JiraProvider b = account(QStringLiteral("B"), QStringLiteral("token-b"), QStringLiteral("cloud-1"),
                                   ProviderState::missingParameters);
    const JiraProvider c = account(QStringLiteral("C"), QStringLiteral("token-c"));
    jira.interceptOnce(
        [](const FakeRequest& r) { return r.path == "/me" && r.header("Authorization") == "Bearer token-b"; },
        FakeResponse::json("{}", 500));

    LogLines log;
    std::atomic<bool> finished = false;
    QThread* worker = QThread::create([&] {
        RefreshProviderUsers job(store.path(),
                                 [](const AnyProvider& p) { return ServiceFactory::makeService(p); });
        job.run();
        finished = true;
    });
    worker->start();
    // The fake servers answer from this thread's loop.
    ASSERT_TRUE(waitUntil([&] { return finished.load(); }, 20000));
    worker->wait();
    delete worker;

    EXPECT_EQ(storedUser(*a.id()), (ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"),
                                                 QStringLiteral("https://avatars.test/me.png")}));
    EXPECT_EQ(storedUser(*b.id())->name, u"Old name");
    EXPECT_EQ(storedUser(*c.id()), (ProviderUser{QStringLiteral("acc-c"), QStringLiteral("Cid"),
                                                 QStringLiteral("https://a.test/c.png")}));
    EXPECT_EQ(log.lines(),
              (QStringList{"error: [RefreshProviderUsers] An error occurred while refreshing user: unknown.",
                           "info: [RefreshProviderUsers] Provider user refresh ended."}));
    // One after the other, by name.
    QStringList order;
    for (const auto& r : jira.http().requests()) {
        order << QString::fromUtf8(r.header("Authorization"));
    }
    EXPECT_EQ(order, (QStringList{"Bearer token-1", "Bearer token-b", "Bearer token-c"}));
}

TEST_F(TrackersTest, AnExpiredTokenMetByTheJobIsRefreshedAndTheUserStored) {
    const JiraProvider a = account(QStringLiteral("A"), QStringLiteral("token-old"));
    maker.addRefreshToken(QStringLiteral("refresh-A"), QStringLiteral("acc-me"));

    std::atomic<bool> finished = false;
    QThread* worker = QThread::create([&] {
        RefreshProviderUsers(store.path(), [](const AnyProvider& p) {
            return ServiceFactory::makeService(p);
        }).run();
        finished = true;
    });
    worker->start();
    ASSERT_TRUE(waitUntil([&] { return finished.load(); }, 20000));
    worker->wait();
    delete worker;

    EXPECT_EQ(maker.grantedCount(), 1);
    EXPECT_EQ(storedUser(*a.id())->externalId, u"acc-me");
    auto stored = CredentialsManager::shared().load<JiraProvider::Credentials>(uuidText(*a.id()));
    ASSERT_TRUE(stored.ok() && stored.value());
    EXPECT_EQ(stored.value()->token, maker.lastToken());
}
