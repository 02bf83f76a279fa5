#include "tests/trackers/asana/AsanaFixture.h"
#include "trackers/RefreshProviderUsers.h"
#include "trackers/ServiceFactory.h"

#include <QThread>

#include <atomic>

using namespace velmora;
using namespace velmora::test;

namespace {

class AsanaFactoryTest : public AsanaFixture {
protected:
    std::optional<ProviderUser> storedUser() {
        auto row = manager.fetchProviderEntity(*account.id());
        if (!row || !row->user) {
            return std::nullopt;
        }
        return ProviderUser{row->user->externalId, row->user->name, row->user->avatar};
    }
};

} // namespace

TEST_F(AsanaFactoryTest, TheFactoryMakesAnAsanaServiceWithTheStoredToken) {
    auto service = ServiceFactory::makeService(AnyProvider(account));
    auto* asanaService = dynamic_cast<AsanaService*>(service.get());
    ASSERT_NE(asanaService, nullptr);
    EXPECT_EQ(asanaService->provider(), account);
    EXPECT_EQ(asanaService->request()->baseUrl(), asana.hostAndPort() + QStringLiteral("/api/1.0"));
    EXPECT_FALSE(asanaService->rateLimitedUntil().has_value());
    ASSERT_TRUE(awaitResult(service->fetchUser()).ok());
    EXPECT_EQ(bearer(asana.http().lastRequest()), QStringLiteral("Bearer token-1"));
}

TEST_F(AsanaFactoryTest, AnAccountWithoutStoredCredentialsIsMarkedAndStillGetsAService) {
    ASSERT_TRUE(keyring->remove(uuidText(*account.id())).ok());
    auto service = ServiceFactory::makeService(account);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(waitUntil([&] { return storedState() == ProviderState::missingCredentials; }));

    // With nothing to exchange, the expiry reaches the caller without asking the
    // maker's server.
    EXPECT_EQ(awaitResult(service->fetchUser()).error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 0);
}

TEST_F(AsanaFactoryTest, TheRefreshJobStoresTheUserAndCanRenewTheTokenOnItsThread) {
    asana.revokeToken(QStringLiteral("token-1"));
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
    drainEvents(10);

    EXPECT_EQ(maker.refreshCount(), 1);
    ASSERT_TRUE(storedUser().has_value());
    EXPECT_EQ(storedUser(), (ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"),
                                          QStringLiteral("https://s3.example.test/u1_60x60.png")}));
    EXPECT_EQ(storedCredentials(),
              (AsanaProvider::Credentials{QStringLiteral("token-2"), QStringLiteral("refresh-2")}));
    EXPECT_EQ(storedState(), ProviderState::operational);
}
