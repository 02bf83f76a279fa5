#include "EndToEndFixture.h"

#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/model/YouTrackProvider.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeYouTrackServer.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace velmora {
namespace {

using namespace std::chrono_literals;

enum class Tracker { jira, asana, youTrack };
// What goes wrong: a server error, a rate limit, a stopped server, a server too slow.
enum class Outage { serverError, rateLimited, refused, timedOut };

// Every tracker's task list and calendar against its fake server when the server
// fails in each way: the failure is kept (never an empty answer) and Try Again, once
// the server is back, recovers.
class OutageTest : public test::EndToEndFixture,
                   public ::testing::WithParamInterface<std::tuple<Tracker, Outage>> {
protected:
    OutageTest() {
        m_rateLimits = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::providerRateLimited), nullptr,
            [this](const Notification& notification) {
                if (const auto* info = notification.objectAs<RateLimitInfo>()) {
                    announced.push_back(*info);
                }
            });
        switch (tracker()) {
        case Tracker::jira:
            makeJira();
            break;
        case Tracker::asana:
            makeAsana();
            break;
        case Tracker::youTrack:
            makeYouTrack();
            break;
        }
        app = std::make_unique<ApplicationViewModel>(account, state.environment());
        app->start();
        EXPECT_TRUE(
            test::waitUntil([&] { return !app->loadingProjects() && !app->projects().empty(); }, 10000));
        if (!app->projects().empty()) {
            project = app->projects().front();
        }
    }
    ~OutageTest() override {
        m_rateLimits.cancel();
        SessionConfiguration::setProcessTimeoutCap(std::nullopt);
        qunsetenv("VELMORA_JIRA_API_HOST");
        qunsetenv("VELMORA_ASANA_API_HOST");
    }

    static Tracker tracker() { return std::get<0>(GetParam()); }
    static Outage outage() { return std::get<1>(GetParam()); }

    test::FakeHttpsServer& http() {
        if (jira) {
            return jira->http();
        }
        if (asana) {
            return asana->http();
        }
        return youTrack->http();
    }

    void interceptOnce(const QString& pathSuffix, test::FakeResponse response) {
        auto match = [pathSuffix](const test::FakeRequest& request) {
            return request.decodedPath().endsWith(pathSuffix);
        };
        if (jira) {
            jira->interceptOnce(match, std::move(response));
        } else if (asana) {
            asana->interceptOnce(match, std::move(response));
        } else {
            youTrack->interceptOnce(match, std::move(response));
        }
    }

    // The next request whose path ends with `pathSuffix` (any when empty) meets the
    // outage; a stopped server refuses every request until recover().
    void breakNext(const QString& pathSuffix = QString()) {
        switch (outage()) {
        case Outage::serverError:
            interceptOnce(pathSuffix, test::FakeResponse::json(R"({"message":"boom"})", 500));
            break;
        case Outage::rateLimited:
            interceptOnce(pathSuffix,
                          test::FakeResponse::json(R"({"errors":[]})", 429).withHeader("Retry-After", "1"));
            break;
        case Outage::refused:
            http().stop();
            break;
        case Outage::timedOut:
            // A time-out is seen in a fraction of a second, not a minute. The short bound holds
            // only until recover(): the requests around the outage are as slow as a busy machine
            // makes them, and only the one that meets the outage may time out.
            SessionConfiguration::setProcessTimeoutCap(400ms);
            interceptOnce(pathSuffix, test::FakeResponse::json("{}").withDelay(2000));
            break;
        }
    }

    // The server is back; a rate limit has run out.
    void recover() {
        SessionConfiguration::setProcessTimeoutCap(std::nullopt);
        if (outage() == Outage::refused) {
            ASSERT_TRUE(http().start());
        }
        if (outage() == Outage::rateLimited) {
            // The trackers that hold requests back while limited let them go again.
            QThread::msleep(1100);
        }
    }

    // The error says what happened, and a rate limit is announced with the server's wait.
    void expectOutage(const std::optional<APIError>& error) {
        ASSERT_TRUE(error.has_value()) << "a failure is never an empty answer";
        EXPECT_EQ(error->host(), QStringLiteral("127.0.0.1"));
        switch (outage()) {
        case Outage::serverError:
            EXPECT_EQ(error->cause(), APIError::Cause::ServerError);
            EXPECT_EQ(error->httpStatus(), 500);
            break;
        case Outage::rateLimited:
            EXPECT_TRUE(error->is(APIError::Kind::RateLimited));
            test::waitUntil([&] { return !announced.empty(); }, 1000);
            ASSERT_FALSE(announced.empty()) << "the window is told to show the wait";
            EXPECT_EQ(announced.front().delay, 1);
            break;
        case Outage::refused:
            EXPECT_EQ(error->cause(), APIError::Cause::Unreachable);
            break;
        case Outage::timedOut:
            EXPECT_EQ(error->cause(), APIError::Cause::TimedOut);
            break;
        }
    }

    std::unique_ptr<ProjectViewModel> openProject() {
        return std::make_unique<ProjectViewModel>(app->service(), project, providerUser(account),
                                                  state.environment(1ms));
    }

    static bool settled(const ProjectViewModel& model) {
        return !model.loading() && !model.loadingMoreTasks();
    }

    void makeJira() {
        jira = std::make_unique<test::FakeJiraServer>();
        qputenv("VELMORA_JIRA_API_HOST", jira->hostAndPort().toUtf8());
        jira->addProject({QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project")});
        for (int i = 1; i <= taskCount; ++i) {
            jira->addIssue({QString::number(10000 + i), QStringLiteral("PRJ-%1").arg(i),
                            QStringLiteral("10000"), QStringLiteral("Task %1").arg(i)});
        }
        tasksPath = QStringLiteral("/search/jql");
        pageSize = 50;
        auto saved = manager.save(
            JiraProvider(std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{jira->cloudId},
                         ProviderState::operational,
                         ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()}),
            std::optional<JiraProvider::Credentials>(
                JiraProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        ASSERT_TRUE(saved.ok());
        account = saved.value();
    }

    void makeAsana() {
        asana = std::make_unique<test::FakeAsanaServer>();
        qputenv("VELMORA_ASANA_API_HOST", asana->hostAndPort().toUtf8());
        test::FakeAsanaServer::Project asanaProject;
        asanaProject.gid = QStringLiteral("p1");
        asanaProject.name = QStringLiteral("Project");
        asana->addProject(asanaProject);
        for (int i = 1; i <= taskCount; ++i) {
            test::FakeAsanaServer::Task task;
            task.gid = QStringLiteral("t%1").arg(i);
            task.name = QStringLiteral("Task %1").arg(i);
            task.projectGid = QStringLiteral("p1");
            task.modifiedAt = QDateTime::fromSecsSinceEpoch(1'700'000'000 - i * 60);
            asana->addTask(task);
        }
        tasksPath = QStringLiteral("/tasks/search");
        pageSize = 50;
        auto saved = manager.save(
            AsanaProvider(std::nullopt, QStringLiteral("Work"),
                          AsanaProvider::Parameters{QStringLiteral("w1")}, ProviderState::operational,
                          ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()}),
            std::optional<AsanaProvider::Credentials>(
                AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")}));
        ASSERT_TRUE(saved.ok());
        account = saved.value();
    }

    void makeYouTrack() {
        youTrack = std::make_unique<test::FakeYouTrackServer>();
        youTrack->addProject(
            {QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application"), true, {}});
        for (int i = 1; i <= taskCount; ++i) {
            youTrack->addIssue({QStringLiteral("2-%1").arg(i), QStringLiteral("APP-%1").arg(i),
                                QStringLiteral("0-1"), QStringLiteral("Task %1").arg(i)});
        }
        tasksPath = QStringLiteral("/api/issues");
        pageSize = 20;
        auto saved = manager.save(
            YouTrackProvider(std::nullopt, QStringLiteral("Work"),
                             YouTrackProvider::Parameters{youTrack->baseUrl()}, ProviderState::operational,
                             ProviderUser{QStringLiteral("jane"), QStringLiteral("Jane Roe"), QString()}),
            YouTrackProvider::Credentials{youTrack->token()});
        ASSERT_TRUE(saved.ok());
        account = saved.value();
    }

    static constexpr int taskCount = 60;
    std::unique_ptr<test::FakeJiraServer> jira;
    std::unique_ptr<test::FakeAsanaServer> asana;
    std::unique_ptr<test::FakeYouTrackServer> youTrack;
    AnyProvider account;
    QString tasksPath;
    std::size_t pageSize = 0;
    std::unique_ptr<ApplicationViewModel> app;
    Project project;
    std::vector<RateLimitInfo> announced;

private:
    Cancellable m_rateLimits;
};

TEST_P(OutageTest, FirstLoadShowsTheFailureAndTryAgainRecovers) {
    breakNext();
    auto model = openProject();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && model->loadError(); }, 10000));
    expectOutage(model->loadError());
    EXPECT_TRUE(model->tasks().empty());
    EXPECT_FALSE(model->hasLoaded()) << "the tracker did not answer with no tasks";

    recover();
    model->retry();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && !model->tasks().empty(); }, 10000));
    EXPECT_FALSE(model->loadError().has_value());
    EXPECT_EQ(model->tasks().size(), pageSize);
}

