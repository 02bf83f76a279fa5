#include "core/net/JsonDecoder.h"
#include "trackers/jira/JiraDTOs.h"
#include "trackers/jira/JiraEndpoint.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

template <typename T> Result<T, QString> decode(const char* json) {
    return JsonDecoder().decode<T>(QByteArray(json));
}

std::string issue(const std::string& fields,
                  const char* rendered = R"({"description":"","timespent":null})") {
    return std::string(R"({"id":"10001","key":"PRJ-1","fields":)") + fields + R"(,"renderedFields":)" +
           rendered + "}";
}

} // namespace

TEST(JiraEndpointTest, PathsNameTheirRecordsByIdAsOneSegment) {
    Issue task;
    task.id = QStringLiteral("10001");
    WorkEntry entry;
    entry.id = QStringLiteral("20002");
    entry.issue = task;
    Project project{QStringLiteral("10000"), QStringLiteral("ABC"), QStringLiteral("Name"), {}, {}};

    EXPECT_EQ(JiraEndpoint::deleteWorkItem(entry).path(), u"rest/api/3/issue/10001/worklog/20002");
    EXPECT_EQ(JiraEndpoint::worklogs(task).path(), u"rest/api/2/issue/10001/worklog");
    EXPECT_EQ(JiraEndpoint::saveWorkItem(task).path(), u"rest/api/3/issue/10001/worklog");
    EXPECT_EQ(JiraEndpoint::statuses(project).path(), u"rest/api/3/project/10000/statuses");
    EXPECT_EQ(JiraEndpoint::user().path(), u"me");
    EXPECT_EQ(JiraEndpoint::search().path(), u"rest/api/3/search/jql");
    EXPECT_EQ(JiraEndpoint::userSearch().path(), u"rest/api/3/user/search/query");
    EXPECT_EQ(JiraEndpoint::timeTrackingSettings().path(), u"rest/api/3/configuration/timetracking");
    EXPECT_EQ(JiraEndpoint::projects().path(), u"rest/api/3/project/search");
    EXPECT_EQ(JiraEndpoint::serverInfo().path(), u"rest/api/3/serverInfo");
    EXPECT_EQ(JiraEndpoint::accessibleResources().path(), u"oauth/token/accessible-resources");
    EXPECT_TRUE(JiraEndpoint::user().isOnVendorRoot());
    EXPECT_TRUE(JiraEndpoint::accessibleResources().isOnVendorRoot());
    EXPECT_FALSE(JiraEndpoint::search().isOnVendorRoot());

    // An id can never reach another resource.
    task.id = QStringLiteral("../../project/1?x#y");
    EXPECT_EQ(JiraEndpoint::worklogs(task).path(), u"rest/api/2/issue/..%2F..%2Fproject%2F1%3Fx%23y/worklog");
}

TEST(JiraWireTest, IssuesDecodeWithTheirOptionalPartsAndFailWholeOnAMissingOne) {
    const char* assignee = R"({"accountId":"a1","displayName":"Ann","avatarUrls":{"24x24":"s","48x48":"l"}})";
    const std::string page =
        std::string(R"({"isLast":true,"issues":[)") +
        issue(R"({"summary":"s","status":{"id":"1","name":"Open"},"assignee":null})") + "," +
        issue(R"({"summary":"s","status":{"id":"1","name":"Open"},"timespent":null})") + "," +
        issue(std::string(R"({"summary":"s","status":{"id":"1","name":"Open"},"timespent":90,)"
                          R"("assignee":)") +
                  assignee + "}",
              R"({"description":"<p>x</p>","timespent":"1m"})") +
        "]}";
    auto search = decode<JiraSearchDTO>(page.c_str());
    ASSERT_TRUE(search.ok()) << search.error().toStdString();
    ASSERT_EQ(search.value().values.size(), 3u);
    EXPECT_FALSE(search.value().values[0].fields.assignee.has_value());
    EXPECT_FALSE(search.value().values[1].fields.timespent.has_value());
    EXPECT_EQ(search.value().values[2].fields.timespent, 90);
    EXPECT_EQ(search.value().values[2].fields.assignee->avatarUrls.large, u"l");
    EXPECT_EQ(search.value().values[2].renderedFields.description, u"<p>x</p>");
    EXPECT_TRUE(search.value().isLastPage());

    // One bad issue fails the page: no 48 px avatar, no rendered fields, items under another key.
    EXPECT_FALSE(decode<JiraSearchDTO>(
                     (std::string(R"({"isLast":true,"issues":[)") +
                      issue(R"({"summary":"s","status":{"id":"1","name":"O"},)"
                            R"("assignee":{"accountId":"a","displayName":"A","avatarUrls":{"24x24":"s"}}})") +
                      "]}")
                         .c_str())
                     .ok());
    EXPECT_FALSE(
        decode<JiraSearchDTO>(
            R"({"isLast":true,"issues":[{"id":"1","key":"K","fields":{"summary":"s","status":{"id":"1","name":"O"}}}]})")
            .ok());
    EXPECT_FALSE(decode<JiraSearchDTO>(R"({"isLast":true,"values":[]})").ok());
    // An issue of bare ids (no fields named) fails as well.
    EXPECT_FALSE(decode<JiraSearchDTO>(R"({"isLast":true,"issues":[{"id":"1"}]})").ok());
    EXPECT_FALSE(decode<JiraPaginatedResponseDTO<JiraProjectDTO>>(
                     R"({"maxResults":50,"startAt":0,"total":0,"issues":[]})")
                     .ok());
    EXPECT_TRUE(decode<JiraPaginatedResponseDTO<JiraProjectDTO>>(
                    R"({"maxResults":50,"startAt":0,"total":0,"values":[]})")
                    .ok());
}

