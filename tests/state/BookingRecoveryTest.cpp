#include "StateTestEnvironment.h"

#include "state/BookingRecovery.h"
#include "state/TimerSnapshot.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <ctime>
#include <limits>
#include <optional>

namespace velmora {
namespace {

using Kind = BookingRecovery::Verdict::Kind;

const QDateTime sent = QDateTime(QDate(2026, 3, 5), QTime(10, 2, 7));
// What one answer before the booking tells of a tracker whose clock is right: its date
// was written somewhere in the second around it.
const ClockOffset rightClock{-200, 800};

// A booking of 30 minutes on BIG-20 as each kind of tracker records it.
WorkLogBooking exactBooking() {
    WorkLogBooking booking{QStringLiteral("20"), sent.addSecs(-1800), 1800, QStringLiteral("standup")};
    booking.dating = WorkLogBooking::Dating::exact;
    booking.sent = sent;
    booking.trackerClock = rightClock;
    return booking;
}

WorkLogBooking dayBooking(const QString& description = {}, ClockOffset clock = rightClock) {
    WorkLogBooking booking{QStringLiteral("20"), sent, 1800, description};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = sent;
    booking.trackerClock = clock;
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
    // Made once the booking had surely left.
    const WorkEntry ours = entry(QStringLiteral("e3"), midnight(), sent.addMSecs(2000));
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
        {entry(QStringLiteral("a"), midnight(), sent.addSecs(2), QStringLiteral("standup")),
         entry(QStringLiteral("b"), midnight(), sent.addSecs(3), QStringLiteral("standup"))},
        byDay);
    EXPECT_EQ(verdict.kind, Kind::uncertain);
    ASSERT_TRUE(verdict.entry.has_value());
    EXPECT_EQ(verdict.entry->id, QStringLiteral("a"));
    // Made just before it left, as far as the tracker's clock is known: the app cannot
    // tell it from an earlier booking.
    verdict = BookingRecovery::judge(
        {entry(QStringLiteral("c"), midnight(), sent.addMSecs(-300), QStringLiteral("standup"))}, byDay);
    EXPECT_EQ(verdict.kind, Kind::uncertain);
    ASSERT_TRUE(verdict.entry.has_value());
    EXPECT_EQ(verdict.entry->id, QStringLiteral("c"));
}

TEST(BookingRecoveryJudgeTest, CreationTimesAreReadOnTheTrackersClock) {
    // Both clocks right: the same minutes booked 1.5 s before it left are another booking.
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("e"), midnight(), sent.addMSecs(-1500))}, dayBooking())
            .kind,
        Kind::notFound);

    // The tracker's clock a minute ahead: 30 s before it left is 30 s after on that clock.
    const WorkLogBooking ahead = dayBooking({}, ClockOffset{59'800, 60'800});
    const WorkEntry earlier = entry(QStringLiteral("e"), midnight(), sent.addSecs(30));
    EXPECT_EQ(BookingRecovery::judge({earlier}, ahead).kind, Kind::notFound);
    const auto found =
        BookingRecovery::judge({earlier, entry(QStringLiteral("ours"), midnight(), sent.addSecs(62))}, ahead);
    EXPECT_EQ(found.kind, Kind::saved);
    EXPECT_EQ(found.entry->id, QStringLiteral("ours"));

    // A minute behind: made "57 s before it left" is made as it arrived.
    const WorkLogBooking behind = dayBooking({}, ClockOffset{-60'200, -59'200});
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("ours"), midnight(), sent.addSecs(-57))}, behind).kind,
        Kind::saved);
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("e"), midnight(), sent.addSecs(-62))}, behind).kind,
        Kind::notFound);

    // Stamps at the ends of time are the tracker's word too: placed, never a sum that
    // overflows.
    const QDateTime first =
        QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::min() / 2, QTimeZone::utc());
    const QDateTime last =
        QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::max() / 2, QTimeZone::utc());
    WorkLogBooking farClock = dayBooking({}, ClockOffset{-1'000'000'000'000, 1'000'000'000'000});
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("f"), midnight(), first)}, farClock).kind,
              Kind::notFound);
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("l"), midnight(), last)}, farClock).kind,
              Kind::uncertain);

    // Not knowing the tracker's clock, no creation time is sure: asked, never reset.
    WorkLogBooking unknown = dayBooking();
    unknown.trackerClock.reset();
    const auto asked =
        BookingRecovery::judge({entry(QStringLiteral("x"), midnight(), sent.addSecs(2))}, unknown);
    EXPECT_EQ(asked.kind, Kind::uncertain);
    EXPECT_EQ(asked.entry->id, QStringLiteral("x"));
}

