#include "StateTestEnvironment.h"

#include "state/BookingRecovery.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using Kind = BookingRecovery::Verdict::Kind;

const QDateTime sent = QDateTime(QDate(2026, 3, 5), QTime(10, 2, 7));

// A booking of 30 minutes on BIG-20 as each kind of tracker records it.
WorkLogBooking exactBooking() {
    WorkLogBooking booking{QStringLiteral("20"), sent.addSecs(-1800), 1800, QStringLiteral("standup")};
    booking.dating = WorkLogBooking::Dating::exact;
    booking.sent = sent;
    return booking;
}

WorkLogBooking dayBooking(const QString& description = {}) {
    WorkLogBooking booking{QStringLiteral("20"), sent, 1800, description};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = sent;
    return booking;
}

WorkEntry entry(const QString& id, const QDateTime& started, std::optional<QDateTime> created,
                const QString& description = {}) {
    WorkEntry made;
    made.id = id;
    made.issue.id = QStringLiteral("20");
    made.started = started;
    made.spentTimeSeconds = 1800;
    made.created = std::move(created);
    if (!description.isEmpty()) {
        made.description = description;
    }
    return made;
}

QDateTime midnight() {
    return sent.date().startOfDay();
}

TEST(BookingRecoveryJudgeTest, AnEarlierLookAlikeIsNeverTakenForTheBooking) {
    // Dated by the day: the same minutes that day, made 30 s and 3 h before it left.
    const WorkLogBooking byDay = dayBooking();
    const WorkEntry thirtySeconds = entry(QStringLiteral("e1"), midnight(), sent.addSecs(-30));
    const WorkEntry sameDay = entry(QStringLiteral("e2"), midnight(), sent.addSecs(-3 * 3600));
    EXPECT_TRUE(BookingRecovery::looksLike(thirtySeconds, byDay));
    EXPECT_EQ(BookingRecovery::judge({thirtySeconds, sameDay}, byDay).kind, Kind::notFound);
    const WorkEntry ours = entry(QStringLiteral("e3"), midnight(), sent.addMSecs(800));
    const auto found = BookingRecovery::judge({thirtySeconds, sameDay, ours}, byDay);
    EXPECT_EQ(found.kind, Kind::saved);
    ASSERT_TRUE(found.entry.has_value());
    EXPECT_EQ(found.entry->id, QStringLiteral("e3"));

    // Kept with its start: the same standup booked 30 s earlier started 30 s earlier.
    const WorkLogBooking exact = exactBooking();
    const WorkEntry earlier =
        entry(QStringLiteral("j1"), exact.started.addSecs(-30), sent.addSecs(-30), QStringLiteral("standup"));
    EXPECT_EQ(BookingRecovery::judge({earlier}, exact).kind, Kind::notFound);
    const WorkEntry own =
        entry(QStringLiteral("j2"), exact.started.addMSecs(120), std::nullopt, QStringLiteral("standup"));
    EXPECT_EQ(BookingRecovery::judge({earlier, own}, exact).kind, Kind::saved);
}

TEST(BookingRecoveryJudgeTest, ALookAlikeThatCannotBeToldApartIsAskedAbout) {
    const WorkLogBooking byDay = dayBooking(QStringLiteral("standup"));
    // Made long after the booking could have arrived: someone booked the same elsewhere.
    const WorkEntry later =
        entry(QStringLiteral("late"), midnight(), sent.addSecs(BookingRecovery::arrivalWindow + 60),
              QStringLiteral("standup"));
    auto verdict = BookingRecovery::judge({later}, byDay);
    EXPECT_EQ(verdict.kind, Kind::uncertain);
    ASSERT_TRUE(verdict.entry.has_value());
    EXPECT_EQ(verdict.entry->id, QStringLiteral("late"));
    // A tracker that does not say when it made the entry.
    EXPECT_EQ(BookingRecovery::judge(
                  {entry(QStringLiteral("n"), midnight(), std::nullopt, QStringLiteral("standup"))}, byDay)
                  .kind,
              Kind::uncertain);
    // Two made as it arrived: only one is the booking, the app cannot say which.
    verdict = BookingRecovery::judge(
        {entry(QStringLiteral("a"), midnight(), sent.addSecs(1), QStringLiteral("standup")),
         entry(QStringLiteral("b"), midnight(), sent.addSecs(2), QStringLiteral("standup"))},
        byDay);
    EXPECT_EQ(verdict.kind, Kind::uncertain);
    ASSERT_TRUE(verdict.entry.has_value());
    EXPECT_EQ(verdict.entry->id, QStringLiteral("a"));
    // The clocks may differ by a few seconds: made just before it left still counts.
    EXPECT_EQ(BookingRecovery::judge(
                  {entry(QStringLiteral("c"), midnight(), sent.addSecs(-BookingRecovery::clockTolerance + 1),
                         QStringLiteral("standup"))},
                  byDay)
                  .kind,
              Kind::saved);
}

TEST(BookingRecoveryJudgeTest, ARecordOfTheVersionBeforeIsStillRecovered) {
    // Neither how its tracker dates entries nor when it left: its start is what was sent.
    WorkLogBooking old{QStringLiteral("20"), sent, 1800, QString()};
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("x"), sent.addMSecs(300), std::nullopt)}, old).kind,
        Kind::saved);
    // Dated at midnight: made as it left is it, made earlier is not, unknown is asked.
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("d"), midnight(), sent.addSecs(1))}, old).kind,
              Kind::saved);
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("d"), midnight(), sent.addSecs(-70))}, old).kind,
              Kind::notFound);
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("d"), midnight(), std::nullopt)}, old).kind,
              Kind::uncertain);
}

TEST(BookingRecoveryTest, AnUncertainEntryKeepsTheTimeUntilTheUserSaysItWasSaved) {
    test::StateTestEnvironment env;
    const QString key = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");
    TimerViewModel timer(key, env.environment());
    const Issue task = test::makeIssue(QStringLiteral("20"));
    timer.start(test::makeProject(QStringLiteral("p")), task);
    env.clock->advance(1800 * 1000);
    timer.pause();
    const WorkLogBooking booking = dayBooking(QStringLiteral("standup"));
    timer.recordBooking(booking);

    auto service = std::make_shared<test::FakeProviderService>();
    service->workEntries.answer(
        {entry(QStringLiteral("late"), midnight(), std::nullopt, QStringLiteral("standup"))});
    BookingRecovery recovery(timer);
    std::optional<WorkEntry> named;
    bool told = false;
    QObject::connect(&recovery, &BookingRecovery::bookingMayBe,
                     [&](const WorkLogBooking& asked, const WorkEntry& entry) {
                         EXPECT_EQ(asked, booking);
                         named = entry;
                     });
    QObject::connect(&recovery, &BookingRecovery::bookingMayNotHaveBeenSaved, [&] { told = true; });
    recovery.check(service);
    ASSERT_TRUE(test::waitUntil([&] { return named.has_value(); }));
    EXPECT_FALSE(told);
    EXPECT_EQ(named->id, QStringLiteral("late"));
    EXPECT_DOUBLE_EQ(timer.elapsed(), 1800);
    EXPECT_FALSE(timer.recordedBooking().has_value()) << "asked once, not at every start";

    // "It Was Saved" on a timer that runs again takes nothing: that is time of its own.
    timer.resume();
    recovery.confirmSaved(booking);
    EXPECT_TRUE(timer.isInUse());
    timer.pause();
    recovery.confirmSaved(booking);
    EXPECT_FALSE(timer.isInUse());
}

} // namespace
} // namespace velmora
