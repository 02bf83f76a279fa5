#include "trackers/asana/AsanaWorkLogForm.h"
#include "tests/trackers/asana/AsanaFixture.h"

#include <cmath>
#include <limits>

using namespace velmora;
using namespace velmora::test;

namespace {

class AsanaWorkLogFormTest : public AsanaFixture {
protected:
    AsanaWorkLogFormTest() {
        FakeAsanaServer::Task t;
        t.gid = QStringLiteral("t1");
        t.name = QStringLiteral("Task");
        t.projectGid = QStringLiteral("p1");
        asana.addTask(t);
        svc = service();
    }

    // A form as the booking sheet shows it: its duration's validation is watched.
    std::unique_ptr<AsanaWorkLogForm> form(double seconds, bool shown = true) {
        Project project;
        project.id = QStringLiteral("p1");
        Issue task;
        task.id = QStringLiteral("t1");
        auto f = std::make_unique<AsanaWorkLogForm>(account, svc, project, task, seconds);
        if (shown) {
            m_shown.push_back(f->durationValidation().publisher().subscribe([](const Validation&) {}));
        }
        return f;
    }

    // Saves and waits until the form is idle again; yields how often the completion ran.
    int saveAndWait(AsanaWorkLogForm& f) {
        int completions = 0;
        f.save([&] { ++completions; });
        EXPECT_TRUE(waitUntil([&] { return !f.networkRequestInProgress(); }));
        drainEvents();
        return completions;
    }

    std::shared_ptr<AsanaService> svc;

private:
    std::vector<Cancellable> m_shown;
};

} // namespace

TEST_F(AsanaWorkLogFormTest, BooksTheWholeMinutesOfTheDuration) {
    for (const auto& [seconds, minutes] :
         std::vector<std::pair<double, qint64>>{{60, 1}, {119, 1}, {7200, 120}}) {
        auto f = form(seconds);
        EXPECT_EQ(saveAndWait(*f), 1) << seconds;
        EXPECT_FALSE(f->errorOccurred());
        EXPECT_FALSE(f->hasSaveWorkLogDisposable());
        const FakeRequest sent = asana.http().lastRequest();
        EXPECT_EQ(sent.method, QByteArray("POST"));
        EXPECT_EQ(sent.path, QByteArray("/api/1.0/tasks/t1/time_tracking_entries"));
        EXPECT_FALSE(sent.hasQuery);
        EXPECT_EQ(sent.header("Content-Type"), QByteArray("application/json"));
        EXPECT_EQ(sent.body, QStringLiteral(R"({"data":{"duration_minutes":%1}})").arg(minutes).toUtf8());
        EXPECT_EQ(asana.entries().back().durationMinutes, minutes);
    }
    // The booking shows in the calendar's next read.
    auto entries = awaitResult(svc->fetchWorkEntries(
        DateInterval{asana.bookingDay.startOfDay(), asana.bookingDay.startOfDay().addSecs(86399)}));
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(entries.value().size(), 0u); // the task is not the user's: the search does not find it
    asana.tasks().back().assigneeGid = QStringLiteral("u1");
    asana.tasks().back().modifiedAt = asana.bookingDay.startOfDay().addSecs(3600);
    entries = awaitResult(svc->fetchWorkEntries(
        DateInterval{asana.bookingDay.startOfDay(), asana.bookingDay.startOfDay().addSecs(86399)}));
    ASSERT_TRUE(entries.ok());
    EXPECT_EQ(entries.value().size(), 3u);
}