TEST(BookingRecoveryJudgeTest, ARecordOfTheVersionBeforeIsStillRecovered) {
    // Neither how its tracker dates entries nor when it left: its start is what was sent.
    WorkLogBooking old{QStringLiteral("20"), sent, 1800, QString()};
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("x"), sent.addMSecs(300), std::nullopt)}, old).kind,
        Kind::saved);
    // Dated at midnight: with no word on the tracker's clock, its creation time tells
    // nothing sure, so the user is asked; an entry of another day is not it.
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("d"), midnight(), sent.addSecs(1))}, old).kind,
              Kind::uncertain);
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("d"), midnight(), std::nullopt)}, old).kind,
              Kind::uncertain);
    EXPECT_EQ(
        BookingRecovery::judge({entry(QStringLiteral("d"), midnight().addDays(-2), sent.addDays(-2))}, old)
            .kind,
        Kind::notFound);
}

TEST(BookingRecoveryJudgeTest, AnEntryListedBeforeTheBookingLeftIsNeverIt) {
    // Stamped as if made after it left (a clock apart, a cache's date): listed before,
    // so another booking.
    WorkLogBooking known = dayBooking();
    known.before = std::vector<QString>{QStringLiteral("old")};
    const WorkEntry old = entry(QStringLiteral("old"), midnight(), sent.addSecs(60));
    EXPECT_EQ(BookingRecovery::judge({old}, known).kind, Kind::notFound);
    // The new one beside it is the booking.
    const auto found =
        BookingRecovery::judge({old, entry(QStringLiteral("new"), midnight(), sent.addSecs(2))}, known);
    EXPECT_EQ(found.kind, Kind::saved);
    EXPECT_EQ(found.entry->id, QStringLiteral("new"));
    // New, and made long after it could have arrived or on a clock not known: the
    // list says it is the booking all the same.
    WorkLogBooking unknownClock = known;
    unknownClock.trackerClock.reset();
    EXPECT_EQ(BookingRecovery::judge({old, entry(QStringLiteral("new"), midnight(), sent.addMSecs(100))},
                                     unknownClock)
                  .kind,
              Kind::saved);
    EXPECT_EQ(
        BookingRecovery::judge({old, entry(QStringLiteral("new"), midnight(), sent.addSecs(60))}, known).kind,
        Kind::saved);
    // New, but made long after it could have arrived: someone booked the same since.
    EXPECT_EQ(BookingRecovery::judge({old, entry(QStringLiteral("new"), midnight(),
                                                 sent.addSecs(BookingRecovery::arrivalWindow + 60))},
                                     known)
                  .kind,
              Kind::uncertain);
    // New, but surely made before it left on a clock known: someone booked the same
    // after the list was read, and the booking may be lost. Asked.
    const auto before =
        BookingRecovery::judge({old, entry(QStringLiteral("new"), midnight(), sent.addSecs(-30))}, known);
    EXPECT_EQ(before.kind, Kind::uncertain);
    EXPECT_EQ(before.entry->id, QStringLiteral("new"));
    // Two new ones: only one can be it.
    const auto two = BookingRecovery::judge({old, entry(QStringLiteral("a"), midnight(), sent.addSecs(2)),
                                             entry(QStringLiteral("b"), midnight(), sent.addSecs(3))},
                                            known);
    EXPECT_EQ(two.kind, Kind::uncertain);
    EXPECT_EQ(two.entry->id, QStringLiteral("a"));
    // Without the list the same stamp makes the old one the booking.
    EXPECT_EQ(BookingRecovery::judge({old}, dayBooking()).kind, Kind::saved);
}

