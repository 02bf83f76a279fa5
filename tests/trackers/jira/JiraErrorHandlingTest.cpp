#include "tests/trackers/jira/JiraFixture.h"

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraErrorHandlingTest : public JiraFixture {
protected:
    JiraErrorHandlingTest() { addProject(); }

    const Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};

    // Every request to the site answers this (the token refresh is elsewhere).
    void siteAnswers(FakeResponse response) {
        jira.intercept([response](const FakeRequest& r) -> std::optional<FakeResponse> {
            if (r.path.startsWith("/ex/jira/")) {
                return response;
            }
            return std::nullopt;
        });
    }
};

} // namespace

TEST_F(JiraErrorHandlingTest, AnExpiredTokenIsRefreshedOnceStoredAndTheReadSentAgainWithTheNewOne) {
    jira.revokeToken(QStringLiteral("token-1"));
    auto svc = service();
    auto states = awaitResult(svc->fetchStates(project));
    ASSERT_TRUE(states.ok()) << states.error().description().toStdString();

    ASSERT_EQ(maker.refreshCount(), 1);
    const FakeRequest refresh = maker.http().lastRequest();
    EXPECT_EQ(refresh.method, "POST");
    EXPECT_EQ(refresh.path, "/oauth/app/jira/refresh");
    EXPECT_TRUE(refresh.hasQueryItem(QStringLiteral("appVersion")));
    EXPECT_EQ(QJsonDocument::fromJson(refresh.body).object(), (QJsonObject{{"refreshToken", "refresh-1"}}));
    // The maker's server never sees the tracker's token.
    EXPECT_FALSE(refresh.hasHeader("Authorization"));

    const auto sent = jira.requestsTo(QStringLiteral("/statuses"));
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0].header("Authorization"), "Bearer token-1");
    EXPECT_EQ(sent[1].header("Authorization"), "Bearer token-2");
    EXPECT_EQ(storedCredentials(),
              (JiraProvider::Credentials{QStringLiteral("token-2"), QStringLiteral("refresh-2")}));
    EXPECT_EQ(storedState(), ProviderState::operational);

    // The next expiry refreshes again, with the refresh token stored last time.
    jira.revokeToken(QStringLiteral("token-2"));
    ASSERT_TRUE(awaitResult(svc->fetchUser()).ok());
    EXPECT_EQ(maker.refreshCount(), 2);
    EXPECT_EQ(QJsonDocument::fromJson(maker.http().lastRequest().body).object().value("refreshToken"),
              "refresh-2");
    EXPECT_EQ(storedCredentials()->token, u"token-3");
}

TEST_F(JiraErrorHandlingTest, ConcurrentExpiriesOfOneAccountShareOneRefresh) {
    jira.revokeToken(QStringLiteral("token-1"));
    maker.setLatency(100);
    auto first = service();
    auto second = service(); // another holder of the same account

    std::vector<std::optional<bool>> done(4);
    std::vector<Cancellable> subscriptions;
    subscriptions.push_back(first->fetchStates(project).subscribe([&](auto r) { done[0] = r.ok(); }));
    subscriptions.push_back(first->fetchProjects().subscribe([&](auto r) { done[1] = r.ok(); }));
    subscriptions.push_back(first->fetchUser().subscribe([&](auto r) { done[2] = r.ok(); }));
    subscriptions.push_back(second->fetchAssignees(project).subscribe([&](auto r) { done[3] = r.ok(); }));
    ASSERT_TRUE(waitUntil(
        [&] { return std::all_of(done.begin(), done.end(), [](const auto& d) { return d.has_value(); }); }));
    for (std::size_t i = 0; i < done.size(); ++i) {
        EXPECT_TRUE(*done[i]) << i;
    }
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(storedCredentials()->token, u"token-2");
}

