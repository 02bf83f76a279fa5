#include "tests/trackers/jira/JiraFixture.h"

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraSearchTest : public JiraFixture {
protected:
    Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
};

const Project jql10001{QStringLiteral("10001"), QStringLiteral("KEY"), QStringLiteral("Name"), {}, {}};

} // namespace

TEST(JiraQueryTest, TheTaskQueryNamesEachFilterInOrder) {
    EXPECT_EQ(JiraService::searchQuery(jql10001, std::nullopt, std::nullopt, std::nullopt), u"project=10001");
    EXPECT_EQ(JiraService::searchQuery(jql10001, QString(), std::nullopt, std::nullopt), u"project=10001");
    EXPECT_EQ(JiraService::searchQuery(jql10001, QStringLiteral("login"), Issue::State{"3", "Done"},
                                       User{QStringLiteral("abc"), QStringLiteral("Ann"), {}}),
              u"project=10001 AND summary~\"login\" AND status=3 AND assignee=abc");
    // The sentinel is known by its id alone.
    EXPECT_EQ(JiraService::searchQuery(jql10001, std::nullopt, Issue::State::unresolved(), std::nullopt),
              u"project=10001 AND resolution=Unresolved");
    EXPECT_EQ(JiraService::searchQuery(jql10001, std::nullopt, Issue::State{"7", "Unresolved"}, std::nullopt),
              u"project=10001 AND status=7");
    // Search text cannot end the string early or smuggle in JQL.
    EXPECT_EQ(
        JiraService::searchQuery(jql10001, QStringLiteral(R"(say "hi" \o/)"), std::nullopt, std::nullopt),
        QStringLiteral(R"(project=10001 AND summary~"say \"hi\" \\o/")"));
}

TEST_F(JiraSearchTest, PagesOfIssuesReadTheServerInformationOnceBeforeTheFirstPage) {
    addProject();
    for (int i = 1; i <= 60; ++i) {
        jira.addIssue({QString::number(10000 + i), QStringLiteral("PRJ-%1").arg(i), QStringLiteral("10000"),
                       QStringLiteral("Task %1").arg(i)});
    }
    auto svc = service();
    auto tasks = svc->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(jira.requestCount(), 0); // nothing until the first fetch

    auto first = awaitResult(tasks.fetchFirst());
    ASSERT_TRUE(first.ok()) << first.error().description().toStdString();
    EXPECT_EQ(first.value().size(), 50u);
    EXPECT_TRUE(tasks.hasMorePages());
    auto second = awaitResult(tasks.fetchNext());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value().size(), 10u);
    EXPECT_FALSE(tasks.hasMorePages());

    const auto requests = jira.http().requests();
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(requests[0].path, "/ex/jira/cloud-1/rest/api/3/serverInfo");
    EXPECT_EQ(requests[1].path, "/ex/jira/cloud-1/rest/api/3/search/jql");
    EXPECT_EQ(requests[2].path, "/ex/jira/cloud-1/rest/api/3/search/jql");
    EXPECT_EQ(requests[1].queryValue("jql"), u"project=10000");
    EXPECT_EQ(requests[1].queryValue("fields"), u"description,summary,status,timespent,assignee");
    EXPECT_EQ(requests[1].queryValue("expand"), u"renderedFields");
    EXPECT_FALSE(requests[1].hasQueryItem("nextPageToken"));
    EXPECT_FALSE(requests[2].queryValue("nextPageToken").isEmpty());

    // Later searches of the same service reuse what it read.
    ASSERT_TRUE(
        awaitResult(
            svc->fetchTasks(project, QStringLiteral("Task 1"), std::nullopt, std::nullopt).fetchFirst())
            .ok());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/serverInfo")).size(), 1);
}