TEST(BookingRecoveryJudgeTest, TheDoubtfulSecondReachesTheSlackOnBothSides) {
    const WorkLogBooking booking = dayBooking();
    const auto made = [](qint64 ms) { return entry(QStringLiteral("e"), midnight(), sent.addMSecs(ms)); };
    const qint64 earliest = rightClock.least - BookingRecovery::stampSlack;
    const qint64 latest = rightClock.most + BookingRecovery::stampSlack;
    EXPECT_EQ(BookingRecovery::judge({made(earliest - 1)}, booking).kind, Kind::notFound);
    EXPECT_EQ(BookingRecovery::judge({made(earliest + 1)}, booking).kind, Kind::uncertain);
    EXPECT_EQ(BookingRecovery::judge({made(latest - 1)}, booking).kind, Kind::uncertain);
    EXPECT_EQ(BookingRecovery::judge({made(latest)}, booking).kind, Kind::saved);

    // A moment kept to the whole second (an older record): it may have left up to a
    // second after it, so the doubt reaches that much further.
    WorkLogBooking old = booking;
    old.sentToTheSecond = true;
    EXPECT_EQ(BookingRecovery::judge({made(latest + 900)}, old).kind, Kind::uncertain);
    EXPECT_EQ(BookingRecovery::judge({made(latest + 1000)}, old).kind, Kind::saved);
    EXPECT_EQ(BookingRecovery::judge({made(earliest - 1)}, old).kind, Kind::notFound);
}

TEST(BookingRecoveryJudgeTest, AStampAtTheStartOfTimeIsPlacedWithoutOverflowing) {
    // So far before the moment it left that the difference in ms does not fit.
    const QDateTime first =
        QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::min() + 1000, QTimeZone::utc());
    ASSERT_TRUE(first.isValid());
    EXPECT_EQ(BookingRecovery::judge({entry(QStringLiteral("f"), midnight(), first)}, dayBooking()).kind,
              Kind::notFound);
}

// This machine's zone for one test, as a user abroad has it.
class DesktopZone {
public:
    explicit DesktopZone(const char* zone)
        : m_saved(qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt) {
        qputenv("TZ", zone);
        tzset();
    }
    ~DesktopZone() {
        if (m_saved) {
            qputenv("TZ", *m_saved);
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }
    DesktopZone(const DesktopZone&) = delete;
    DesktopZone& operator=(const DesktopZone&) = delete;

private:
    std::optional<QByteArray> m_saved;
};

// A booking of a day-dating tracker that left at `left`, and the entry of it made 2 s
// later, dated by `day` as the services give it: a day kept as a date (Asana) starts
// at this machine's midnight, one kept as a moment (YouTrack) at midnight UTC.
struct AbroadCase {
    WorkLogBooking booking;
    WorkEntry asDate;
    WorkEntry asMoment;
};

AbroadCase bookedAbroad(const QDateTime& left, const QDate& day) {
    WorkLogBooking booking{QStringLiteral("20"), left, 1800, QString()};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = left;
    booking.trackerClock = rightClock;
    return AbroadCase{
        booking, entry(QStringLiteral("date"), day.startOfDay(), left.addSecs(2)),
        entry(QStringLiteral("moment"), QDateTime(day, QTime(0, 0), QTimeZone::utc()), left.addSecs(2))};
}

TEST(BookingRecoveryJudgeTest, AKeptBookingIsFoundWhenTheTrackersDayIsNotTheDesktops) {
    struct Abroad {
        const char* zone;
        // A moment at which this machine's day is already (or still) another than UTC's.
        QDateTime left;
    };
    const Abroad places[] = {
        {"Asia/Tokyo", QDateTime(QDate(2026, 3, 5), QTime(20, 0), QTimeZone::utc())},
        {"Pacific/Kiritimati", QDateTime(QDate(2026, 3, 5), QTime(12, 0), QTimeZone::utc())},
        {"Pacific/Pago_Pago", QDateTime(QDate(2026, 3, 5), QTime(5, 0), QTimeZone::utc())},
    };
    for (const Abroad& place : places) {
        SCOPED_TRACE(place.zone);
        const DesktopZone zone(place.zone);
        const QDate desktopDay = place.left.toLocalTime().date();
        const QDate utcDay = place.left.toUTC().date();
        ASSERT_NE(desktopDay, utcDay);
        // Dated by the tracker's day (UTC), by this machine's, or by the user's zone on
        // the tracker: each is the booking.
        for (const QDate& day : {utcDay, desktopDay}) {
            const AbroadCase made = bookedAbroad(place.left, day);
            for (const WorkEntry& entry : {made.asDate, made.asMoment}) {
                SCOPED_TRACE(entry.id.toStdString() + " " + day.toString(Qt::ISODate).toStdString());
                EXPECT_TRUE(BookingRecovery::looksLike(entry, made.booking));
                EXPECT_EQ(BookingRecovery::judge({entry}, made.booking).kind, Kind::saved);
                EXPECT_TRUE(WorkLogBooking::startsAround(made.booking.started).contains(entry.started))
                    << "the read asks for it";
            }
        }
        // Two days off is a day no tracker dates it by.
        const QDate far = std::min(desktopDay, utcDay).addDays(-2);
        const AbroadCase before = bookedAbroad(place.left, far);
        EXPECT_FALSE(BookingRecovery::looksLike(before.asDate, before.booking));
        EXPECT_FALSE(BookingRecovery::looksLike(before.asMoment, before.booking));
        const AbroadCase after = bookedAbroad(place.left, std::max(desktopDay, utcDay).addDays(2));
        EXPECT_FALSE(BookingRecovery::looksLike(after.asDate, after.booking));
        EXPECT_FALSE(BookingRecovery::looksLike(after.asMoment, after.booking));
    }
}

// A timer that tracked half an hour on task 20 and recorded its booking (of the day
// tracker's kind), with the signals of a recovery counted.
class BookingRecoveryTest : public ::testing::Test {
protected:
    BookingRecoveryTest() { startTimer(); }

