#include "trackers/jira/JiraWorkLogForm.h"
#include "tests/trackers/jira/JiraFixture.h"
#include "trackers/jira/JiraDescriptionInput.h"
#include "validation/ValidationMessageView.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTimeZone>

#include <cstdlib>
#include <limits>
#include <memory>

using namespace velmora;
using namespace velmora::test;

namespace {

class JiraWorkLogFormTest : public JiraFixture {
protected:
    JiraWorkLogFormTest() {
        addProject();
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Task")});
    }

    std::unique_ptr<JiraWorkLogForm> form(double duration, std::shared_ptr<JiraService> svc = nullptr) {
        auto f = std::make_unique<JiraWorkLogForm>(
            account, svc ? svc : service(),
            Project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}},
            Issue{
                QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("Task"), {}, {}, {}, {}, {}},
            duration);
        // As the booking sheet does: both inputs are shown, so both are judged.
        m_shown.push_back(f->durationValidation().publisher().subscribe([](const Validation&) {}));
        m_shown.push_back(f->descriptionValidation().publisher().subscribe([](const Validation&) {}));
        return f;
    }

    // Saves and waits until the request has ended; yields whether the completion ran.
    bool saveAndWait(JiraWorkLogForm& f) {
        bool completed = false;
        f.save([&] { completed = true; });
        EXPECT_TRUE(waitUntil([&] { return !f.networkRequestInProgress(); }));
        return completed;
    }

    static QJsonObject sentBody(const FakeRequest& request) {
        return QJsonDocument::fromJson(request.body).object();
    }

private:
    std::vector<Cancellable> m_shown;
};

} // namespace

TEST(JiraWorkItemTest, TheBodyHasWholeSecondsItsStartAndTheDescriptionAsOneParagraph) {
    const QDateTime at = QDateTime::currentDateTime();
    auto bare = JiraWorkLogForm::workItem(QString(), 90.9, at);
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(nlohmann::json(*bare).dump(), R"({"started":")" +
                                                JiraService::formatStarted(at.addSecs(-90)).toStdString() +
                                                R"(","timeSpentSeconds":90})");

    auto described = JiraWorkLogForm::workItem(QStringLiteral("Line one\n  line two "), 3600, at);
    ASSERT_TRUE(described.has_value());
    nlohmann::json body = *described;
    body.erase("started");
    EXPECT_EQ(body.dump(),
              R"({"comment":{"content":[{"content":[{"text":"Line one\n  line two ","type":"text"}],)"
              R"("type":"paragraph"}],"type":"doc","version":1},"timeSpentSeconds":3600})");

    EXPECT_EQ(nlohmann::json(*JiraWorkLogForm::workItem(QStringLiteral(" "), 60,
                                                        at))["comment"]["content"][0]["content"][0]["text"],
              " ");
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e19}) {
        EXPECT_FALSE(JiraWorkLogForm::workItem(QString(), bad, at).has_value()) << bad;
    }
}

// Jira keeps the start to the millisecond: one a few milliseconds off is another booking's.
TEST(JiraWorkItemTest, TheProofsStartIsComparedToTheMillisecond) {
    const QDateTime started = QDateTime::fromMSecsSinceEpoch(1'709'546'400'250, QTimeZone::utc());
    const auto proves = [&](const char* kept) {
        return JiraWorkLogForm::provesEntry({QStringLiteral("9"), QStringLiteral("10001"), 3600.0,
                                             QString::fromLatin1(kept)},
                                            QStringLiteral("10001"), 3600, started);
    };
    EXPECT_TRUE(proves("2024-03-04T10:00:00.250+0000"));
    EXPECT_FALSE(proves("2024-03-04T10:00:00.000+0000"));
}