TEST_F(JiraSearchTest, IssuesMapWithTheirLinkStateTimeAndAssignee) {
    addProject();
    jira.addUser(
        {QStringLiteral("acc-ann"), QStringLiteral("Ann"), QStringLiteral("https://avatars.test/ann.png")});
    FakeJiraServer::Issue bare{QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                               QStringLiteral("Bare")};
    bare.description = QString();
    FakeJiraServer::Issue full{QStringLiteral("10002"),
                               QStringLiteral("PRJ-2"),
                               QStringLiteral("10000"),
                               QStringLiteral("Full"),
                               {QStringLiteral("3"), QStringLiteral("In Progress")}};
    full.description = QStringLiteral("<p>Steps</p>");
    full.assigneeId = QStringLiteral("acc-ann");
    jira.addIssue(bare);
    jira.addIssue(full);
    jira.addWorkLog(
        {{}, QStringLiteral("10002"), QStringLiteral("acc-me"), QDateTime::currentDateTimeUtc(), 5400, {}});

    auto page =
        awaitResult(service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(page.ok());
    ASSERT_EQ(page.value().size(), 2u);
    const Issue& a = page.value()[0];
    EXPECT_EQ(a.reference, u"PRJ-1");
    EXPECT_EQ(a.state, (Issue::State{QStringLiteral("1"), QStringLiteral("To Do")}));
    EXPECT_FALSE(a.description.has_value());
    EXPECT_FALSE(a.assignee.has_value());
    EXPECT_FALSE(a.spentTime.has_value());
    EXPECT_EQ(a.externalUrl, QUrl(QStringLiteral("https://example.atlassian.test/browse/PRJ-1")));

    const Issue& b = page.value()[1];
    EXPECT_EQ(b.name, u"Full");
    EXPECT_EQ(b.description, u"<p>Steps</p>");
    EXPECT_EQ(b.spentTime, u"1h 30m");
    ASSERT_TRUE(b.assignee.has_value());
    EXPECT_EQ(b.assignee->avatar, u"https://avatars.test/ann.png");
}

TEST_F(JiraSearchTest, FiltersReachTheServerAsJqlAndQuotedTextIsFoundNotRejected) {
    addProject();
    FakeJiraServer::Issue quoted{QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                                 QStringLiteral(R"(Fix the "Save" button)")};
    FakeJiraServer::Issue done{QStringLiteral("10002"),
                               QStringLiteral("PRJ-2"),
                               QStringLiteral("10000"),
                               QStringLiteral("Old"),
                               {QStringLiteral("3"), QStringLiteral("Done")}};
    done.resolved = true;
    jira.addIssue(quoted);
    jira.addIssue(done);
    auto svc = service();

    auto found = awaitResult(
        svc->fetchTasks(project, QStringLiteral(R"("Save")"), std::nullopt, std::nullopt).fetchFirst());
    ASSERT_TRUE(found.ok()) << found.error().description().toStdString();
    ASSERT_EQ(found.value().size(), 1u);
    EXPECT_EQ(found.value().front().id, u"10001");

    auto open = awaitResult(
        svc->fetchTasks(project, std::nullopt, Issue::State::unresolved(), std::nullopt).fetchFirst());
    ASSERT_TRUE(open.ok());
    ASSERT_EQ(open.value().size(), 1u);
    EXPECT_EQ(open.value().front().id, u"10001");

    auto byStatus = awaitResult(
        svc->fetchTasks(project, std::nullopt, Issue::State{"3", "Done"}, std::nullopt).fetchFirst());
    ASSERT_TRUE(byStatus.ok());
    ASSERT_EQ(byStatus.value().size(), 1u);
    EXPECT_EQ(byStatus.value().front().id, u"10002");
}

TEST_F(JiraSearchTest, AFailedServerInformationReadFailsThePageWithoutSendingIt) {
    addProject();
    jira.interceptOnce("GET", QStringLiteral("/serverInfo"), FakeResponse::json("{}", 500));
    auto page =
        awaitResult(service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_FALSE(page.ok());
    EXPECT_EQ(page.error(), APIError::unknown());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/rest/api/3/search/jql")).size(), 0);
}
