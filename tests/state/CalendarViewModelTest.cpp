#include "FakeProviderService.h"
#include "StateTestEnvironment.h"

#include "state/CalendarViewModel.h"
#include "tests/support/EventLoop.h"

#include <QLocale>
#include <QSet>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <set>

namespace velmora {
namespace {

// A fixed time zone and default locale for one test.
class ZoneAndLocale {
public:
    ZoneAndLocale(const char* zone, const QLocale& locale)
        : m_savedZone(qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt) {
        qputenv("TZ", zone);
        tzset();
        QLocale::setDefault(locale);
    }
    ~ZoneAndLocale() {
        if (m_savedZone) {
            qputenv("TZ", *m_savedZone);
        } else {
            qunsetenv("TZ");
        }
        tzset();
        QLocale::setDefault(m_savedLocale);
    }

private:
    std::optional<QByteArray> m_savedZone;
    QLocale m_savedLocale;
};

QDateTime berlin(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone("Europe/Berlin"));
}

WorkEntry entry(const QString& id, const QDateTime& started, double seconds) {
    WorkEntry e;
    e.id = id;
    e.spentTime = QStringLiteral("%1m").arg(seconds / 60);
    e.spentTimeSeconds = seconds;
    e.issue = test::makeIssue(QStringLiteral("T-") + id);
    e.started = started;
    return e;
}

class CalendarViewModelTest : public ::testing::Test {
protected:
    CalendarViewModelTest() {
        env.clock->set(berlin(2025, 3, 5, 12)); // a Wednesday
        service->workEntries.answer({});
        service->deletes.answer(Void{});
    }

    std::unique_ptr<CalendarViewModel> makeModel() {
        return std::make_unique<CalendarViewModel>(service, env.environment());
    }

    ZoneAndLocale zone{"Europe/Berlin", QLocale(QLocale::English, QLocale::UnitedKingdom)};
    test::StateTestEnvironment env;
    std::shared_ptr<test::FakeProviderService> service = std::make_shared<test::FakeProviderService>();
};

TEST_F(CalendarViewModelTest, WithoutAModeNothingLoads) {
    auto model = makeModel();
    EXPECT_FALSE(model->dateInterval().has_value());
    EXPECT_EQ(model->title(), QString());
    model->loadWorkEntries();
    model->setDate(berlin(2025, 3, 6));
    test::drainEvents();
    EXPECT_EQ(service->workEntries.calls(), 0);
    EXPECT_TRUE(model->isLoading());
}

TEST_F(CalendarViewModelTest, RangesOfEachModeAroundAWednesday) {
    auto model = makeModel();
    const auto three = model->interval(CalendarMode::threeDays);
    EXPECT_EQ(three.start, berlin(2025, 3, 4));
    EXPECT_EQ(three.end, berlin(2025, 3, 6, 23, 59, 59));
    const auto five = model->interval(CalendarMode::fiveDays);
    EXPECT_EQ(five.start, berlin(2025, 3, 1));
    EXPECT_EQ(five.end, berlin(2025, 3, 5, 23, 59, 59));
    const auto week = model->interval(CalendarMode::sevenDays);
    EXPECT_EQ(week.start, berlin(2025, 3, 3)) << "a British week starts on Monday";
    EXPECT_EQ(week.end, berlin(2025, 3, 9, 23, 59, 59));

    model->setCalendarMode(CalendarMode::sevenDays);
    EXPECT_EQ(model->title(), QString::fromUtf8("March 3 \u2013 March 9, 2025"));
    model->setCalendarMode(CalendarMode::threeDays);
    EXPECT_EQ(model->title(), QString::fromUtf8("March 4 \u2013 March 6, 2025"));

    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(model->interval(CalendarMode::sevenDays).start, berlin(2025, 3, 2))
        << "an American week starts on Sunday";
}

TEST_F(CalendarViewModelTest, RangeAcrossTheNewYearNamesBothYears) {
    env.clock->set(berlin(2025, 12, 31, 9));
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::sevenDays);
    EXPECT_EQ(model->title(), QString::fromUtf8("December 29, 2025 \u2013 January 4, 2026"));
    model->setCalendarMode(CalendarMode::fiveDays);
    EXPECT_EQ(model->title(), QString::fromUtf8("December 27 \u2013 December 31, 2025"));
}