TEST_F(JiraErrorHandlingTest, ARefusedRefreshFailsWithItsOwnErrorMarksTheAccountAndChoosesAgain) {
    jira.revokeToken(QStringLiteral("token-1"));
    maker.failWith(FakeResponse::json(R"({"error":"invalid_grant"})", 403));

    auto states = awaitResult(service()->fetchStates(project));
    ASSERT_FALSE(states.ok());
    EXPECT_EQ(states.error(), APIError::validation()); // the refresh's error, not the first 401
    drainEvents();
    EXPECT_EQ(storedState(), ProviderState::missingCredentials);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});
    EXPECT_EQ(storedCredentials()->token, u"token-1");
}

TEST_F(JiraErrorHandlingTest, ARefusedRefreshMetByNestedReadsIsAskedForOnce) {
    jira.revokeToken(QStringLiteral("token-1"));
    maker.failWith(FakeResponse::json(R"({"error":"invalid_grant"})", 401));
    auto svc = service();

    // The server information, the search page and the range read each have a handler:
    // the refused refresh is not asked for again by the outer ones.
    auto entries = awaitResult(svc->fetchWorkEntries(
        DateInterval{QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime()}));
    ASSERT_FALSE(entries.ok());
    EXPECT_EQ(entries.error(), APIError::unauthorized());
    drainEvents();
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(storedState(), ProviderState::missingCredentials);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});

    // Nor by later reads of the same client.
    auto projects = awaitResult(svc->fetchProjects());
    ASSERT_FALSE(projects.ok());
    EXPECT_EQ(projects.error(), APIError::unauthorized());
    drainEvents();
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true});
}

TEST_F(JiraErrorHandlingTest, StoredCredentialsWithoutARefreshTokenMarkTheAccount) {
    // Nothing to refresh with: the user has to sign in again, so the account is marked
    // as when nothing is stored at all, once.
    for (const bool itemKept : {true, false}) {
        ASSERT_TRUE(manager.setState(ProviderState::operational, *account.id()));
        shell.defaultSelections.clear();
        if (itemKept) {
            ASSERT_TRUE(CredentialsManager::shared()
                            .store(JiraProvider::Credentials{QStringLiteral("token-1"), QString()},
                                   uuidText(*account.id()))
                            .ok());
        } else {
            ASSERT_TRUE(keyring->remove(uuidText(*account.id())).ok());
        }
        jira.revokeToken(QStringLiteral("token-1"));

        auto states = awaitResult(service()->fetchStates(project));
        ASSERT_FALSE(states.ok());
        EXPECT_EQ(states.error(), APIError::unauthorized());
        drainEvents();
        EXPECT_EQ(maker.refreshCount(), 0);
        EXPECT_EQ(storedState(), ProviderState::missingCredentials) << itemKept;
        EXPECT_EQ(shell.defaultSelections, std::vector<bool>{true}) << itemKept;
    }
}

TEST_F(JiraErrorHandlingTest, ARefreshThatFailsOnTheWayMarksNothing) {
    jira.revokeToken(QStringLiteral("token-1"));
    for (const FakeResponse& failure : {FakeResponse::json("{}", 500), FakeResponse::json("{}", 429),
                                        FakeResponse::noAnswer(), FakeResponse::json("not json")}) {
        maker.failWith(failure);
        auto states = awaitResult(service()->fetchStates(project));
        ASSERT_FALSE(states.ok());
        EXPECT_NE(states.error(), APIError::unauthorized());
    }
    drainEvents();
    EXPECT_EQ(storedState(), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());
}

TEST_F(JiraErrorHandlingTest, AKeyringFailureDuringARefreshIsNoRefusalAndALaterReadRefreshes) {
    jira.revokeToken(QStringLiteral("token-1"));
    auto svc = service();
    for (const auto kind :
         {KeyringError::Kind::Locked, KeyringError::Kind::Unavailable, KeyringError::Kind::TimedOut}) {
        keyring->failWith(KeyringError{kind, QStringLiteral("no keyring today")});
        auto states = awaitResult(svc->fetchStates(project));
        ASSERT_FALSE(states.ok());
        EXPECT_EQ(states.error(), APIError::unknown());
    }
    drainEvents();
    EXPECT_EQ(maker.refreshCount(), 0);
    EXPECT_EQ(storedState(), ProviderState::operational);
    EXPECT_TRUE(shell.defaultSelections.empty());

    // Once the keyring answers, the same service refreshes and reads.
    keyring->clearFailure();
    auto states = awaitResult(svc->fetchStates(project));
    ASSERT_TRUE(states.ok()) << states.error().description().toStdString();
    EXPECT_EQ(maker.refreshCount(), 1);
}

