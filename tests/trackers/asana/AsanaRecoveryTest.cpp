#include "tests/trackers/asana/AsanaFixture.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace velmora;
using namespace velmora::test;

namespace {

class AsanaRecoveryTest : public AsanaFixture {
protected:
    Project project() const {
        Project p;
        p.id = QStringLiteral("p1");
        return p;
    }
    static Issue task(const QString& id) {
        Issue t;
        t.id = id;
        return t;
    }
    void addProjectAndTask() {
        FakeAsanaServer::Project p;
        p.gid = QStringLiteral("p1");
        p.name = QStringLiteral("Project");
        asana.addProject(p);
        FakeAsanaServer::Task t;
        t.gid = QStringLiteral("t1");
        t.name = QStringLiteral("Task");
        t.projectGid = QStringLiteral("p1");
        t.assigneeGid = QStringLiteral("u1");
        t.modifiedAt = QDateTime::currentDateTime();
        asana.addTask(t);
    }
    // Waits until the main thread ran what the service handed to it.
    void settle() { drainEvents(10); }
};

} // namespace

TEST_F(AsanaRecoveryTest, RateLimitIsRecordedAndAnnounced) {
    auto svc = service();
    asana.interceptOnce("GET", QStringLiteral("/workspaces/w1/projects"),
                        FakeResponse::json("{}", 429).withHeader("Retry-After", "5"));
    EXPECT_EQ(awaitResult(svc->fetchProjects()).error(), APIError::rateLimited(5));
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addSecs(5));
    settle();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], (RateLimitInfo{*account.id(), 5}));

    // Without "Retry-After": a minute, and the error keeps saying it named no wait.
    auto other = service();
    asana.interceptOnce("GET", QStringLiteral("/workspaces"), FakeResponse::json("{}", 429));
    EXPECT_EQ(awaitResult(other->fetchWorkspaces()).error(), APIError::rateLimited(std::nullopt));
    EXPECT_EQ(other->rateLimitedUntil(), clock->now().addSecs(60));
    settle();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].delay, 60);
}

TEST_F(AsanaRecoveryTest, GuardRefusesEverythingButTheUserReadWhileLimited) {
    addProjectAndTask();
    auto svc = service();
    svc->setRateLimitedUntil(clock->now().addMSecs(2700));
    // 2.7 s left: 3 whole seconds, rounded up.
    const APIError refused = APIError::rateLimited(3);
    WorkEntry entry;
    entry.id = QStringLiteral("e1");
    EXPECT_EQ(awaitResult(svc->fetchWorkspaces()).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchProjects()).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchStates(project())).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchAssignees(project())).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchTeamUsers(QStringLiteral("team1"))).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchTasks(project(), {}, {}, {}).fetchFirst()).error(), refused);
    EXPECT_EQ(awaitResult(svc->fetchWorkEntries(task(QStringLiteral("t1")), DateInterval{})).error(),
              refused);
    EXPECT_EQ(
        awaitResult(svc->fetchWorkEntries(DateInterval{clock->now().addDays(-1), clock->now()})).error(),
        refused);
    EXPECT_EQ(awaitResult(svc->deleteWorkEntry(entry)).error(), refused);
    EXPECT_EQ(asana.requestCount(), 0);

    // The account's own user is read all the same.
    EXPECT_TRUE(awaitResult(svc->fetchUser()).ok());
    EXPECT_EQ(asana.requestCount(), 1);

    // A refusal is no new limit: nothing announced, the end unchanged.
    settle();
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addMSecs(2700));

    // Once the moment has come, requests go out again.
    clock->advance(2700);
    EXPECT_TRUE(awaitResult(svc->fetchProjects()).ok());
}

