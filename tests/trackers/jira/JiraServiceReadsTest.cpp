#include "tests/trackers/jira/JiraFixture.h"

#include <QUrlQuery>

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraServiceReadsTest : public JiraFixture {};

QStringList names(const std::vector<Project>& projects) {
    QStringList out;
    for (const auto& p : projects) {
        out << p.name;
    }
    return out;
}

} // namespace

TEST_F(JiraServiceReadsTest, ProjectsComeSortedByCodePointWithTheSiteTimeTrackingSwitch) {
    jira.addProject({QStringLiteral("1"), QStringLiteral("B"), QStringLiteral("b")});
    jira.addProject({QStringLiteral("2"), QStringLiteral("UA"), QStringLiteral("A")});
    jira.addProject({QStringLiteral("3"), QStringLiteral("LA"), QStringLiteral("a")});

    auto projects = awaitResult(service()->fetchProjects());
    ASSERT_TRUE(projects.ok());
    EXPECT_EQ(names(projects.value()), (QStringList{"A", "a", "b"}));
    const Project& first = projects.value().front();
    EXPECT_EQ(first.id, u"2");
    EXPECT_EQ(first.shortName, u"UA");
    EXPECT_TRUE(first.tasks.empty());
    EXPECT_EQ(first.configuration, (Project::Configuration{true, true, true, true}));

    // Another tool tracks the time: only that switch goes off, for every project.
    jira.timeTrackingKey = QStringLiteral("jira");
    projects = awaitResult(service()->fetchProjects());
    ASSERT_TRUE(projects.ok());
    for (const auto& p : projects.value()) {
        EXPECT_EQ(p.configuration, (Project::Configuration{false, true, true, true})) << p.name.toStdString();
    }
}

TEST_F(JiraServiceReadsTest, ListsPageByTheServersOwnPageSizeUntilAShortPage) {
    for (int i = 0; i < 45; ++i) {
        jira.addProject({QString::number(100 + i), QStringLiteral("K%1").arg(i),
                         QStringLiteral("P%1").arg(i, 2, 10, QChar('0'))});
    }
    jira.setMaxResultsCap(20);
    auto projects = awaitResult(service()->fetchProjects());
    ASSERT_TRUE(projects.ok());
    EXPECT_EQ(projects.value().size(), 45u);

    QStringList starts;
    for (const auto& r : jira.requestsTo(QStringLiteral("/rest/api/3/project/search"))) {
        EXPECT_EQ(r.queryValue(QStringLiteral("maxResults")), u"50");
        starts << r.queryValue(QStringLiteral("startAt"));
    }
    EXPECT_EQ(starts, (QStringList{"0", "20", "40"}));
    // The settings are read once, after the last page.
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/configuration/timetracking")).size(), 1);
}

TEST_F(JiraServiceReadsTest, AFullLastPageIsFollowedByOneMoreRequestAndAZeroPageSizeEndsTheListing) {
    for (int i = 0; i < 50; ++i) {
        jira.addProject({QString::number(i), QStringLiteral("K%1").arg(i), QStringLiteral("P%1").arg(i)});
    }
    ASSERT_TRUE(awaitResult(service()->fetchProjects()).ok());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/rest/api/3/project/search")).size(), 2);

    // A server that claims pages of nothing would otherwise be asked forever.
    jira.http().clearRequests();
    jira.setMaxResultsCap(0);
    auto projects = awaitResult(service()->fetchProjects());
    ASSERT_TRUE(projects.ok());
    EXPECT_TRUE(projects.value().empty());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/rest/api/3/project/search")).size(), 1);
}