TEST(JiraWorkItemTest, TheStartIsWrittenAsJiraDoesWithTheLocalOffset) {
    const QDateTime at(QDate(2026, 12, 7), QTime(9, 15, 0, 250), QTimeZone(3600));
    // Shown in the local zone with its offset, whatever that zone is.
    const QString text = JiraService::formatStarted(at);
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}[+-]\\d{4}$"))
            .match(text)
            .hasMatch())
        << text.toStdString();
    EXPECT_EQ(JiraService::parseStarted(text), at);
    const QDateTime local = at.toLocalTime();
    const int offset = local.offsetFromUtc() / 60;
    EXPECT_EQ(text.right(5), QStringLiteral("%1%2%3")
                                 .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                                 .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
                                 .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0')));
    EXPECT_EQ(text.left(23), local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")));
}

TEST_F(JiraWorkLogFormTest, ABookingJustAfterMidnightStartsThePreviousDay) {
    const QDateTime bookedAt(QDate(2026, 12, 7), QTime(0, 10));
    clock->set(bookedAt);
    auto f = form(30 * 60);
    EXPECT_TRUE(saveAndWait(*f));
    ASSERT_FALSE(f->errorOccurred());

    const QString started = sentBody(jira.http().lastRequest()).value("started").toString();
    EXPECT_TRUE(started.startsWith(QStringLiteral("2026-12-06T23:40:00.000"))) << started.toStdString();
    EXPECT_EQ(JiraService::parseStarted(started), bookedAt.addSecs(-30 * 60));
    ASSERT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(jira.workLogs().front().started, bookedAt.addSecs(-30 * 60));
}

TEST_F(JiraWorkLogFormTest, ABookedWorkLogIsSentOnceAndShowsInTheNextRangeRead) {
    auto svc = service();
    auto f = form(5400.7, svc);
    f->setDescription(QStringLiteral("Fixed the crash"));
    std::vector<bool> inProgress;
    QObject::connect(f.get(), &AbstractWorkLogForm::networkRequestInProgressChanged,
                     [&](bool value) { inProgress.push_back(value); });

    int completions = 0;
    f->save([&] { ++completions; });
    EXPECT_TRUE(f->networkRequestInProgress());
    ASSERT_TRUE(waitUntil([&] { return !f->networkRequestInProgress(); }));
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(f->errorOccurred());
    EXPECT_EQ(inProgress, (std::vector<bool>{true, false}));

    const FakeRequest sent = jira.http().lastRequest();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.path, "/ex/jira/cloud-1/rest/api/3/issue/10001/worklog");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("Authorization"), "Bearer token-1");
    EXPECT_EQ(sentBody(sent).value("timeSpentSeconds").toInteger(), 5400);

    const QDateTime now = QDateTime::currentDateTime();
    auto entries = awaitResult(svc->fetchWorkEntries(DateInterval{now.addDays(-1), now.addDays(1)}));
    ASSERT_TRUE(entries.ok());
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value().front().description, u"Fixed the crash");
    EXPECT_EQ(entries.value().front().spentTimeSeconds, 5400.0);
    EXPECT_EQ(entries.value().front().issue.id, u"10001");
}

TEST_F(JiraWorkLogFormTest, AnInvalidFormSendsNothing) {
    auto tooShort = form(59);
    tooShort->save([] { ADD_FAILURE() << "completed"; });
    EXPECT_FALSE(tooShort->networkRequestInProgress());

    // Counted in user-perceived characters, blanks at both ends not counted.
    const QString accented = QString::fromUtf8("e\xcc\x81"); // e + combining acute: one character
    auto tooLong = form(3600);
    tooLong->setDescription(QStringLiteral("  ") + accented.repeated(10001) + QStringLiteral("  "));
    tooLong->save([] { ADD_FAILURE() << "completed"; });
    EXPECT_FALSE(tooLong->networkRequestInProgress());
    EXPECT_FALSE(tooLong->errorOccurred());
    EXPECT_TRUE(tooLong->manager()->validationMessages().contains(JiraWorkLogForm::descriptionTooLong));
    drainEvents();
    EXPECT_EQ(jira.requestCount(), 0);

    tooLong->setDescription(QStringLiteral("  ") + accented.repeated(10000) + QStringLiteral("  "));
    EXPECT_TRUE(saveAndWait(*tooLong));
    EXPECT_EQ(jira.workLogs().size(), 1u);
}

TEST_F(JiraWorkLogFormTest, UnderAMinuteIsNeverBookedEvenWithoutAView) {
    // A form no booking sheet shows: its duration validator never saw the value.
    JiraWorkLogForm unseen(
        account, service(),
        Project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}},
        Issue{QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("Task"), {}, {}, {}, {}, {}},
        59.9);
    unseen.save([] { ADD_FAILURE() << "completed"; });
    drainEvents();
    EXPECT_FALSE(unseen.networkRequestInProgress());
    EXPECT_EQ(jira.requestCount(), 0);

    unseen.setDuration(60);
    EXPECT_TRUE(saveAndWait(unseen));
    EXPECT_EQ(jira.workLogs().size(), 1u);
}

TEST_F(JiraWorkLogFormTest, ARateLimitedSaveSendsNothingAndARefusedOneIsRefreshedOnce) {
    auto svc = service();
    svc->setRateLimitedUntil(clock->now().addSecs(30));
    auto limited = form(3600, svc);
    EXPECT_FALSE(saveAndWait(*limited));
    EXPECT_TRUE(limited->errorOccurred());
    EXPECT_FALSE(limited->networkRequestInProgress());
    EXPECT_EQ(jira.requestCount(), 0);

    // A 401 answered the booking: nothing was stored. The token is refreshed once and the
    // booking sent again on a fresh request; refused again, it ends there.
    jira.revokeToken(QStringLiteral("token-1"));
    auto refused = form(3600);
    EXPECT_TRUE(saveAndWait(*refused));
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(jira.workLogs().size(), 1u);
    jira.interceptOnce("POST", QStringLiteral("/worklog"), test::FakeResponse::json("{}", 401));
    jira.interceptOnce("POST", QStringLiteral("/worklog"), test::FakeResponse::json("{}", 401));
    const auto oneService = service(); // as the app keeps one per account
    auto again = form(3600, oneService);
    EXPECT_FALSE(saveAndWait(*again));
    EXPECT_TRUE(again->errorOccurred());
    EXPECT_EQ(again->description(), QString()); // values kept for another try
    EXPECT_LE(maker.refreshCount(), 2);
    EXPECT_EQ(jira.workLogs().size(), 1u);
    // A token refused fresh is not refreshed again at the next refusal: the account needs signing in.
    const int refreshes = maker.refreshCount();
    jira.interceptOnce("POST", QStringLiteral("/worklog"), test::FakeResponse::json("{}", 401));
    EXPECT_FALSE(saveAndWait(*form(3600, oneService)));
    EXPECT_EQ(maker.refreshCount(), refreshes);
}