    void startTimer() {
        timer = std::make_unique<TimerViewModel>(key, env.environment());
        if (timer->recordedBooking()) {
            return;
        }
        timer->start(test::makeProject(QStringLiteral("p")), task);
        env.clock->advance(1800 * 1000);
        timer->pause();
        timer->recordBooking(booking);
    }

    // A recovery on the timer whose outcomes land in the members below.
    std::unique_ptr<BookingRecovery> recoveryOf(TimerViewModel& watched) {
        auto recovery = std::make_unique<BookingRecovery>(watched);
        QObject::connect(recovery.get(), &BookingRecovery::bookingMayBe,
                         [this](const WorkLogBooking& about, const WorkEntry& entry) {
                             EXPECT_EQ(about, booking);
                             named = entry;
                         });
        QObject::connect(recovery.get(), &BookingRecovery::bookingMayNotHaveBeenSaved,
                         [this] { told = true; });
        QObject::connect(recovery.get(), &BookingRecovery::bookingCheckFailed,
                         [this](const WorkLogBooking& about, const APIError& error) {
                             EXPECT_EQ(about, booking);
                             failed = error;
                         });
        return recovery;
    }

    // The check with the tracker's answer, to its end.
    std::unique_ptr<BookingRecovery> check(const std::vector<WorkEntry>& listed) {
        service->workEntries.answer(listed);
        auto recovery = recoveryOf(*timer);
        recovery->check(service);
        EXPECT_TRUE(test::waitUntil([&] { return named || told || failed || !timer->recordedBooking(); }));
        return recovery;
    }

    // The next start, from what is on disk.
    void nextStart() {
        timer.reset();
        env.reopenSnapshots();
        named.reset();
        told = false;
        failed.reset();
        startTimer();
    }

    // The timer as the file holds it.
    std::optional<TimerSnapshot> onDisk() {
        env.snapshots->flush();
        return SnapshotManager(env.snapshotPath()).value<TimerSnapshot>(key);
    }

    test::StateTestEnvironment env;
    const QString key = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");
    const Issue task = test::makeIssue(QStringLiteral("20"));
    const WorkLogBooking booking = dayBooking();
    std::unique_ptr<TimerViewModel> timer;
    std::shared_ptr<test::FakeProviderService> service = std::make_shared<test::FakeProviderService>();
    std::optional<WorkEntry> named;
    bool told = false;
    std::optional<APIError> failed;
};

TEST_F(BookingRecoveryTest, AnUncertainEntryKeepsTheTimeUntilTheUserSaysItWasSaved) {
    auto recovery = check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    ASSERT_TRUE(named.has_value());
    EXPECT_FALSE(told);
    EXPECT_EQ(named->id, QStringLiteral("late"));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
    EXPECT_EQ(timer->recordedBooking(), booking) << "kept until the question is answered";

    // "It Was Saved" after the timer ran on for an hour: only the booked half hour goes.
    timer->resume();
    env.clock->advance(3600 * 1000);
    timer->pause();
    recovery->confirmSaved(booking);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600);
    EXPECT_TRUE(timer->isInUse());
    EXPECT_FALSE(timer->recordedBooking().has_value());
    recovery->confirmSaved(booking);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600) << "taken off once";
}