TEST_F(JiraErrorHandlingTest, ATokenRefusedAgainAfterTheRefreshIsReportedWithoutLooping) {
    siteAnswers(FakeResponse::json("{}", 401));
    auto svc = service();
    auto states = awaitResult(svc->fetchStates(project));
    ASSERT_FALSE(states.ok());
    EXPECT_EQ(states.error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/statuses")).size(), 2);

    // A range read nests reads with handlers of their own: none of them refreshes a
    // token that was refused fresh.
    auto entries = awaitResult(svc->fetchWorkEntries(
        DateInterval{QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime()}));
    ASSERT_FALSE(entries.ok());
    EXPECT_EQ(entries.error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 1);

    // Nested, on a fresh service: one refresh, and the whole range read is given up.
    auto fresh = service(QStringLiteral("token-2"));
    entries = awaitResult(fresh->fetchWorkEntries(
        DateInterval{QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime()}));
    ASSERT_FALSE(entries.ok());
    EXPECT_EQ(entries.error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 2);
}

TEST_F(JiraErrorHandlingTest, AnAccountBeingSetUpAndADeleteNeverRefresh) {
    siteAnswers(FakeResponse::json("{}", 401));
    auto setup =
        JiraService::create(JiraProvider(), APIRequest::jira("token-1", "refresh-1", QString()), clock);
    auto sites = awaitResult(setup->fetchAccessibleResources());
    ASSERT_TRUE(sites.ok()); // the cloud host itself still knows the token
    jira.revokeToken(QStringLiteral("token-1"));
    sites = awaitResult(setup->fetchAccessibleResources());
    ASSERT_FALSE(sites.ok());
    EXPECT_EQ(sites.error(), APIError::unauthorized());

    WorkEntry entry;
    entry.id = QStringLiteral("20001");
    entry.issue.id = QStringLiteral("10001");
    auto deleted = awaitResult(service()->deleteWorkEntry(entry));
    ASSERT_FALSE(deleted.ok());
    EXPECT_EQ(deleted.error(), APIError::unauthorized());
    EXPECT_EQ(maker.refreshCount(), 0);
}

TEST_F(JiraErrorHandlingTest, ATooManyRequestsAnswerIsRecordedAnnouncedAndBlocksUntilItPasses) {
    auto svc = service();
    jira.interceptOnce("GET", QStringLiteral("/statuses"),
                       FakeResponse::json("{}", 429).withHeader("Retry-After", "30"));
    auto states = awaitResult(svc->fetchStates(project));
    ASSERT_FALSE(states.ok());
    EXPECT_EQ(states.error(), APIError::rateLimited(30));
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addSecs(30));
    drainEvents();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices.front(), (RateLimitInfo{*account.id(), 30}));

    // While it lasts nothing is sent, deletes included, and the refusal announces nothing.
    const int sent = jira.requestCount();
    clock->advance(300);
    auto blocked = awaitResult(svc->fetchProjects());
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error(), APIError::rateLimited(30)) << "29.7 s left, rounded up";
    auto deleted = awaitResult(svc->deleteWorkEntry(WorkEntry{}));
    EXPECT_EQ(deleted.error(), APIError::rateLimited(30));
    drainEvents();
    EXPECT_EQ(jira.requestCount(), sent);
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addMSecs(29700));

    clock->advance(29700);
    EXPECT_TRUE(awaitResult(svc->fetchStates(project)).ok());
    // A new service of the account starts without the limit.
    EXPECT_FALSE(service()->rateLimitedUntil().has_value());
}