TEST_P(OutageTest, LaterPageShowsTheFailureAndTryAgainRecovers) {
    auto model = openProject();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && !model->tasks().empty(); }, 10000));
    ASSERT_TRUE(model->hasMoreTasks());

    breakNext(tasksPath);
    model->loadMoreTasks();
    test::drainEvents();
    state.clock->advance(1);
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && model->moreTasksError(); }, 10000));
    expectOutage(model->moreTasksError());
    EXPECT_FALSE(model->loadError().has_value()) << "the first page stands";
    EXPECT_EQ(model->tasks().size(), pageSize) << "the pages loaded stay";

    recover();
    model->retry();
    test::drainEvents();
    state.clock->advance(1);
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && model->tasks().size() > pageSize; }, 10000));
    EXPECT_FALSE(model->moreTasksError().has_value());
}

TEST_P(OutageTest, FailedRefreshKeepsTheListAndTryAgainRecovers) {
    auto model = openProject();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && !model->tasks().empty(); }, 10000));

    breakNext();
    model->refresh(false);
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && model->loadError(); }, 10000));
    expectOutage(model->loadError());
    EXPECT_EQ(model->tasks().size(), pageSize) << "the list stays under the failure";

    recover();
    model->retry();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*model) && !model->loadError(); }, 10000));
    EXPECT_EQ(model->tasks().size(), pageSize);
}