TEST_F(CalendarViewModelTest, DaysGroupEntriesByCalendarDay) {
    service->workEntries.answer({
        entry("late", berlin(2025, 3, 4, 23, 59), 600),
        entry("midnight", berlin(2025, 3, 5, 0, 0), 1200),
        entry("noon", berlin(2025, 3, 5, 12, 0), 1800),
        entry("outside", berlin(2025, 3, 10, 9, 0), 60),
    });
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::threeDays);
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));

    const auto days = model->visibleDays(CalendarMode::threeDays);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].date, berlin(2025, 3, 4));
    ASSERT_EQ(days[0].workEntries.size(), 1u);
    EXPECT_EQ(days[0].workEntries[0].id, QStringLiteral("late"));
    EXPECT_DOUBLE_EQ(days[0].totalTimeSpent, 600);
    ASSERT_EQ(days[1].workEntries.size(), 2u);
    EXPECT_EQ(days[1].workEntries[0].id, QStringLiteral("midnight"));
    EXPECT_DOUBLE_EQ(days[1].totalTimeSpent, 3000);
    EXPECT_TRUE(days[2].workEntries.empty());
    EXPECT_EQ(days[2].totalTimeSpent, 0);

    // Each computation is new: equal days, new ids.
    const auto again = model->visibleDays(CalendarMode::threeDays);
    EXPECT_EQ(again[1].date, days[1].date);
    EXPECT_DOUBLE_EQ(again[1].totalTimeSpent, days[1].totalTimeSpent);
    EXPECT_NE(again[1].id, days[1].id);
    EXPECT_NE(again[1], days[1]);
    // Days serve as keys of the day columns: a copy is the same key, a recomputed day
    // is another.
    const QSet<CalendarDay> keys{days[1], CalendarDay(days[1]), again[1]};
    EXPECT_EQ(keys.size(), 2);
    EXPECT_TRUE(keys.contains(again[1]));

    EXPECT_TRUE(model->days(DateInterval{berlin(2025, 3, 5), berlin(2025, 3, 4)}).empty());
}

TEST_F(CalendarViewModelTest, DaysAcrossAClockChangeAreCalendarDays) {
    env.clock->set(berlin(2025, 3, 30, 12)); // summer time starts at 02:00
    auto model = makeModel();
    const auto days = model->visibleDays(CalendarMode::threeDays);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].date, berlin(2025, 3, 29));
    EXPECT_EQ(days[1].date, berlin(2025, 3, 30));
    EXPECT_EQ(days[2].date, berlin(2025, 3, 31));
}

TEST_F(CalendarViewModelTest, EveryAssignmentReloadsAndOnlyTheNewestLoadDelivers) {
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::fiveDays);
    model->setCalendarMode(CalendarMode::fiveDays);
    model->move(0);
    EXPECT_EQ(service->workEntries.calls(), 3);
    model->setDate(QDateTime());
    EXPECT_EQ(service->workEntries.calls(), 3) << "an invalid date names no range";
    model->move(-5);
    EXPECT_EQ(model->date(), berlin(2025, 2, 28, 12));
    ASSERT_EQ(service->workEntryIntervals.size(), 4u);
    EXPECT_EQ(service->workEntryIntervals.back().start, berlin(2025, 2, 24));

    service->workEntries.hold();
    model->setDate(berlin(2025, 4, 1, 8));
    model->move(1);
    EXPECT_EQ(service->workEntries.cancellations(), 1);
    service->workEntries.complete({entry("april", berlin(2025, 4, 2, 9), 900)});
    ASSERT_TRUE(test::waitUntil([&] { return model->workEntries().size() == 1; }));
    EXPECT_FALSE(model->isLoading());

    // A failed load keeps the entries and ends loading.
    model->setIsLoading(true);
    service->workEntries.answerError(APIError::unknown());
    model->loadWorkEntries();
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));
    EXPECT_EQ(model->workEntries().size(), 1u);
}