TEST_F(JiraServiceReadsTest, StatesStartWithUnresolvedAndKeepTheFirstNameOfEachId) {
    addProject();
    jira.setIssueTypes(
        QStringLiteral("10000"),
        {{QStringLiteral("t1"),
          QStringLiteral("Task"),
          {{QStringLiteral("1"), QStringLiteral("To Do")}, {QStringLiteral("3"), QStringLiteral("Done")}}},
         {QStringLiteral("t2"),
          QStringLiteral("Bug"),
          {{QStringLiteral("3"), QStringLiteral("Closed")}, {QStringLiteral("4"), QStringLiteral("Review")}},
          true}});
    Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};

    auto states = awaitResult(service()->fetchStates(project));
    ASSERT_TRUE(states.ok());
    const std::vector<Issue::State> expected{Issue::State::unresolved(),
                                             {QStringLiteral("1"), QStringLiteral("To Do")},
                                             {QStringLiteral("3"), QStringLiteral("Done")},
                                             {QStringLiteral("4"), QStringLiteral("Review")}};
    EXPECT_EQ(states.value(), expected);
    // By the project's id, not its key.
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/rest/api/3/project/10000/statuses")).size(), 1);

    jira.setIssueTypes(QStringLiteral("10000"), {});
    states = awaitResult(service()->fetchStates(project));
    ASSERT_TRUE(states.ok());
    EXPECT_EQ(states.value(), std::vector<Issue::State>{Issue::State::unresolved()});
}

TEST_F(JiraServiceReadsTest, AssigneesAreTheUsersAssignedInTheProject) {
    addProject();
    jira.addUser(
        {QStringLiteral("acc-ann"), QStringLiteral("Ann"), QStringLiteral("https://avatars.test/ann.png")});
    FakeJiraServer::Issue issue{QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                                QStringLiteral("Crash")};
    issue.assigneeId = QStringLiteral("acc-ann");
    jira.addIssue(issue);

    auto users = awaitResult(service()->fetchAssignees(
        Project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}}));
    ASSERT_TRUE(users.ok());
    ASSERT_EQ(users.value().size(), 1u);
    EXPECT_EQ(users.value().front(), (User{QStringLiteral("acc-ann"), QStringLiteral("Ann"),
                                           QStringLiteral("https://avatars.test/ann.png")}));
    const auto requests = jira.requestsTo(QStringLiteral("/rest/api/3/user/search/query"));
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests.front().queryValue(QStringLiteral("query")), u"is assignee of PRJ");
    // The query, then the paging.
    EXPECT_TRUE(requests.front().rawQuery.startsWith("query="));
    EXPECT_TRUE(requests.front().rawQuery.endsWith("&maxResults=50&startAt=0"));
}

TEST_F(JiraServiceReadsTest, TheUserAndTheSitesAreReadFromTheCloudHostWhateverTheSite) {
    auto svc = service();
    const QString siteBase = svc->request()->baseUrl();

    auto user = awaitResult(svc->fetchUser());
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(user.value(), (ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"),
                                          QStringLiteral("https://avatars.test/me.png")}));
    EXPECT_EQ(jira.http().lastRequest().path, "/me");
    // The shared client's base is never rewritten for it.
    EXPECT_EQ(svc->request()->baseUrl(), siteBase);

    auto sites = awaitResult(svc->fetchAccessibleResources());
    ASSERT_TRUE(sites.ok());
    ASSERT_EQ(sites.value().size(), 1u);
    EXPECT_EQ(sites.value().front().id, jira.cloudId);
    EXPECT_EQ(jira.http().lastRequest().path, "/oauth/token/accessible-resources");

    ASSERT_TRUE(awaitResult(svc->fetchServerInfo()).ok());
    EXPECT_EQ(jira.http().lastRequest().path, "/ex/jira/cloud-1/rest/api/3/serverInfo");
}

TEST_F(JiraServiceReadsTest, AnUndecodableAnswerIsUnknownAndAPaymentRefusalPassesUnchanged) {
    addProject();
    jira.interceptOnce(
        "GET", QStringLiteral("/rest/api/3/project/search"),
        FakeResponse::json(R"({"maxResults":50,"startAt":0,"total":1,"values":[{"id":"1","name":"x"}]})"));
    auto projects = awaitResult(service()->fetchProjects());
    ASSERT_FALSE(projects.ok());
    EXPECT_EQ(projects.error(), APIError::unknown());

    jira.interceptOnce("GET", QStringLiteral("/statuses"), FakeResponse::json("{}", 402));
    auto states = awaitResult(service()->fetchStates(Project{QStringLiteral("10000"), {}, {}, {}, {}}));
    ASSERT_FALSE(states.ok());
    EXPECT_EQ(states.error(), APIError::paymentRequired());
    EXPECT_EQ(maker.refreshCount(), 0);
}