TEST_F(JiraWorkLogFormTest, TheDescriptionInputEditsTheFormAndShowsItsMessage) {
    auto f = std::make_unique<JiraWorkLogForm>(
        account, service(), Project{QStringLiteral("10000"), {}, {}, {}, {}},
        Issue{QStringLiteral("10001"), {}, QStringLiteral("Task"), {}, {}, {}, {}, {}}, 3600);
    f->setDescription(QStringLiteral("Start"));
    std::unique_ptr<QWidget> widget(f->additionalFields(nullptr));
    auto* input = qobject_cast<JiraDescriptionInput*>(widget.get());
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->label()->text(), u"Description");
    EXPECT_EQ(input->editor()->toPlainText(), u"Start");
    EXPECT_EQ(input->editor()->height(), JiraDescriptionInput::editorHeight);
    ASSERT_EQ(f->manager()->validators().size(), 1u); // the description, registered once
    f->descriptionValidation();
    EXPECT_EQ(f->manager()->validators().size(), 1u);

    input->editor()->setPlainText(QStringLiteral("x").repeated(10001));
    EXPECT_EQ(f->description().size(), 10001);
    EXPECT_EQ(input->messageView()->latestValidation(),
              Validation::failure(JiraWorkLogForm::descriptionTooLong));
    input->editor()->setPlainText(QStringLiteral("fine"));
    EXPECT_EQ(input->messageView()->latestValidation(), Validation::success());
}

// A booking is saved only when Jira answers with the new work log, whose id the
// booking's record keeps; any other 2xx, or a redirect (never followed as a GET), leaves
// the outcome unknown.
TEST_F(JiraWorkLogFormTest, OnlyTheNewWorkLogIsASaveAndARedirectIsNeverFollowed) {
    auto f = form(3600);
    std::optional<QString> savedId;
    QObject::connect(f.get(), &AbstractWorkLogForm::bookingSaved, [&](const QString& id) { savedId = id; });
    EXPECT_TRUE(saveAndWait(*f));
    ASSERT_TRUE(savedId.has_value());
    EXPECT_EQ(*savedId, jira.workLogs().back().id);

    jira.http().on("GET", "/login", test::FakeResponse::signInPage());
    const test::FakeResponse answers[] = {
        test::FakeResponse::signInPage(), test::FakeResponse::empty(200),
        test::FakeResponse::json(R"({"self":"x"})", 201),
        // An id alone, or none, is anybody's answer (a proxy's); a work log of another task
        // or of other seconds is not this booking's.
        test::FakeResponse::json(R"({"id":"1"})", 201), test::FakeResponse::json(R"({"id":""})", 201),
        test::FakeResponse::json(R"({"id":" ","issueId":"10001","timeSpentSeconds":3600})", 201),
        test::FakeResponse::json(R"({"id":"9","issueId":"99999","timeSpentSeconds":3600})", 201),
        test::FakeResponse::json(R"({"id":"9","issueId":"10001","timeSpentSeconds":60})", 201),
        // Without its start (Jira's own answers always carry it).
        test::FakeResponse::json(R"({"id":"9","issueId":"10001","timeSpentSeconds":3600})", 201),
        // The work log of an earlier booking of the same time, repeated: it started earlier.
        test::FakeResponse::json(R"({"id":"9","issueId":"10001","timeSpentSeconds":3600,)"
                                 R"("started":"2024-03-04T10:00:00.000+0000"})",
                                 201),
        test::FakeResponse::redirect(jira.http().url(QStringLiteral("/login")).toEncoded()),
        test::FakeResponse::redirect(jira.http().url(QStringLiteral("/login")).toEncoded(), 303)};
    for (const test::FakeResponse& answer : answers) {
        jira.interceptOnce("POST", QStringLiteral("/worklog"), answer);
        auto next = form(3600);
        std::optional<APIError> unknown;
        QObject::connect(next.get(), &AbstractWorkLogForm::bookingOutcomeUnknown,
                         [&](const APIError& error) { unknown = error; });
        EXPECT_FALSE(saveAndWait(*next)) << answer.status;
        ASSERT_TRUE(unknown.has_value()) << answer.status;
        EXPECT_FALSE(next->errorOccurred());
        EXPECT_FALSE(AbstractWorkLogForm::provesNothingStored(*unknown));
        if (answer.status >= 300) {
            EXPECT_EQ(unknown->httpStatus(), answer.status);
        }
    }
    EXPECT_TRUE(jira.http().requestsTo(QStringLiteral("/login")).isEmpty())
        << "a booking was followed as a GET";
    EXPECT_EQ(jira.workLogs().size(), 1u);
}