TEST_F(CalendarViewModelTest, DeleteOutcomesAreHandledOnTheMainThread) {
    const WorkEntry doomed = entry("doomed", berlin(2025, 3, 5, 10), 600);
    service->workEntries.answer({doomed});
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::threeDays);
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));
    ASSERT_EQ(model->workEntries().size(), 1u);

    // The tracker reports success from its own thread; the reload follows on ours.
    service->deletes.hold();
    service->workEntries.answer({});
    model->deleteWorkEntry(doomed);
    EXPECT_TRUE(model->isLoading());
    EXPECT_EQ(model->workEntries().size(), 1u) << "the entry leaves with the reload";
    service->deletes.completeOnThread(Void{});
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));
    EXPECT_TRUE(model->workEntries().empty());
    EXPECT_EQ(service->deletedEntries.back(), doomed);
    EXPECT_EQ(service->workEntries.callThreads().back(), QThread::currentThread());

    // A refused delete reloads nothing and ends the loading state.
    const int loads = service->workEntries.calls();
    model->deleteWorkEntry(doomed);
    service->deletes.failOnThread(APIError::validation());
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));
    EXPECT_EQ(service->workEntries.calls(), loads);
}

// A reload that fails never turns loaded days into empty ones: the days of the last
// load keep their entries, the others are unknown (not "no records"), and the error
// stays until a load delivers.
TEST_F(CalendarViewModelTest, AFailedLoadMarksOnlyTheDaysItCouldNotLoad) {
    service->workEntries.answer({entry("wed", berlin(2025, 3, 5, 9), 1800)});
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::threeDays); // March 4 to 6
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));

    service->workEntries.answerError(APIError::failure(APIError::Cause::Unreachable));
    model->move(2); // March 6 to 8
    ASSERT_TRUE(test::waitUntil([&] { return model->loadError().has_value(); }));
    auto days = model->visibleDays(CalendarMode::threeDays);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_FALSE(days[0].unavailable) << "March 6 was loaded before";
    EXPECT_TRUE(days[1].unavailable);
    EXPECT_TRUE(days[2].unavailable);

    model->move(-2);
    ASSERT_TRUE(test::waitUntil([&] { return service->workEntries.calls() == 3; }));
    test::drainEvents();
    days = model->visibleDays(CalendarMode::threeDays);
    EXPECT_FALSE(days[1].unavailable);
    ASSERT_EQ(days[1].workEntries.size(), 1u) << "a failed reload keeps the entries it had";
    EXPECT_DOUBLE_EQ(days[1].totalTimeSpent, 1800);

    service->workEntries.answer({});
    model->loadWorkEntries();
    ASSERT_TRUE(test::waitUntil([&] { return !model->loadError().has_value(); }));
    for (const auto& day : model->visibleDays(CalendarMode::threeDays)) {
        EXPECT_FALSE(day.unavailable);
    }
}

TEST_F(CalendarViewModelTest, AFirstLoadThatFailsLeavesEveryDayUnknown) {
    service->workEntries.answerError(APIError::failure(APIError::Cause::ServerError, 503));
    auto model = makeModel();
    model->setCalendarMode(CalendarMode::sevenDays);
    ASSERT_TRUE(test::waitUntil([&] { return !model->isLoading(); }));
    ASSERT_TRUE(model->loadError().has_value());
    EXPECT_EQ(model->loadError()->httpStatus(), 503);
    for (const auto& day : model->visibleDays(CalendarMode::sevenDays)) {
        EXPECT_TRUE(day.unavailable);
        EXPECT_TRUE(day.workEntries.empty());
    }
}

} // namespace
} // namespace velmora