TEST_F(BookingRecoveryTest, AQuestionLeftOpenIsAskedAgainAtTheNextStart) {
    check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    ASSERT_TRUE(named.has_value());
    // Quit (or a crash) with the question open.
    const auto written = onDisk();
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->booking, booking);
    EXPECT_DOUBLE_EQ(written->previousDuration, 1800);

    nextStart();
    ASSERT_EQ(timer->recordedBooking(), booking);
    check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->id, QStringLiteral("late"));
}

TEST_F(BookingRecoveryTest, EachAnswerIsOnDiskWithTheRecordGoneBeforeItReturns) {
    auto recovery = check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    ASSERT_TRUE(named.has_value());
    // A second check while it is asked asks nothing more.
    named.reset();
    recovery->check(service);
    test::drainEvents();
    EXPECT_FALSE(named.has_value());

    timer->resume();
    env.clock->advance(600 * 1000);
    recovery->confirmSaved(booking);
    // Written before it returned, so no kill after the click brings the half hour back:
    // a fresh reader sees it without waiting for the writer.
    const auto written = SnapshotManager(env.snapshotPath()).value<TimerSnapshot>(key);
    ASSERT_TRUE(written.has_value());
    EXPECT_FALSE(written->booking.has_value());
    EXPECT_DOUBLE_EQ(written->elapsed(env.clock->now()), 600);
}

TEST_F(BookingRecoveryTest, KeepTheTimeForgetsTheRecordAndKeepsTheTime) {
    auto recovery = check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    ASSERT_TRUE(named.has_value());
    recovery->keepTime(booking);
    EXPECT_FALSE(timer->recordedBooking().has_value());
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
    const auto written = onDisk();
    ASSERT_TRUE(written.has_value());
    EXPECT_FALSE(written->booking.has_value());
    EXPECT_DOUBLE_EQ(written->previousDuration, 1800);
}

TEST_F(BookingRecoveryTest, ATrackerThatCannotBeAskedKeepsTheRecordAndIsAskedAgain) {
    service->workEntries.answerError(APIError::failure(APIError::Cause::Unreachable));
    auto recovery = recoveryOf(*timer);
    recovery->check(service);
    ASSERT_TRUE(test::waitUntil([&] { return failed.has_value(); }));
    EXPECT_EQ(failed->cause(), APIError::Cause::Unreachable);
    EXPECT_FALSE(told) << "nothing was learnt of the booking";
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
    EXPECT_EQ(timer->recordedBooking(), booking);

    // The next start reads the record again and, the tracker reached, finds the booking.
    recovery.reset();
    nextStart();
    ASSERT_EQ(timer->recordedBooking(), booking);
    check({entry(QStringLiteral("ours"), midnight(), sent.addSecs(3))});
    EXPECT_FALSE(timer->isInUse());
}

TEST_F(BookingRecoveryTest, ABookingFoundLaterTakesOffOnlyItsSeconds) {
    // The first check could not ask; Later; an hour more on the timer.
    service->workEntries.answerError(APIError::failure(APIError::Cause::Unreachable));
    auto recovery = recoveryOf(*timer);
    recovery->check(service);
    ASSERT_TRUE(test::waitUntil([&] { return failed.has_value(); }));
    timer->resume();
    env.clock->advance(3600 * 1000);
    timer->pause();

    // Try Again finds it.
    service->workEntries.answer({entry(QStringLiteral("ours"), midnight(), sent.addSecs(3))});
    recovery->check(service);
    ASSERT_TRUE(test::waitUntil([&] { return !timer->recordedBooking(); }));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600);
    EXPECT_EQ(timer->task(), task);
    const auto written = onDisk();
    ASSERT_TRUE(written.has_value());
    EXPECT_DOUBLE_EQ(written->previousDuration, 3600);
}

