#include "tests/trackers/jira/JiraFixture.h"

#include <QTimeZone>

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraWorkEntriesTest : public JiraFixture {
protected:
    JiraWorkEntriesTest() {
        addProject();
        jira.addUser(
            {QStringLiteral("acc-col"), QStringLiteral("Colleague"), QStringLiteral("https://a.test/c.png")});
    }

    static QDateTime at(int day, int hour, int minute = 0) {
        return QDateTime(QDate(2024, 3, day), QTime(hour, minute));
    }
    static DateInterval week() {
        return DateInterval{QDateTime(QDate(2024, 3, 4), QTime(0, 0)),
                            QDateTime(QDate(2024, 3, 10), QTime(23, 59, 59))};
    }
    void addIssue(const QString& id) {
        jira.addIssue(
            {id, QStringLiteral("PRJ-") + id, QStringLiteral("10000"), QStringLiteral("Issue ") + id});
    }
    QString log(const QString& issue, const QDateTime& started, double seconds = 3600,
                const QString& author = QStringLiteral("acc-me"), std::optional<QString> comment = {}) {
        return jira.addWorkLog({{}, issue, author, started, seconds, std::move(comment)});
    }
};

} // namespace

TEST(JiraWorkLogTimeTest, StartsParseInTheirOwnZoneAndDaysAreTheUsersOwn) {
    const auto started = JiraService::parseStarted(QStringLiteral("2024-03-04T10:00:00.000+0100"));
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->toMSecsSinceEpoch(),
              QDateTime(QDate(2024, 3, 4), QTime(9, 0), QTimeZone::utc()).toMSecsSinceEpoch());
    EXPECT_TRUE(JiraService::parseStarted(QStringLiteral("2024-03-04T10:00:00.250Z")).has_value());
    EXPECT_TRUE(JiraService::parseStarted(QStringLiteral("2024-03-04T10:00:00.000-05:30")).has_value());
    for (const char* bad :
         {"2024-03-04T10:00:00+0000", "2024-03-04 10:00:00.000+0000", "2024-02-30T10:00:00.000+0000",
          "٢٠٢٤-03-04T10:00:00.000+0000", "", "2024-03-04T10:00:00.000+2500"}) {
        EXPECT_FALSE(JiraService::parseStarted(QString::fromUtf8(bad)).has_value()) << bad;
    }

    const DateInterval days{QDateTime(QDate(2024, 3, 4), QTime(0, 0)),
                            QDateTime(QDate(2024, 3, 6), QTime(23, 59, 59))};
    EXPECT_EQ(JiraService::workLogQuery(days),
              u"worklogDate >= 2024-03-03 AND worklogDate <= 2024-03-07 AND worklogAuthor = currentUser()");
}

TEST_F(JiraWorkEntriesTest, AWeekOfTheUsersOwnEntriesComesSortedAcrossIssues) {
    addIssue(QStringLiteral("10001"));
    addIssue(QStringLiteral("10002"));
    addIssue(QStringLiteral("10003"));
    log(QStringLiteral("10001"), at(5, 10), 3600, QStringLiteral("acc-me"), QStringLiteral("Review"));
    log(QStringLiteral("10002"), at(5, 9), 5400, QStringLiteral("acc-me"), QString());
    log(QStringLiteral("10001"), at(4, 8));
    // A colleague's time on the same issue, and on an issue the user never touched.
    log(QStringLiteral("10001"), at(5, 11), 7200, QStringLiteral("acc-col"));
    log(QStringLiteral("10003"), at(6, 11), 7200, QStringLiteral("acc-col"));
    // Outside the week.
    log(QStringLiteral("10002"), at(12, 9));

    auto entries = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok()) << entries.error().description().toStdString();
    ASSERT_EQ(entries.value().size(), 3u);
    EXPECT_EQ(entries.value()[0].started, at(4, 8));
    EXPECT_EQ(entries.value()[1].started, at(5, 9));
    EXPECT_EQ(entries.value()[2].started, at(5, 10));
    EXPECT_EQ(entries.value()[1].issue.id, u"10002");
    EXPECT_EQ(entries.value()[1].spentTimeSeconds, 5400.0);
    EXPECT_EQ(entries.value()[1].spentTime, u"1h 30m");
    EXPECT_FALSE(entries.value()[1].description.has_value()); // an empty comment is none
    EXPECT_EQ(entries.value()[2].description, u"Review");
    // Comments are text as typed, not HTML.
    EXPECT_EQ(entries.value()[2].descriptionFormat, WorkEntry::DescriptionFormat::plainText);

    // Only the user's issues were searched, and only those read.
    const auto search = jira.requestsTo(QStringLiteral("/rest/api/3/search/jql"));
    ASSERT_EQ(search.size(), 1);
    EXPECT_EQ(search.front().queryValue("jql"),
              u"worklogDate >= 2024-03-03 AND worklogDate <= 2024-03-11 AND worklogAuthor = currentUser()");
    const auto reads = jira.requestsTo(QStringLiteral("/worklog"), "GET");
    EXPECT_EQ(reads.size(), 2);
    for (const auto& r : reads) {
        EXPECT_TRUE(r.path.contains("/rest/api/2/issue/"));
        EXPECT_EQ(r.queryValue("startedAfter"), QString::number(week().start.toMSecsSinceEpoch()));
        EXPECT_EQ(r.queryValue("startedBefore"), QString::number(week().end.toMSecsSinceEpoch()));
    }
}