TEST(JiraWireTest, SearchPagesEndWhenTheServerSaysSoOrGivesNoToken) {
    auto more = decode<JiraSearchDTO>(R"({"issues":[],"nextPageToken":"t2","isLast":false})");
    ASSERT_TRUE(more.ok());
    EXPECT_FALSE(more.value().isLastPage());
    EXPECT_EQ(more.value().nextPageToken, u"t2");
    // No "isLast" at all, but a token: more to come.
    EXPECT_FALSE(decode<JiraSearchDTO>(R"({"issues":[],"nextPageToken":"t2"})").value().isLastPage());
    EXPECT_TRUE(
        decode<JiraSearchDTO>(R"({"issues":[],"nextPageToken":"t2","isLast":true})").value().isLastPage());
    EXPECT_TRUE(decode<JiraSearchDTO>(R"({"issues":[]})").value().isLastPage());
    EXPECT_TRUE(
        decode<JiraSearchDTO>(R"({"issues":[],"nextPageToken":null,"isLast":false})").value().isLastPage());
}

TEST(JiraWireTest, WorkLogsArePlainTextWithOptionalCommentAndAuthor) {
    auto page = decode<JiraWorkLogsDTO>(
        R"({"maxResults":50,"startAt":0,"total":3,"worklogs":[)"
        R"({"id":"1","timeSpent":"1h 30m","time_spent_seconds":5400,"started":"2024-03-04T10:00:00.000+0000",)"
        R"("author":{"accountId":"acc-me","displayName":"Me"}},)"
        R"({"id":"2","timeSpent":"1m","timeSpentSeconds":60.5,"started":"x","comment":""},)"
        R"({"id":"3","timeSpent":"1m","timeSpentSeconds":60,"started":"x","comment":null}]})");
    ASSERT_TRUE(page.ok()) << page.error().toStdString();
    const auto& logs = page.value().values;
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0].timeSpentSeconds, 5400.0);
    EXPECT_EQ(logs[0].author->accountId, u"acc-me");
    EXPECT_FALSE(logs[0].comment.has_value());
    EXPECT_EQ(logs[1].comment, QString());
    EXPECT_FALSE(logs[1].author.has_value());
    EXPECT_FALSE(logs[2].comment.has_value());

    // A comment in document form is not text: the whole page fails.
    EXPECT_FALSE(decode<JiraWorkLogsDTO>(R"({"maxResults":50,"startAt":0,"total":1,"worklogs":[)"
                                         R"({"id":"1","timeSpent":"1m","timeSpentSeconds":60,"started":"x",)"
                                         R"("comment":{"type":"doc"}}]})")
                     .ok());
}

TEST(JiraWireTest, SingleRecordsAreStrictAboutEveryField) {
    auto me = decode<JiraUserDTO>(R"({"account_id":"acc-1","name":"Me","picture":"https://p"})");
    ASSERT_TRUE(me.ok());
    EXPECT_EQ(me.value().accountId, u"acc-1");
    EXPECT_FALSE(decode<JiraUserDTO>(R"({"accountId":"acc-1","name":"Me"})").ok());

    auto types = decode<std::vector<JiraIssueTypeWithStatusDTO>>(
        R"([{"id":"t","name":"Task","subtask":false,"statuses":[]},)"
        R"({"id":"b","name":"Bug","subtask":true,"statuses":[{"id":"1","name":"Open"}]}])");
    ASSERT_TRUE(types.ok());
    EXPECT_TRUE(types.value()[0].statuses.empty());
    EXPECT_EQ(types.value()[1].statuses.size(), 1u);
    EXPECT_FALSE(
        decode<std::vector<JiraIssueTypeWithStatusDTO>>(R"([{"id":"t","name":"Task","statuses":[]}])").ok());
    EXPECT_FALSE(decode<std::vector<JiraIssueTypeWithStatusDTO>>(
                     R"([{"id":"t","name":"T","subtask":"no","statuses":[]}])")
                     .ok());

    EXPECT_TRUE(decode<std::vector<JiraAccessibleResourceDTO>>("[]").ok());
    EXPECT_FALSE(decode<JiraTimeTrackingSettingsDTO>(R"({"key":"JIRA"})").ok());
    EXPECT_FALSE(decode<JiraServerInfoDTO>(R"({"baseUrl":null})").ok());
}
