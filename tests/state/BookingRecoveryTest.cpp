#include "StateTestEnvironment.h"

#include "platform/plist/PropertyList.h"
#include "state/BookingRecords.h"
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

// A paged list repeats an item when entries arrive between its pages: the same entry twice
// is still one look-alike, and the booking.
TEST(BookingRecoveryJudgeTest, AnEntryListedTwiceIsOneEntry) {
    WorkLogBooking listed = dayBooking();
    listed.before = std::vector<QString>{};
    const WorkEntry ownExact =
        entry(QStringLiteral("j"), exactBooking().started, std::nullopt, QStringLiteral("standup"));
    const WorkEntry ownByDay = entry(QStringLiteral("d"), midnight(), sent.addSecs(2));
    const std::pair<WorkLogBooking, WorkEntry> cases[] = {
        {exactBooking(), ownExact}, {dayBooking(), ownByDay}, {listed, ownByDay}};
    for (const auto& [booking, own] : cases) {
        const auto verdict = BookingRecovery::judge({own, own}, booking);
        EXPECT_EQ(verdict.kind, Kind::saved) << own.id.toStdString();
    }
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

// The booking as its note on disk gives it back (a property list's dates keep whole seconds).
WorkLogBooking throughTheFile(const WorkLogBooking& booking) {
    const auto written = PropertyList::toXml(QVariantList{BookingRecord::encodeBooking(booking)});
    EXPECT_TRUE(written.ok());
    const auto read = PropertyList::parse(written.value());
    EXPECT_TRUE(read.ok());
    return BookingRecord::decodeBooking(read.value().toList().value(0)).value_or(WorkLogBooking{});
}

// A tracker that keeps the start as sent tells two bookings 1.8 s apart by it, after a start
// too: the note keeps the start to the millisecond (one that says two things of it is read by
// its date).
TEST(BookingRecoveryJudgeTest, StartsASecondAndAHalfApartStayApartThroughTheNote) {
    WorkLogBooking first = exactBooking();
    first.started = QDateTime::fromMSecsSinceEpoch(1'741'176'000'100);
    WorkLogBooking second = first;
    second.started = first.started.addMSecs(1800);
    const WorkEntry firstsEntry =
        entry(QStringLiteral("first"), first.started, std::nullopt, QStringLiteral("standup"));
    const WorkLogBooking read = throughTheFile(second);
    EXPECT_EQ(read.started.toMSecsSinceEpoch(), second.started.toMSecsSinceEpoch());
    EXPECT_EQ(BookingRecovery::judge({firstsEntry}, read).kind, Kind::notFound) << "the other's entry taken";

    QVariantMap stored = BookingRecord::encodeBooking(second).toMap();
    stored.insert(QStringLiteral("startedMs"),
                  static_cast<double>(second.started.addSecs(900).toMSecsSinceEpoch()));
    EXPECT_LE(std::abs(BookingRecord::decodeBooking(stored)->started.msecsTo(second.started)), 1000);
}

// A timer that tracked half an hour on task 20, whose booking left (its record took the
// half hour off the timer) and got no answer that said what became of it; the tracker's
// lists are scripted, the clocks moved by hand.
class BookingRecoveryTest : public ::testing::Test {
protected:
    BookingRecoveryTest() {
        timer = std::make_unique<TimerViewModel>(key, env.environment());
        timer->start(test::makeProject(QStringLiteral("p")), task);
        env.clock->advance(1800 * 1000);
        timer->pause();
        recovery = std::make_unique<BookingRecovery>(records(), [this](const QString& account) {
            ++servicesAsked;
            return account == key ? service : nullptr;
        });
        id = depart(booking);
    }

    BookingRecords& records() { return *env.bookings; }
    std::optional<BookingRecord> record() { return records().record(id); }
    BookingRecord::State state() { return record() ? record()->state : BookingRecord::State::discarded; }

    QUuid depart(const WorkLogBooking& sent) {
        BookingRecord draft;
        draft.account = key;
        draft.tracker = QStringLiteral("Jira");
        draft.project = test::makeProject(QStringLiteral("p"));
        draft.task = task;
        draft.booking = sent;
        const QUuid made = records().depart(draft, std::nullopt, {});
        settle();
        return made;
    }

    // The booking's answer never came: the look-ups begin.
    void unseen() {
        records().unseen(id, APIError::failure(APIError::Cause::TimedOut));
        settle();
    }

    // Every look-up's answer arrived and every change it made is on disk and told.
    void settle() {
        for (int round = 0; round < 4; ++round) {
            test::drainEvents();
            records().settle();
        }
    }

    // Moves the boot clock (and so the look-ups planned on it), letting each look-up's
    // answer arrive.
    void pass(qint64 ms) {
        env.bootClock->advance(ms);
        settle();
    }

    int lookUps() const { return service->workEntries.calls(); }

    // The booking's own entry, made two seconds after it left.
    static WorkEntry ours() { return entry(QStringLiteral("ours"), midnight(), sent.addSecs(2)); }

    test::StateTestEnvironment env;
    const QString key = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");
    const Issue task = test::makeIssue(QStringLiteral("20"));
    const WorkLogBooking booking = dayBooking();
    std::unique_ptr<TimerViewModel> timer;
    std::shared_ptr<test::FakeProviderService> service = std::make_shared<test::FakeProviderService>();
    std::unique_ptr<BookingRecovery> recovery;
    QUuid id;
    int servicesAsked = 0;
};

TEST_F(BookingRecoveryTest, AnUnknownBookingIsLookedUpAtOnceAndFoundItsSecondsAreGone) {
    EXPECT_DOUBLE_EQ(timer->elapsed(), 0) << "the half hour left with the booking";
    EXPECT_EQ(state(), BookingRecord::State::leaving);
    service->workEntries.answer({ours()});
    unseen();
    settle();
    EXPECT_EQ(lookUps(), 1);
    // The task's own work logs are read, around the booking's start, not the calendar.
    ASSERT_EQ(service->ownEntryTasks.size(), 1u);
    EXPECT_EQ(service->ownEntryTasks.front().id, QStringLiteral("20"));
    ASSERT_EQ(service->workEntryIntervals.size(), 1u);
    EXPECT_TRUE(service->workEntryIntervals.front().contains(booking.started));
    ASSERT_EQ(state(), BookingRecord::State::saved);
    EXPECT_TRUE(record()->savedLater) << "the main window says it was found";
    EXPECT_EQ(record()->entryId, QStringLiteral("ours"));
    EXPECT_FALSE(timer->isInUse()) << "nothing came back to the timer";
}

// Many held bookings of one account ask its tracker a few at a time; each that ends lets the
// next that waited go.
TEST_F(BookingRecoveryTest, TheLookUpsOfOneAccountGoAFewAtATime) {
    service->workEntries.hold();
    unseen();
    for (int i = 0; i < BookingRecovery::lookUpsAtOnce + 2; ++i) {
        records().unseen(depart(booking), APIError::failure(APIError::Cause::TimedOut));
    }
    settle();
    EXPECT_EQ(service->workEntries.waiting(), BookingRecovery::lookUpsAtOnce);
    service->workEntries.complete({});
    settle();
    EXPECT_EQ(service->workEntries.waiting(), BookingRecovery::lookUpsAtOnce) << "the next went";
    EXPECT_EQ(lookUps(), BookingRecovery::lookUpsAtOnce + 1);
}

// Nothing listed inside the arrival window only plans the next look-up, after the
// default 30 s on the boot clock and not before; the window's end decides.
TEST_F(BookingRecoveryTest, NothingListedIsAskedAgainThirtySecondsLaterUntilTheWindowEnds) {
    service->workEntries.answer({});
    unseen();
    settle();
    ASSERT_EQ(lookUps(), 1);
    ASSERT_EQ(state(), BookingRecord::State::unknown);
    EXPECT_EQ(record()->lookUp, BookingRecord::LookUp::nothingListed);
    ASSERT_TRUE(record()->nextLookUpWall.has_value());
    EXPECT_EQ(env.clock->now().msecsTo(*record()->nextLookUpWall), 30000);
    pass(29'999);
    EXPECT_EQ(lookUps(), 1) << "asked again before the delay";
    pass(1);
    EXPECT_EQ(lookUps(), 2);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 0) << "held while the window lasts";
    // To the window's end: the last look-up comes as it ends, and nothing listed then
    // gives the time back, told as maybe not saved.
    while (state() == BookingRecord::State::unknown && lookUps() < 100) {
        pass(30'000);
    }
    EXPECT_EQ(lookUps(), 2 + 19) << "every 30 s, then one as the window ended";
    ASSERT_EQ(state(), BookingRecord::State::notSaved);
    EXPECT_EQ(record()->ending, BookingRecord::Ending::notListed);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
    EXPECT_EQ(timer->task(), task);
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
}

// Failed look-ups back off (30, 60, 120, 240 s, then 240 s again), a 401 or 404 like any
// other, and the hold ends with the window even when the tracker never answered.
TEST_F(BookingRecoveryTest, FailedLookUpsBackOffAndTheHoldEndsWithTheWindow) {
    service->workEntries.answerError(APIError::unauthorized().withHttpStatus(401));
    unseen();
    settle();
    std::vector<qint64> at{0};
    qint64 now = 0;
    while (state() == BookingRecord::State::unknown && now < 3'600'000) {
        const int before = lookUps();
        pass(1000);
        now += 1000;
        if (lookUps() > before) {
            at.push_back(now / 1000);
        }
    }
    EXPECT_EQ(at, (std::vector<qint64>{0, 30, 90, 210, 450, 601})) << "asked at these seconds";
    // Nobody learnt whether it was saved: the time waits on its record for the user, not on
    // the timer, where a later booking of the timer's time would book it twice.
    ASSERT_EQ(state(), BookingRecord::State::returned);
    EXPECT_EQ(record()->ending, BookingRecord::Ending::notLearnt);
    EXPECT_EQ(record()->booking.seconds, 1800);
    EXPECT_FALSE(timer->isInUse());
}

// The window is measured on the boot clock: the wall clock set forward an hour neither
// ends it (then booked twice), nor set back an hour prolongs it to seventy minutes.
TEST_F(BookingRecoveryTest, AWallClockSetForwardOrBackDoesNotMoveTheWindow) {
    service->workEntries.answer({});
    unseen();
    settle();
    env.clock->advance(3600 * 1000);
    pass(30'000);
    EXPECT_EQ(state(), BookingRecord::State::unknown) << "an hour on the wall clock ended the window";
    // Found at the next look-up: booked once.
    service->workEntries.answer({ours()});
    pass(30'000);
    EXPECT_EQ(state(), BookingRecord::State::saved);

    // Another booking, the wall clock then set back an hour: held for the window, no more.
    timer->start(test::makeProject(QStringLiteral("p")), task);
    env.clock->advance(1800 * 1000);
    timer->pause();
    id = depart(dayBooking());
    service->workEntries.answer({});
    unseen();
    settle();
    env.clock->advance(-3600 * 1000);
    pass(BookingRecords::arrivalWindow * 1000 - 10'000);
    EXPECT_EQ(state(), BookingRecord::State::unknown);
    pass(12'000);
    ASSERT_EQ(state(), BookingRecord::State::notSaved) << "held past the window's length";
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
}

// A record settled otherwise (here the user books the time again) calls off the
// look-up planned for it: the next booking of the same task, still on its way, is not
// looked up in its place.
TEST_F(BookingRecoveryTest, ASettledRecordsPlannedLookUpIsCalledOff) {
    service->workEntries.answer({});
    unseen();
    settle();
    ASSERT_EQ(record()->lookUp, BookingRecord::LookUp::nothingListed);
    ASSERT_TRUE(recovery->isPlanned(id));
    std::optional<bool> onTimer;
    records().bookAgain(id, [&onTimer](bool back) { onTimer = back; });
    settle();
    ASSERT_EQ(onTimer, std::optional<bool>(true));
    EXPECT_EQ(state(), BookingRecord::State::notSaved);
    EXPECT_FALSE(recovery->isPlanned(id)) << "its planned look-up was not called off";
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1800);
    const QUuid first = id;
    id = depart(dayBooking());
    pass(60'000);
    EXPECT_EQ(lookUps(), 1) << "a look-up ran after its booking was settled";
    EXPECT_EQ(state(), BookingRecord::State::leaving);
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::notSaved);
}

// A booking whose request ended unseen (its form went with its window) is taken as
// unknown once its answer can no longer come.
TEST_F(BookingRecoveryTest, ABookingStillLeavingPastItsAnswersBoundIsLookedUp) {
    service->workEntries.answer({ours()});
    pass(BookingRecovery::leavingBound - 1000);
    EXPECT_EQ(state(), BookingRecord::State::leaving);
    EXPECT_EQ(lookUps(), 0);
    pass(1000);
    EXPECT_EQ(lookUps(), 1);
    EXPECT_EQ(state(), BookingRecord::State::saved);
}

// The question about an entry: the record (and the time it holds) stays while the timer
// moves on to another task, also on disk, until the user answers.
TEST_F(BookingRecoveryTest, TheQuestionsRecordStaysWhileTheTimerMovesToAnotherTask) {
    service->workEntries.answer({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    unseen();
    settle();
    ASSERT_EQ(state(), BookingRecord::State::asked);
    ASSERT_TRUE(record()->question.has_value());
    EXPECT_EQ(record()->question->id, QStringLiteral("late"));
    // Under a minute on the timer: another task starts at once, no reset between.
    timer->start(test::makeProject(QStringLiteral("p")), test::makeIssue(QStringLiteral("21")));
    EXPECT_FALSE(timer->hasPendingStart());
    env.clock->advance(600 * 1000);
    settle();
    EXPECT_EQ(state(), BookingRecord::State::asked) << "the record went with the timer's move";
    env.snapshots->flush();
    const auto written = SnapshotManager(env.snapshotPath()).load().bookings;
    ASSERT_TRUE(written.contains(id.toString(QUuid::WithoutBraces)));
    EXPECT_EQ(BookingRecord::decode(written.value(id.toString(QUuid::WithoutBraces))).value().state,
              BookingRecord::State::asked);
    // Kept: the half hour had nowhere to go on a timer tracking task 21.
    records().keepTime(id);
    settle();
    EXPECT_EQ(state(), BookingRecord::State::returned);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600);
    EXPECT_EQ(timer->task()->id, QStringLiteral("21"));
}

TEST_F(BookingRecoveryTest, ItWasSavedSettlesTheQuestionAndTouchesNoTimer) {
    service->workEntries.answer({entry(QStringLiteral("late"), midnight(), std::nullopt)});
    unseen();
    settle();
    ASSERT_EQ(state(), BookingRecord::State::asked);
    timer->start(test::makeProject(QStringLiteral("p")), task);
    env.clock->advance(600 * 1000);
    records().confirmSaved(id);
    settle();
    EXPECT_EQ(state(), BookingRecord::State::saved);
    EXPECT_EQ(record()->entryId, QStringLiteral("late"));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600) << "the time of its own is the timer's";
    pass(BookingRecords::arrivalWindow * 1000);
    EXPECT_EQ(lookUps(), 1) << "nothing more is asked of a settled booking";
}

// A start inside the window (a kill, a quit) goes on where the last run left: the
// same window on the same boot, looked up again at once.
TEST_F(BookingRecoveryTest, ARestartInsideTheWindowResumesItsLookUps) {
    service->workEntries.answer({});
    unseen();
    settle();
    pass(200'000);
    const qint64 left = records().windowLeft(*record());
    recovery.reset();
    timer.reset();
    env.reopenSnapshots();
    timer = std::make_unique<TimerViewModel>(key, env.environment());
    recovery = std::make_unique<BookingRecovery>(records(), [this](const QString&) { return service; });
    ASSERT_EQ(state(), BookingRecord::State::unknown);
    EXPECT_EQ(records().windowLeft(*record()), left) << "the window is the same";
    EXPECT_FALSE(record()->stoppedWhileLeaving) << "its answer was seen to fail before the stop";
    const int before = lookUps();
    recovery->start();
    settle();
    EXPECT_EQ(lookUps(), before + 1);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 0) << "the time was never given back as unbooked";
    service->workEntries.answer({ours()});
    pass(30'000);
    EXPECT_EQ(state(), BookingRecord::State::saved);
}

// On another boot the boot clock says nothing of the time passed: the wall clock does,
// and a wall clock that went back (the booking seems to have left in the future) is a
// jump: nothing is known, and a whole window is waited.
TEST_F(BookingRecoveryTest, AfterARebootTheRestOfTheWindowIsReadOffTheWallClockAndAJumpRestartsIt) {
    unseen();
    recovery.reset();
    timer.reset();
    env.bootClock->reboot("another-boot");
    // The booking left at `sent` (its record says); the wall clock now reads 100 s later.
    env.clock->set(sent.addSecs(100));
    env.reopenSnapshots();
    ASSERT_TRUE(record().has_value());
    EXPECT_EQ(records().windowLeft(*record()), (BookingRecords::arrivalWindow - 100) * 1000);
    EXPECT_EQ(record()->windowEnd.boot, QByteArray("another-boot"));

    env.bootClock->reboot("a-third-boot");
    env.clock->set(sent.addSecs(-3600));
    env.reopenSnapshots();
    EXPECT_EQ(records().windowLeft(*record()), BookingRecords::arrivalWindow * 1000);
}

// The account's service is made once for its look-ups, not at every one.
TEST_F(BookingRecoveryTest, TheServiceIsMadeOnceWhileLookUpsLast) {
    service->workEntries.answer({});
    unseen();
    settle();
    pass(30'000);
    pass(30'000);
    EXPECT_EQ(lookUps(), 3);
    EXPECT_EQ(servicesAsked, 1);
}

} // namespace
} // namespace velmora
