#include "tests/trackers/youtrack/YouTrackFixture.h"
#include "trackers/RefreshProviderUsers.h"
#include "trackers/ServiceFactory.h"

#include <QThread>

#include <atomic>

using namespace velmora;
using namespace velmora::test;

namespace {

class YouTrackFactoryTest : public YouTrackFixture {
protected:
    std::optional<ProviderUser> storedUser() {
        auto row = manager.fetchProviderEntity(*account.id());
        if (!row || !row->user) {
            return std::nullopt;
        }
        return ProviderUser{row->user->externalId, row->user->name, row->user->avatar};
    }

    // One run of the job on a thread of its own, as the scheduler runs it; the fake
    // answers from this thread's loop meanwhile.
    void runRefreshJob() {
        std::atomic<bool> finished = false;
        QThread* worker = QThread::create([&] {
            RefreshProviderUsers job(store.path(),
                                     [](const AnyProvider& p) { return ServiceFactory::makeService(p); });
            job.run();
            finished = true;
        });
        worker->start();
        ASSERT_TRUE(waitUntil([&] { return finished.load(); }, 20000));
        worker->wait();
        delete worker;
        drainEvents(10);
    }
};

} // namespace

TEST_F(YouTrackFactoryTest, TheFactoryMakesAYouTrackServiceWithTheStoredToken) {
    auto made = ServiceFactory::makeService(AnyProvider(account));
    auto* youTrackService = dynamic_cast<YouTrackService*>(made.get());
    ASSERT_NE(youTrackService, nullptr);
    EXPECT_EQ(youTrackService->provider(), account);
    EXPECT_EQ(youTrackService->request()->baseUrl(), youTrack.baseUrl());
    auto user = awaitOutcome(made->fetchUser());
    ASSERT_TRUE(user && user->ok());
    EXPECT_EQ(youTrack.http().lastRequest().header("Authorization"), "Bearer perm-token");
}

TEST_F(YouTrackFactoryTest, TheRefreshJobStoresTheOwnerOrMarksARefusedAccount) {
    runRefreshJob();
    EXPECT_EQ(storedUser(),
              (ProviderUser{QStringLiteral("jane"), QStringLiteral("Jane Roe"),
                            "https://" + youTrack.baseUrl() + "/hub/api/rest/avatar/1-1?dpr=2&size=48"}));
    EXPECT_EQ(storedState(), ProviderState::operational);

    // A token the instance no longer accepts cannot be renewed: the account is marked
    // (on the main thread) and keeps the owner it had.
    youTrack.refuseAll(401);
    runRefreshJob();
    EXPECT_EQ(storedState(), ProviderState::missingCredentials);
    ASSERT_TRUE(storedUser());
    EXPECT_EQ(storedUser()->externalId, u"jane");
}