TEST_F(JiraWorkEntriesTest, TheUsersOwnWorkLogsOfOneIssueComeWithWhenTheyWereMade) {
    addIssue(QStringLiteral("10001"));
    jira.addWorkLog(
        {{}, QStringLiteral("10001"), QStringLiteral("acc-me"), at(5, 9), 1800, {}, at(5, 9, 30)});
    log(QStringLiteral("10001"), at(5, 10), 1800, QStringLiteral("acc-col"));
    Issue task;
    task.id = QStringLiteral("10001");
    auto entries = awaitResult(service()->fetchOwnWorkEntries(task, week()));
    ASSERT_TRUE(entries.ok()) << entries.error().description().toStdString();
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value()[0].started, at(5, 9));
    EXPECT_EQ(entries.value()[0].created, at(5, 9, 30));
    // The issue itself is read: no search for the user's issues.
    EXPECT_TRUE(jira.requestsTo(QStringLiteral("/rest/api/3/search/jql")).isEmpty());
}

TEST_F(JiraWorkEntriesTest, TheUsersOwnWorkLogsKeepToTheIntervalWhateverTheServerFiltered) {
    addIssue(QStringLiteral("10001"));
    log(QStringLiteral("10001"), at(5, 9));
    // The same minutes the day before the week, and a colleague's within it.
    log(QStringLiteral("10001"), at(3, 9));
    log(QStringLiteral("10001"), at(5, 10), 3600, QStringLiteral("acc-col"));
    jira.workLogFiltersIgnored = true;
    Issue task;
    task.id = QStringLiteral("10001");
    auto entries = awaitResult(service()->fetchOwnWorkEntries(task, week()));
    ASSERT_TRUE(entries.ok()) << entries.error().description().toStdString();
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value()[0].started, at(5, 9));
    const auto reads = jira.requestsTo(QStringLiteral("/worklog"), "GET");
    ASSERT_EQ(reads.size(), 1);
    EXPECT_EQ(reads[0].queryValue("startedAfter"), QString::number(week().start.toMSecsSinceEpoch()));
    EXPECT_EQ(reads[0].queryValue("startedBefore"), QString::number(week().end.toMSecsSinceEpoch()));
}

TEST_F(JiraWorkEntriesTest, TheWeekHoldsItsLocalDaysWhateverTheZoneOfTheJiraProfile) {
    addIssue(QStringLiteral("10001"));
    addIssue(QStringLiteral("10002"));
    const QDateTime mondayEarly = at(4, 1);
    const QDateTime sundayLate = at(10, 23, 30);
    log(QStringLiteral("10001"), mondayEarly);
    log(QStringLiteral("10002"), sundayLate);
    // Just outside the week, on both sides.
    log(QStringLiteral("10001"), at(3, 23, 30));
    log(QStringLiteral("10002"), at(11, 0, 30));

    // Half a day behind this machine, then half a day ahead (as far as zones go).
    const int here = mondayEarly.offsetFromUtc();
    for (const int profile :
         {std::max(here - 12 * 3600, -12 * 3600), std::min(here + 12 * 3600, 14 * 3600)}) {
        jira.profileTimeZone = QTimeZone(profile);
        auto entries = awaitResult(service()->fetchWorkEntries(week()));
        ASSERT_TRUE(entries.ok()) << profile;
        ASSERT_EQ(entries.value().size(), 2u) << profile;
        EXPECT_EQ(entries.value()[0].started, mondayEarly);
        EXPECT_EQ(entries.value()[1].started, sundayLate);
    }
}