TEST_F(AsanaRecoveryTest, ExpiredTokenIsExchangedOnceAndTheReadRunsAgain) {
    addProjectAndTask();
    auto svc = service();
    asana.revokeToken(QStringLiteral("token-1"));

    auto projects = awaitResult(svc->fetchProjects());
    ASSERT_TRUE(projects.ok()) << projects.error().description().toStdString();
    EXPECT_EQ(projects.value().size(), 1u);
    ASSERT_EQ(maker.refreshCount(), 1);
    const FakeRequest refresh = maker.http().lastRequest();
    EXPECT_EQ(refresh.method, QByteArray("POST"));
    EXPECT_EQ(refresh.path, QByteArray("/oauth/app/asana/refresh"));
    EXPECT_TRUE(refresh.hasQueryItem(QStringLiteral("appVersion")));
    EXPECT_EQ(QJsonDocument::fromJson(refresh.body).object(), (QJsonObject{{"refreshToken", "refresh-1"}}));
    EXPECT_EQ(refresh.header("Content-Type"), QByteArray("application/json"));

    const auto reads = asana.requestsTo(QStringLiteral("/workspaces/w1/projects"));
    ASSERT_EQ(reads.size(), 2);
    EXPECT_EQ(bearer(reads[0]), QStringLiteral("Bearer token-1"));
    EXPECT_EQ(bearer(reads[1]), QStringLiteral("Bearer token-2"));
    settle();
    EXPECT_EQ(storedCredentials(),
              (AsanaProvider::Credentials{QStringLiteral("token-2"), QStringLiteral("refresh-2")}));
    EXPECT_EQ(storedState(), ProviderState::operational);

    // Later reads of the service use the new token without asking again.
    ASSERT_TRUE(awaitResult(svc->fetchStates(project())).ok());
    EXPECT_EQ(bearer(asana.http().lastRequest()), QStringLiteral("Bearer token-2"));
    EXPECT_EQ(maker.refreshCount(), 1);

    // Each operation has its own second try: when the new token expires too, the
    // next read exchanges again (and the keyring follows).
    asana.revokeToken(QStringLiteral("token-2"));
    ASSERT_TRUE(awaitResult(svc->fetchWorkEntries(task(QStringLiteral("t1")), DateInterval{})).ok());
    EXPECT_EQ(maker.refreshCount(), 2);
    settle();
    EXPECT_EQ(storedCredentials()->token, QStringLiteral("token-3"));
}

TEST_F(AsanaRecoveryTest, AReadRefusedAfterItsRetryFailsWithoutAnotherExchange) {
    auto svc = service();
    asana.intercept([](const FakeRequest& request) -> std::optional<FakeResponse> {
        if (request.decodedPath().endsWith(QStringLiteral("/users/me"))) {
            return FakeResponse::json("{}", 401);
        }
        return std::nullopt;
    });
    EXPECT_EQ(awaitResult(svc->fetchUser()).error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/users/me")).size(), 2);
    settle();
    // The exchange itself went through: the account is fine, only this read is not.
    EXPECT_EQ(storedState(), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());
}

TEST_F(AsanaRecoveryTest, ARefusedExchangeMarksTheAccount) {
    asana.revokeToken(QStringLiteral("token-1"));
    maker.failWith(FakeResponse::json(R"({"error":"invalid_grant"})", 401));
    EXPECT_EQ(awaitResult(service()->fetchProjects()).error(), APIError::unauthorized());
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/projects")).size(), 1); // not sent again
    ASSERT_TRUE(waitUntil([&] { return storedState() == ProviderState::missingCredentials; }));
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});
}

TEST_F(AsanaRecoveryTest, AnExchangeThatFailsOtherwiseLeavesTheAccountAlone) {
    asana.revokeToken(QStringLiteral("token-1"));
    const std::vector<std::pair<FakeResponse, APIError>> failures{
        {FakeResponse::noAnswer(), APIError::unknown()},
        {FakeResponse::json("{}", 500), APIError::unknown()},
        {FakeResponse::json("{}", 503), APIError::unknown()},
        {FakeResponse::json("{}", 429).withHeader("Retry-After", "30"), APIError::rateLimited(30)},
        {FakeResponse::json(R"({"token":"t"})"), APIError::unknown()}, // no refresh token in the answer
    };
    for (const auto& [response, error] : failures) {
        maker.failWith(response);
        EXPECT_EQ(awaitResult(service()->fetchProjects()).error(), error);
    }
    // A keyring that does not answer is no reason to sign in again either.
    maker.failWith(std::nullopt);
    keyring->failWith(KeyringError{KeyringError::Kind::TimedOut, QStringLiteral("slow")});
    EXPECT_EQ(awaitResult(service()->fetchProjects()).error(), APIError::unknown());
    keyring->clearFailure();
    settle();
    EXPECT_EQ(storedState(), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());
    EXPECT_EQ(storedCredentials()->refreshToken, QStringLiteral("refresh-1"));

    // Nothing lost: the next expiry still exchanges the same refresh token.
    EXPECT_TRUE(awaitResult(service()->fetchProjects()).ok());
    EXPECT_EQ(maker.grantedCount(), 1);
}