TEST_F(AsanaWorkLogFormTest, AnInvalidDurationSendsNothing) {
    for (bool shown : {true, false}) {
        for (double seconds : {59.0, 0.0, -60.0, std::nan("")}) {
            auto f = form(seconds, shown);
            int completions = 0;
            f->save([&] { ++completions; });
            drainEvents();
            EXPECT_EQ(completions, 0) << seconds;
            EXPECT_FALSE(f->networkRequestInProgress());
            EXPECT_FALSE(f->errorOccurred());
        }
    }
    EXPECT_EQ(asana.requestCount(), 0);

    EXPECT_FALSE(AsanaWorkLogForm::body(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(AsanaWorkLogForm::body(1e300));
    EXPECT_EQ(AsanaWorkLogForm::body(3599)->data.durationMinutes, 59);
}

TEST_F(AsanaWorkLogFormTest, AFailedBookingOnlySetsTheErrorFlag) {
    // An expired token: the 401 says nothing was stored; the token is exchanged once and the
    // booking sent again on a fresh request.
    asana.revokeToken(QStringLiteral("token-1"));
    auto f = form(600);
    EXPECT_EQ(saveAndWait(*f), 1);
    EXPECT_FALSE(f->errorOccurred());
    EXPECT_EQ(maker.refreshCount(), 1);
    EXPECT_EQ(asana.entries().size(), 1u);
    EXPECT_EQ(storedState(), ProviderState::operational);
    EXPECT_NE(storedCredentials()->token, QStringLiteral("token-1"));

    // A 429 records no limit and posts nothing.
    asana.addToken(QStringLiteral("token-1"), QStringLiteral("u1"));
    asana.interceptOnce("POST", QStringLiteral("/time_tracking_entries"),
                        FakeResponse::json("{}", 429).withHeader("Retry-After", "30"));
    auto limited = form(600);
    EXPECT_EQ(saveAndWait(*limited), 0);
    EXPECT_TRUE(limited->errorOccurred());
    EXPECT_FALSE(svc->rateLimitedUntil().has_value());
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(asana.entries().size(), 1u) << "the 429 stored nothing";
}

TEST_F(AsanaWorkLogFormTest, ARateLimitedAccountBooksNothing) {
    svc->setRateLimitedUntil(clock->now().addSecs(30));
    auto f = form(600);
    EXPECT_EQ(saveAndWait(*f), 0);
    EXPECT_TRUE(f->errorOccurred());
    EXPECT_EQ(asana.requestCount(), 0);
}

TEST_F(AsanaWorkLogFormTest, ASecondSaveWhilePendingIsIgnored) {
    asana.setLatency(100);
    auto f = form(600);
    int first = 0;
    int second = 0;
    f->save([&] { ++first; });
    EXPECT_TRUE(f->networkRequestInProgress());
    f->save([&] { ++second; });
    ASSERT_TRUE(waitUntil([&] { return !f->networkRequestInProgress(); }));
    drainEvents();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(asana.entries().size(), 1u);
    EXPECT_EQ(asana.requestCount(), 1);

    // Afterwards the form books again when asked.
    EXPECT_EQ(saveAndWait(*f), 1);
    EXPECT_EQ(asana.entries().size(), 2u);
}

// A booking is saved only when Asana answers with the new entry: its gid is what the
// booking's record keeps. Any other 2xx (a sign-in page of a proxy, an empty body, an
// entry without gid) leaves the outcome unknown, never a save and never a failure.
TEST_F(AsanaWorkLogFormTest, OnlyTheNewEntryIsASaveAndItsIdIsKept) {
    auto f = form(3600);
    std::vector<QString> savedIds;
    QObject::connect(f.get(), &AbstractWorkLogForm::bookingSaved,
                     [&](const QString& id) { savedIds.push_back(id); });
    EXPECT_EQ(saveAndWait(*f), 1);
    ASSERT_EQ(savedIds.size(), 1u);
    EXPECT_EQ(savedIds.front(), asana.entries().back().gid);

    for (const test::FakeResponse& answer :
         {test::FakeResponse::signInPage(), test::FakeResponse::empty(200),
          test::FakeResponse::json(R"({"data":{"gid":""}})", 201),
          test::FakeResponse::json(R"({"gid":"9"})", 201),
          // A wrapper with a gid alone, or of something else,
          // or of other minutes, is not this booking's entry.
          test::FakeResponse::json(R"({"data":{"gid":"1"}})", 201),
          test::FakeResponse::json(R"({"data":{"gid":"1","resource_type":"task","duration_minutes":60}})",
                                   201),
          test::FakeResponse::json(R"({"data":{"gid":"1","resource_type":)"
                                   R"("time_tracking_entry","duration_minutes":59}})",
                                   201),
          // An entry without its task: Asana's own answers always name it.
          test::FakeResponse::json(R"({"data":{"gid":"1","resource_type":"time_tracking_entry",)"
                                   R"("duration_minutes":60}})",
                                   201),
          // An entry of the minutes on another task (an answer repeated from its booking).
          test::FakeResponse::json(R"({"data":{"gid":"1","resource_type":"time_tracking_entry",)"
                                   R"("duration_minutes":60,"task":{"gid":"t2"}}})",
                                   201)}) {
        asana.interceptOnce("POST", QStringLiteral("/time_tracking_entries"), answer);
        auto next = form(3600);
        std::optional<APIError> unknown;
        QObject::connect(next.get(), &AbstractWorkLogForm::bookingOutcomeUnknown,
                         [&](const APIError& error) { unknown = error; });
        QObject::connect(next.get(), &AbstractWorkLogForm::bookingSaved,
                         [&](const QString& id) { savedIds.push_back(id); });
        EXPECT_EQ(saveAndWait(*next), 0) << answer.body.toStdString();
        ASSERT_TRUE(unknown.has_value()) << answer.body.toStdString();
        EXPECT_EQ(unknown->cause(), APIError::Cause::Unreadable);
        EXPECT_FALSE(next->errorOccurred()) << "not a failure either";
    }
    EXPECT_EQ(savedIds.size(), 1u);
}