TEST_F(BookingRecoveryTest, ABookingFoundWhileTheTimerTracksAnotherTaskTakesNothingOff) {
    // A record of a booking on task 20 kept while the timer tracks task 21 (it went on
    // to it with under a minute left).
    TimerViewModel other(QStringLiteral("9B1D2C3E-0000-4000-8000-000000000021"), env.environment());
    other.start(test::makeProject(QStringLiteral("p")), test::makeIssue(QStringLiteral("21")));
    env.clock->advance(1200 * 1000);
    other.pause();
    other.recordBooking(booking);
    auto recovery = recoveryOf(other);
    service->workEntries.answer({entry(QStringLiteral("ours"), midnight(), sent.addSecs(3))});
    recovery->check(service);
    ASSERT_TRUE(test::waitUntil([&] { return !other.recordedBooking(); }));
    EXPECT_DOUBLE_EQ(other.elapsed(), 1200);
    EXPECT_EQ(other.task()->id, QStringLiteral("21"));
}

TEST_F(BookingRecoveryTest, ATypedTimeIsOnDiskAtOnce) {
    timer->setDuration(4000);
    const auto written = onDisk();
    ASSERT_TRUE(written.has_value());
    EXPECT_DOUBLE_EQ(written->previousDuration, 4000);
}

// The question is open while the timer goes on.
class OpenQuestion : public BookingRecoveryTest {
protected:
    OpenQuestion() {
        recovery = check({entry(QStringLiteral("late"), midnight(), std::nullopt)});
        EXPECT_TRUE(named.has_value());
    }

    std::unique_ptr<BookingRecovery> recovery;
};

TEST_F(OpenQuestion, ItWasSavedOnARunningTimerTakesOffTheBookedTimeAndLetsItRun) {
    timer->resume();
    env.clock->advance(600 * 1000);
    recovery->confirmSaved(booking);
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600);
    env.clock->advance(60 * 1000);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 660);
}

TEST_F(OpenQuestion, ARunningTimerLeftWithUnderAMinuteRunsOnWithIt) {
    timer->resume();
    env.clock->advance(30 * 1000);
    recovery->confirmSaved(booking);
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
    EXPECT_EQ(timer->task(), task);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 30);
}

TEST_F(OpenQuestion, ItWasSavedTakesNothingFromATimerResetOrOnAnotherTaskSince) {
    // Reset, then the same task again: the 20 minutes are new time.
    timer->reset();
    timer->start(test::makeProject(QStringLiteral("p")), task);
    env.clock->advance(1200 * 1000);
    timer->pause();
    recovery->confirmSaved(booking);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200);
    EXPECT_TRUE(timer->isInUse());
}

TEST_F(OpenQuestion, ItWasSavedTakesNothingFromAnotherTasksTime) {
    timer->start(test::makeProject(QStringLiteral("p")), test::makeIssue(QStringLiteral("21")));
    // The half hour stays with its task: the sheet opens for it, the other waits.
    ASSERT_TRUE(timer->hasPendingStart());
    // The stop's notice goes out from the event loop: here, not in the next test.
    test::drainEvents();
    timer->reset();
    ASSERT_EQ(timer->task()->id, QStringLiteral("21"));
    env.clock->advance(2400 * 1000);
    timer->pause();
    recovery->confirmSaved(booking);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 2400);
}


// The answer to the question takes the booked time off and drops the record in one
// write: a kill at any moment in between finds either both as they were or both done,
// never the time taken off with the record still there (taken off again at the next
// start) nor the record gone with the time still there (booked again).
TEST_F(OpenQuestion, ItWasSavedWritesTheNewTimeAndTheRecordsRemovalInOneWrite) {
    timer->resume();
    env.clock->advance(600 * 1000);
    timer->pause();
    ASSERT_DOUBLE_EQ(timer->elapsed(), 2400);
    int looks = 0;
    const auto killedHere = [&] {
        ++looks;
        // What a run killed now would find at its next start.
        env.snapshots->flush();
        const auto written = SnapshotManager(env.snapshotPath()).value<TimerSnapshot>(key);
        ASSERT_TRUE(written.has_value());
        const double held = written->elapsed(env.clock->now());
        if (written->booking) {
            EXPECT_DOUBLE_EQ(held, 2400) << "the booked time left with the record still there";
        } else {
            EXPECT_DOUBLE_EQ(held, 600) << "the record went with the booked time still there";
        }
    };
    QObject::connect(timer.get(), &TimerViewModel::durationChanged, killedHere);
    QObject::connect(timer.get(), &TimerViewModel::stateChanged, killedHere);
    QObject::connect(timer.get(), &TimerViewModel::taskChanged, killedHere);
    recovery->confirmSaved(booking);
    EXPECT_GT(looks, 0);
    killedHere();
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600);
}