TEST_F(AsanaRecoveryTest, ConcurrentExpiriesShareOneExchange) {
    addProjectAndTask();
    asana.revokeToken(QStringLiteral("token-1"));
    maker.setLatency(150);
    auto first = service();
    auto second = service();
    std::vector<std::optional<bool>> outcomes(3);
    std::vector<Cancellable> running;
    running.push_back(first->fetchProjects().subscribe([&](auto r) { outcomes[0] = r.ok(); }));
    running.push_back(first->fetchStates(project()).subscribe([&](auto r) { outcomes[1] = r.ok(); }));
    running.push_back(second->fetchWorkspaces().subscribe([&](auto r) { outcomes[2] = r.ok(); }));
    ASSERT_TRUE(waitUntil([&] { return outcomes[0] && outcomes[1] && outcomes[2]; }));
    EXPECT_TRUE(*outcomes[0] && *outcomes[1] && *outcomes[2]);
    EXPECT_EQ(maker.refreshCount(), 1);

    // A service still holding the old token, meeting its expiry afterwards, takes the
    // pair it was exchanged for instead of spending the (used) refresh token again.
    auto late = service(QStringLiteral("token-1"));
    ASSERT_TRUE(awaitResult(late->fetchUser()).ok());
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(bearer(asana.http().lastRequest()), QStringLiteral("Bearer token-2"));
}

TEST_F(AsanaRecoveryTest, AnExchangeOutlivesTheReadsThatAskedForIt) {
    asana.revokeToken(QStringLiteral("token-1"));
    maker.setLatency(100);
    {
        Cancellable cancelled = service()->fetchProjects().subscribe([](auto) {});
        ASSERT_TRUE(waitUntil([&] { return maker.refreshCount() == 1; }));
    }
    // The rotated pair still reaches the keyring.
    ASSERT_TRUE(waitUntil([&] { return storedCredentials()->token == QStringLiteral("token-2"); }));
}

TEST_F(AsanaRecoveryTest, PaymentRequiredMarksTheAccount) {
    asana.setPremium(QStringLiteral("w1"), false);
    EXPECT_EQ(awaitResult(service()->fetchTasks(project(), {}, {}, {}).fetchFirst()).error(),
              APIError::paymentRequired());
    ASSERT_TRUE(waitUntil([&] { return storedState() == ProviderState::missingCredentials; }));
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});
}

TEST_F(AsanaRecoveryTest, AnAccountBeingSetUpGetsItsErrorsAsTheyAre) {
    auto setup = AsanaService::create(AsanaProvider(),
                                      {QStringLiteral("token-x"), QStringLiteral("refresh-1")}, clock);
    EXPECT_EQ(awaitResult(setup->fetchWorkspaces()).error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 0);

    asana.addToken(QStringLiteral("token-x"), QStringLiteral("u1"));
    asana.interceptOnce("GET", QStringLiteral("/workspaces"), FakeResponse::json("{}", 429));
    EXPECT_EQ(awaitResult(setup->fetchWorkspaces()).error(), APIError::rateLimited(std::nullopt));
    EXPECT_FALSE(setup->rateLimitedUntil().has_value());

    asana.interceptOnce("GET", QStringLiteral("/users/me"), FakeResponse::json("{}", 402));
    EXPECT_EQ(awaitResult(setup->fetchUser()).error(), APIError::paymentRequired());
    settle();
    EXPECT_TRUE(notices.empty());
    EXPECT_TRUE(shell.defaultSelections.empty());
    EXPECT_EQ(storedState(), ProviderState::operational);
}

TEST_F(AsanaRecoveryTest, TheSecondTryPassesTheGuardLikeItsOperation) {
    addProjectAndTask();
    asana.revokeToken(QStringLiteral("token-1"));
    maker.setLatency(150);
    auto svc = service();
    std::optional<Result<std::vector<Project>, APIError>> projects;
    std::optional<Result<ProviderUser, APIError>> user;
    Cancellable projectsRead = svc->fetchProjects().subscribe([&](auto r) { projects = std::move(r); });
    Cancellable userRead = svc->fetchUser().subscribe([&](auto r) { user = std::move(r); });
    // A limit begins while the token is being exchanged.
    ASSERT_TRUE(waitUntil([&] { return maker.refreshCount() == 1; }));
    svc->setRateLimitedUntil(clock->now().addSecs(30));
    ASSERT_TRUE(waitUntil([&] { return projects && user; }));

    // The guarded read is refused without being sent again; the refusal is no new
    // limit, so nothing is announced.
    EXPECT_EQ(projects->error(), APIError::rateLimited(30));
    EXPECT_EQ(asana.requestsTo(QStringLiteral("/workspaces/w1/projects")).size(), 1);
    settle();
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addSecs(30));
    // The user read is never guarded, its second try neither.
    ASSERT_TRUE(user->ok()) << user->error().description().toStdString();
    EXPECT_EQ(bearer(asana.requestsTo(QStringLiteral("/users/me")).last()), QStringLiteral("Bearer token-2"));
    EXPECT_EQ(maker.refreshCount(), 1);
}