TEST_F(JiraErrorHandlingTest, WithoutRetryAfterTheLimitIsAMinuteWhileTheErrorKeepsNoDelay) {
    auto svc = service();
    jira.interceptOnce("GET", QStringLiteral("/me"), FakeResponse::json("{}", 429));
    auto user = awaitResult(svc->fetchUser());
    ASSERT_FALSE(user.ok());
    EXPECT_EQ(user.error(), APIError::rateLimited());
    EXPECT_EQ(svc->rateLimitedUntil(), clock->now().addSecs(60));
    drainEvents();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices.front().delay, 60);

    // An account being set up has no id to announce.
    auto setup =
        JiraService::create(JiraProvider(), APIRequest::jira("token-1", "refresh-1", QString()), clock);
    jira.interceptOnce("GET", QStringLiteral("/oauth/token/accessible-resources"),
                       FakeResponse::json("{}", 429).withHeader("Retry-After", "0"));
    auto sites = awaitResult(setup->fetchAccessibleResources());
    EXPECT_EQ(sites.error(), APIError::rateLimited(0));
    drainEvents();
    EXPECT_EQ(notices.size(), 1u);
    // A wait of nothing blocks nothing.
    EXPECT_TRUE(awaitResult(setup->fetchAccessibleResources()).ok());
}

TEST_F(JiraErrorHandlingTest, NestedReadsAnnounceTwiceAndARangeReadWhileLimitedSendsNothing) {
    auto svc = service();
    jira.interceptOnce("GET", QStringLiteral("/configuration/timetracking"),
                       FakeResponse::json("{}", 429).withHeader("Retry-After", "20"));
    auto projects = awaitResult(svc->fetchProjects());
    ASSERT_FALSE(projects.ok());
    EXPECT_EQ(projects.error(), APIError::rateLimited(20));
    drainEvents();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].delay, 20);
    EXPECT_EQ(notices[1].delay, 20);

    notices.clear();
    const int sent = jira.requestCount();
    clock->advance(5000);
    auto entries = awaitResult(svc->fetchWorkEntries(DateInterval{clock->now().addDays(-1), clock->now()}));
    ASSERT_FALSE(entries.ok());
    EXPECT_EQ(entries.error(), APIError::rateLimited(15));
    drainEvents();
    EXPECT_EQ(jira.requestCount(), sent);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices.front().delay, 15);
}

TEST_F(JiraErrorHandlingTest, ARangeReadRefusedAgainAndAgainNeverMovesTheLimit) {
    auto svc = service();
    jira.interceptOnce("GET", QStringLiteral("/statuses"),
                       FakeResponse::json("{}", 429).withHeader("Retry-After", "3"));
    ASSERT_FALSE(awaitResult(svc->fetchStates(project)).ok());
    const QDateTime end = clock->now().addSecs(3);
    ASSERT_EQ(svc->rateLimitedUntil(), end);
    drainEvents();
    notices.clear();

    // The calendar asks again and again; each range read's handler records the refusal
    // it was given, which neither ends the limit early nor pushes it on.
    const DateInterval day{clock->now().addDays(-1), clock->now()};
    for (const int step : {800, 1000, 900}) {
        clock->advance(step);
        auto entries = awaitResult(svc->fetchWorkEntries(day));
        ASSERT_FALSE(entries.ok());
        EXPECT_TRUE(entries.error().is(APIError::Kind::RateLimited));
        EXPECT_EQ(svc->rateLimitedUntil(), end) << step;
    }
    drainEvents();
    ASSERT_EQ(notices.size(), 3u);
    // 2.2 s, 1.2 s and 0.3 s left: never announced as nothing.
    EXPECT_EQ(notices[0].delay, 3);
    EXPECT_EQ(notices[1].delay, 2);
    EXPECT_EQ(notices[2].delay, 1);

    clock->advance(300);
    EXPECT_TRUE(awaitResult(svc->fetchStates(project)).ok());
}

TEST_F(JiraErrorHandlingTest, TheNoticeNeedsTheServiceStillAlive) {
    auto svc = service();
    svc->registerRateLimit(5);
    svc.reset();
    drainEvents();
    EXPECT_TRUE(notices.empty());
}