TEST_F(JiraWorkEntriesTest, AnEmptyRangeSendsOnlyTheSearch) {
    auto entries = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok());
    EXPECT_TRUE(entries.value().empty());
    EXPECT_EQ(jira.requestsTo(QStringLiteral("/worklog")).size(), 0);
}

TEST_F(JiraWorkEntriesTest, TheFirstFailingIssueFailsTheWholeRange) {
    addIssue(QStringLiteral("10001"));
    addIssue(QStringLiteral("10002"));
    log(QStringLiteral("10001"), at(5, 10));
    log(QStringLiteral("10002"), at(5, 11));
    jira.interceptOnce("GET", QStringLiteral("/rest/api/2/issue/10002/worklog"),
                       FakeResponse::json("{}", 500));

    auto entries = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_FALSE(entries.ok());
    EXPECT_EQ(entries.error(), APIError::unknown());
}

TEST_F(JiraWorkEntriesTest, AtMostFourIssuesAreReadAtATime) {
    for (int i = 1; i <= 9; ++i) {
        addIssue(QString::number(10000 + i));
        log(QString::number(10000 + i), at(5, 8 + i));
    }
    // The server holds every work-log answer until the test lets one out: a fifth read
    // may only arrive once an answer is out, and so on.
    jira.intercept([&](const FakeRequest& r) -> std::optional<FakeResponse> {
        if (r.path.contains("/rest/api/2/issue/")) {
            return FakeResponse::json(R"({"maxResults":50,"startAt":0,"total":0,"worklogs":[]})");
        }
        return std::nullopt;
    });
    auto reads = [&] { return jira.requestsTo(QStringLiteral("/worklog")).size(); };
    jira.http().holdAnswers(QStringLiteral("/worklog"));
    std::optional<Result<std::vector<WorkEntry>, APIError>> entries;
    Cancellable running =
        service()->fetchWorkEntries(week()).subscribe([&](auto result) { entries = std::move(result); });

    ASSERT_TRUE(waitUntil([&] { return jira.http().heldAnswers() == 4; }, 20000));
    drainEvents();
    EXPECT_EQ(reads(), 4) << "four at once, and no more while all four are open";
    for (qsizetype answered = 1; answered <= 5; ++answered) {
        jira.http().releaseHeldAnswers(1);
        ASSERT_TRUE(waitUntil([&] { return reads() == 4 + answered; }, 20000)) << answered;
        drainEvents();
        EXPECT_EQ(reads(), 4 + answered) << "one answer out, one read in";
    }
    jira.http().stopHolding();
    ASSERT_TRUE(waitUntil([&] { return entries.has_value(); }, 20000));
    ASSERT_TRUE(entries->ok());
    EXPECT_EQ(reads(), 9);
    EXPECT_EQ(jira.http().peakInFlight(), 4);
}

TEST_F(JiraWorkEntriesTest, AnAccountWithoutAKnownUserLearnsItFirst) {
    addIssue(QStringLiteral("10001"));
    log(QStringLiteral("10001"), at(5, 10));
    log(QStringLiteral("10001"), at(5, 11), 600, QStringLiteral("acc-col"));
    JiraProvider noUser(account.id(), account.name(), account.parameters());
    auto svc = JiraService::create(noUser, APIRequest::jira("token-1", "refresh-1", jira.cloudId), clock);

    auto entries = awaitResult(svc->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok());
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value().front().started, at(5, 10));
    EXPECT_EQ(jira.http().requests().front().path, "/me");
}

TEST_F(JiraWorkEntriesTest, DeletingRemovesTheWorkLogOfItsIssue) {
    addIssue(QStringLiteral("10001"));
    const QString id = log(QStringLiteral("10001"), at(5, 10));
    auto entries = awaitResult(service()->fetchWorkEntries(week()));
    ASSERT_TRUE(entries.ok());
    ASSERT_EQ(entries.value().size(), 1u);

    auto deleted = awaitResult(service()->deleteWorkEntry(entries.value().front()));
    ASSERT_TRUE(deleted.ok());
    EXPECT_EQ(jira.http().lastRequest().method, "DELETE");
    EXPECT_EQ(jira.http().lastRequest().path,
              "/ex/jira/cloud-1/rest/api/3/issue/10001/worklog/" + id.toUtf8());
    EXPECT_TRUE(jira.workLogs().empty());

    // Gone already: the tracker's 404 arrives as it is.
    auto again = awaitResult(service()->deleteWorkEntry(entries.value().front()));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error(), APIError::unknown());
}
