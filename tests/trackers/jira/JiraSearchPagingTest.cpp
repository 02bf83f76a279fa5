#include "tests/trackers/jira/JiraFixture.h"

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraSearchPagingTest : public JiraFixture {
protected:
    JiraSearchPagingTest() { addProject(); }

    Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
};

} // namespace

TEST_F(JiraSearchPagingTest, AWholeSearchFollowsTheTokensWithoutGapsOrRepeats) {
    for (int i = 1; i <= 120; ++i) {
        jira.addIssue({QString::number(10000 + i), QStringLiteral("PRJ-%1").arg(i), QStringLiteral("10000"),
                       QStringLiteral("Task %1").arg(i)});
    }
    auto all =
        awaitResult(service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt).fetchAll());
    ASSERT_TRUE(all.ok()) << all.error().description().toStdString();
    ASSERT_EQ(all.value().size(), 120u);
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(all.value()[static_cast<std::size_t>(i)].id, QString::number(10001 + i));
    }
    const auto pages = jira.requestsTo(QStringLiteral("/rest/api/3/search/jql"));
    ASSERT_EQ(pages.size(), 3);
    EXPECT_FALSE(pages[0].hasQueryItem("nextPageToken"));
    EXPECT_NE(pages[1].queryValue("nextPageToken"), pages[2].queryValue("nextPageToken"));
    for (const auto& page : pages) {
        EXPECT_FALSE(page.hasQueryItem("startAt"));
    }
}

TEST_F(JiraSearchPagingTest, TheRemovedSearchIsGoneAndBareIdsDoNotMakeIssues) {
    jira.addIssue(
        {QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"), QStringLiteral("One")});
    // What a client of the removed search meets, in both its forms.
    auto old = APIRequest::jira(QStringLiteral("token-1"), QString(), jira.cloudId);
    const QUrl removed(QStringLiteral("https://") + jira.hostAndPort() + jira.sitePrefix() +
                       QStringLiteral("/rest/api/3/search"));
    for (const HttpMethod method : {HttpMethod::Get, HttpMethod::Post}) {
        auto request = old->makeRequest(removed, method,
                                        QueryItems{{QStringLiteral("jql"), QStringLiteral("project=10000")}});
        ASSERT_TRUE(request.ok());
        auto answer = awaitResult(old->session()->send(request.value()));
        ASSERT_TRUE(answer.ok());
        EXPECT_EQ(answer.value().statusCode, 410);
    }

    // The new search without named fields answers ids only, which no issue is made of.
    jira.interceptOnce("GET", QStringLiteral("/rest/api/3/search/jql"),
                       FakeResponse::json(R"({"issues":[{"id":"10001"}],"isLast":true})"));
    auto page =
        awaitResult(service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt).fetchFirst());
    ASSERT_FALSE(page.ok());
    EXPECT_EQ(page.error(), APIError::unknown());
}

TEST_F(JiraSearchPagingTest, APageThatHandsBackItsOwnTokenEndsTheSearch) {
    jira.intercept([](const FakeRequest& r) -> std::optional<FakeResponse> {
        if (!r.path.endsWith("/rest/api/3/search/jql")) {
            return std::nullopt;
        }
        return FakeResponse::json(R"({"issues":[],"nextPageToken":"again","isLast":false})");
    });
    auto all =
        awaitResult(service()->fetchTasks(project, std::nullopt, std::nullopt, std::nullopt).fetchAll());
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/rest/api/3/search/jql")).size(), 2);
}