TEST_P(OutageTest, CalendarShowsTheFailureAndTryAgainRecovers) {
    CalendarViewModel calendar(app->service(), state.environment());
    breakNext();
    calendar.setCalendarMode(CalendarMode::sevenDays);
    ASSERT_TRUE(test::waitUntil([&] { return !calendar.isLoading() && calendar.loadError(); }, 10000));
    expectOutage(calendar.loadError());
    for (const auto& day : calendar.visibleDays(CalendarMode::sevenDays)) {
        EXPECT_TRUE(day.unavailable) << "not an empty day";
    }

    recover();
    calendar.loadWorkEntries();
    ASSERT_TRUE(test::waitUntil([&] { return !calendar.loadError(); }, 10000));
    for (const auto& day : calendar.visibleDays(CalendarMode::sevenDays)) {
        EXPECT_FALSE(day.unavailable);
    }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Tracker, Outage>>& info) {
    static const char* trackers[] = {"Jira", "Asana", "YouTrack"};
    static const char* outages[] = {"ServerError", "RateLimited", "Refused", "TimedOut"};
    return std::string(trackers[static_cast<int>(std::get<0>(info.param))]) +
           outages[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Trackers, OutageTest,
                         ::testing::Combine(::testing::Values(Tracker::jira, Tracker::asana,
                                                              Tracker::youTrack),
                                            ::testing::Values(Outage::serverError, Outage::rateLimited,
                                                              Outage::refused, Outage::timedOut)),
                         caseName);

} // namespace
} // namespace velmora