// Starting another task while the question is open moves nothing: the half hour stays
// with its task for the sheet, so the record stays too, and the answer still counts.
TEST_F(OpenQuestion, TheRecordStaysWhileAnotherTaskWaitsForTheAskedTime) {
    timer->start(test::makeProject(QStringLiteral("p")), test::makeIssue(QStringLiteral("21")));
    ASSERT_TRUE(timer->hasPendingStart());
    test::drainEvents();
    EXPECT_EQ(timer->recordedBooking(), booking);
    const auto written = onDisk();
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->booking, booking);
    recovery->confirmSaved(booking);
    EXPECT_FALSE(timer->recordedBooking().has_value());
    // The booked half hour left; the waiting task starts from nothing.
    ASSERT_TRUE(timer->task().has_value());
    EXPECT_EQ(timer->task()->id, QStringLiteral("21"));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 0);
}

// A booking whose answer never came is looked up at once. Not found before it could have
// arrived, it is looked for again (the tracker may still be storing it), never told as
// not saved; found, only its seconds leave the timer.
TEST_F(BookingRecoveryTest, AnUnansweredBookingIsLookedUpAtOnceAndAgainUntilFound) {
    timer->forgetBooking();
    auto recovery = recoveryOf(*timer);
    recovery->setRecheckDelay(50);
    // The window's start-up check: nothing recorded, the service kept.
    recovery->check(service);
    EXPECT_EQ(service->workEntries.calls(), 0);

    WorkLogBooking unanswered = dayBooking();
    unanswered.sent = QDateTime::currentDateTime();
    unanswered.started = *unanswered.sent;
    ASSERT_FALSE(timer->recordBooking(unanswered).has_value());
    timer->resume();
    env.clock->advance(300 * 1000);
    service->workEntries.answer({});
    timer->checkRecordedBooking();
    ASSERT_TRUE(test::waitUntil([&] { return service->workEntries.calls() >= 2; }))
        << "not looked up again after finding nothing";
    EXPECT_FALSE(told) << "too early to say it was not saved";
    EXPECT_EQ(timer->recordedBooking(), unanswered);

    // Entered on the day it arrived, made two seconds after it left.
    const WorkEntry ours = entry(QStringLiteral("ours"), QDateTime(unanswered.sent->date(), QTime(0, 0)),
                                 unanswered.sent->addSecs(2));
    service->workEntries.answer({ours});
    ASSERT_TRUE(test::waitUntil([&] { return !timer->recordedBooking(); }));
    EXPECT_FALSE(told);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 300) << "only the booked half hour left the running timer";
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
}

// A look-up that cannot reach the tracker keeps the record, tells the user once, and
// asks again by itself.
TEST_F(BookingRecoveryTest, ALookUpThatCannotReachTheTrackerAsksAgainLaterAndTellsOnce) {
    auto recovery = recoveryOf(*timer);
    recovery->setRecheckDelay(50);
    service->workEntries.answerError(APIError::failure(APIError::Cause::Unreachable));
    int failures = 0;
    QObject::connect(recovery.get(), &BookingRecovery::bookingCheckFailed, [&] { ++failures; });
    recovery->check(service);
    ASSERT_TRUE(test::waitUntil([&] { return service->workEntries.calls() >= 3; }));
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(timer->recordedBooking(), booking);
    service->workEntries.answer({entry(QStringLiteral("ours"), midnight(), sent.addSecs(3))});
    ASSERT_TRUE(test::waitUntil([&] { return !timer->recordedBooking(); }));
    EXPECT_FALSE(timer->isInUse());
}

} // namespace
} // namespace velmora
