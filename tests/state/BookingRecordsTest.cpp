#include "StateTestEnvironment.h"

#include "platform/plist/PropertyList.h"
#include "state/BookingRecords.h"
#include "state/TimerSnapshot.h"
#include "state/TimerViewModel.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FileSizeLimit.h"

#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

namespace velmora {
namespace {

const QString key = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");

// Every state a write of the snapshot file can take while `act` runs, as a crash at that
// moment would leave it.
std::vector<Snapshot> statesDuring(SnapshotManager& snapshots, const std::function<void()>& act) {
    std::vector<Snapshot> states;
    snapshots.setChangeObserver([&](const Snapshot& state) { states.push_back(state); });
    act();
    snapshots.setChangeObserver({});
    return states;
}

// What a snapshot state holds of the account's timer (0 when none) and of the record.
double timeOn(const Snapshot& state, const QDateTime& now) {
    const auto timer = TimerSnapshot::fromSnapshot(state.timers.value(key));
    return timer ? timer->elapsed(now) : 0;
}
std::optional<BookingRecord> recordIn(const Snapshot& state, const QUuid& id) {
    const QVariant stored = state.bookings.value(id.toString(QUuid::WithoutBraces));
    if (!stored.isValid()) {
        return std::nullopt;
    }
    auto decoded = BookingRecord::decode(stored);
    return decoded.ok() ? std::optional(decoded.value()) : std::nullopt;
}

class BookingRecordsTest : public ::testing::Test {
protected:
    BookingRecordsTest() { timer = std::make_unique<TimerViewModel>(key, env.environment()); }

    BookingRecords& records() { return *env.bookings; }

    // An hour and a half tracked on task 20, stopped.
    void track(const Issue& on = test::makeIssue(QStringLiteral("20")), qint64 seconds = 5400) {
        timer->start(project, on);
        env.clock->advance(seconds * 1000);
        timer->pause();
    }

    BookingRecord draft(qint64 seconds = 5400) const {
        BookingRecord made;
        made.account = key;
        made.tracker = QStringLiteral("Jira");
        made.project = project;
        made.task = test::makeIssue(QStringLiteral("20"));
        made.booking = WorkLogBooking{QStringLiteral("20"), env.clock->now(), seconds, QString()};
        made.booking.dating = WorkLogBooking::Dating::exact;
        return made;
    }

    QUuid depart(const std::optional<QUuid>& replacing = std::nullopt,
                 BookingRecord::Source source = BookingRecord::Source::timer) {
        BookingRecord made = draft();
        made.source = source;
        auto departed = records().depart(made, replacing);
        EXPECT_TRUE(departed.ok()) << (departed.ok() ? "" : departed.error().toStdString());
        return departed.ok() ? departed.value() : QUuid();
    }

    test::StateTestEnvironment env;
    const Project project = test::makeProject(QStringLiteral("p"));
    std::unique_ptr<TimerViewModel> timer;
};

// The booked seconds leave the timer in the very write that makes their record: no
// state of the file has them twice (booked again after a crash) or nowhere (lost).
TEST_F(BookingRecordsTest, ALeavingBookingTakesItsSecondsInTheWriteThatMakesItsRecord) {
    track();
    QUuid id;
    const auto states = statesDuring(*env.snapshots, [&] { id = depart(); });
    ASSERT_FALSE(states.empty());
    for (const Snapshot& state : states) {
        const auto record = recordIn(state, id);
        const double onTimer = timeOn(state, env.clock->now());
        EXPECT_DOUBLE_EQ(onTimer + (record ? record->booking.seconds : 0), 5400) << "twice or nowhere";
    }
    EXPECT_FALSE(timer->isInUse()) << "a paused timer left with nothing is idle";
    // On disk before depart() returned: a fresh reader sees it without waiting.
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    ASSERT_TRUE(recordIn(written, id).has_value());
    EXPECT_EQ(recordIn(written, id)->state, BookingRecord::State::leaving);
    EXPECT_FALSE(written.timers.contains(key));
}

TEST_F(BookingRecordsTest, ARunningTimerGivesUpOnlyTheBookedSecondsAndRunsOn) {
    track();
    timer->resume();
    env.clock->advance(600 * 1000);
    depart();
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600);
}

// The seconds come back in the very write that ends the record unsaved: onto the timer
// while it is idle or tracks the task, otherwise they stay on the record.
TEST_F(BookingRecordsTest, SecondsNotSavedComeBackInTheWriteThatEndsTheRecord) {
    track();
    const QUuid id = depart();
    records().unseen(id, APIError::failure(APIError::Cause::TimedOut));
    const auto states =
        statesDuring(*env.snapshots, [&] { records().end(id, BookingRecord::Ending::notListed); });
    ASSERT_FALSE(states.empty());
    for (const Snapshot& state : states) {
        const auto record = recordIn(state, id);
        ASSERT_TRUE(record.has_value());
        const double held = record->holdsSeconds() ? record->booking.seconds : 0;
        EXPECT_DOUBLE_EQ(timeOn(state, env.clock->now()) + held, 5400) << "twice or nowhere";
    }
    ASSERT_EQ(records().record(id)->state, BookingRecord::State::notSaved);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 5400);
    EXPECT_EQ(timer->task()->id, QStringLiteral("20"));
    EXPECT_EQ(timer->project(), project) << "back on an idle timer with its project";
}

TEST_F(BookingRecordsTest, SecondsWithNowhereToGoWaitOnTheirRecordUntilBookedOrDiscarded) {
    track();
    const QUuid first = depart();
    // The timer goes on to another task meanwhile.
    track(test::makeIssue(QStringLiteral("21")), 1200);
    records().refused(first, APIError::validation().withHttpStatus(400), false);
    ASSERT_EQ(records().record(first)->state, BookingRecord::State::returned);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200) << "the other task's time is its own";
    EXPECT_EQ(records().heldNotes(key).size(), 1);

    // Booked again from a sheet: the new record takes the seconds over, in one write.
    QUuid second;
    const auto states =
        statesDuring(*env.snapshots, [&] { second = depart(first, BookingRecord::Source::manual); });
    for (const Snapshot& state : states) {
        const auto old = recordIn(state, first);
        const auto fresh = recordIn(state, second);
        const int holding = (old && old->holdsSeconds()) + (fresh && fresh->holdsSeconds());
        EXPECT_EQ(holding, 1) << "the returned seconds held twice or by none";
    }
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::discarded);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200) << "nothing came off the other task's time";

    // Discarded instead.
    records().refused(second, APIError::validation().withHttpStatus(400), false);
    ASSERT_EQ(records().record(second)->state, BookingRecord::State::returned);
    records().discard(second);
    EXPECT_EQ(records().record(second)->state, BookingRecord::State::discarded);
    EXPECT_TRUE(records().heldNotes(key).isEmpty());
}

// A refusal while the sheet that typed the time by hand is open leaves the time with
// the sheet; with the sheet gone it waits on the record.
TEST_F(BookingRecordsTest, ARefusedBookingByHandIsTheOpenSheetsOrWaitsForTheUser) {
    const QUuid open = depart(std::nullopt, BookingRecord::Source::manual);
    records().refused(open, APIError::validation(), true);
    EXPECT_EQ(records().record(open)->state, BookingRecord::State::notSaved);
    const QUuid closed = depart(std::nullopt, BookingRecord::Source::manual);
    records().refused(closed, APIError::validation(), false);
    EXPECT_EQ(records().record(closed)->state, BookingRecord::State::returned);
    EXPECT_FALSE(timer->isInUse()) << "time typed by hand never lands on the timer";
}

// Nothing leaves without its record: when it cannot be written, nothing changed, in
// memory or on disk, and the timer keeps its time.
TEST_F(BookingRecordsTest, ARecordThatCannotBeWrittenChangesNothing) {
    track();
    env.snapshots->flush();
    const qint64 size = QFileInfo(env.snapshotPath()).size();
    ASSERT_GT(size, 0);
    std::optional<QString> failure;
    {
        test::FileSizeLimit full(static_cast<rlim_t>(size));
        ASSERT_TRUE(full.active());
        auto departed = records().depart(draft());
        ASSERT_FALSE(departed.ok());
        failure = departed.error();
    }
    EXPECT_FALSE(failure->isEmpty());
    EXPECT_TRUE(records().records().empty());
    EXPECT_DOUBLE_EQ(timer->elapsed(), 5400);
    EXPECT_TRUE(env.snapshots->load().bookings.isEmpty()) << "a later write would bring the record to disk";
    env.snapshots->save(SnapshotKind::Filters, QStringLiteral("x"), QVariantMap{});
    env.snapshots->flush();
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_TRUE(written.bookings.isEmpty());
    EXPECT_DOUBLE_EQ(timeOn(written, env.clock->now()), 5400);
}

// A start settles what a start settles: settled records go, a record still leaving is
// one whose answer that run never saw; all in one write.
TEST_F(BookingRecordsTest, AStartDropsSettledRecordsAndTakesOneStillLeavingAsUnknown) {
    track();
    const QUuid leaving = depart();
    track(test::makeIssue(QStringLiteral("20")), 600);
    const QUuid saved = depart();
    records().answered(saved, QStringLiteral("w-1"));
    timer.reset();
    env.reopenSnapshots();
    EXPECT_FALSE(records().record(saved).has_value());
    ASSERT_TRUE(records().record(leaving).has_value());
    EXPECT_EQ(records().record(leaving)->state, BookingRecord::State::unknown);
    EXPECT_TRUE(records().record(leaving)->stoppedWhileLeaving);
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_EQ(written.bookings.size(), 1) << "on disk as it is in memory";
}

// What an earlier version kept on the timer (the booking, with the time still on the
// timer) becomes a record holding the seconds, in one write.
TEST_F(BookingRecordsTest, ABookingAnEarlierVersionKeptOnTheTimerIsTakenOver) {
    track();
    timer.reset();
    WorkLogBooking old{QStringLiteral("20"), env.clock->now().addSecs(-5400), 5400, QString()};
    old.sent = env.clock->now().addSecs(-30);
    QVariantMap stored = env.snapshots->value(SnapshotKind::Timers, key)->toMap();
    stored.insert(QStringLiteral("booking"), BookingRecord::encodeBooking(old));
    env.snapshots->save(SnapshotKind::Timers, key, stored);
    env.reopenSnapshots();
    const auto all = records().records(key);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.front().state, BookingRecord::State::unknown);
    EXPECT_EQ(all.front().booking.seconds, 5400);
    EXPECT_EQ(all.front().task.reference, QStringLiteral("KEY-20"));
    EXPECT_EQ(records().windowLeft(all.front()), (BookingRecords::arrivalWindow - 30) * 1000);
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_FALSE(written.timers.contains(key)) << "the seconds moved to the record";
    EXPECT_EQ(written.bookings.size(), 1);
}

// A record that does not read is dropped (and logged); the others stay. Numbers from
// the file are bounded before they are used.
TEST_F(BookingRecordsTest, ARecordThatDoesNotReadIsDroppedAndOthersStay) {
    track();
    const QUuid id = depart();
    QVariantMap bookings = env.snapshots->load().bookings;
    QVariantMap hostile = bookings.value(id.toString(QUuid::WithoutBraces)).toMap();
    hostile.insert(QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    hostile.insert(QStringLiteral("lookUpFailures"), 1e300);
    hostile.insert(
        QStringLiteral("windowEnd"),
        QVariantMap{{QStringLiteral("boot"), QStringLiteral("test-boot")}, {QStringLiteral("msecs"), 1e300}});
    bookings.insert(hostile.value(QStringLiteral("id")).toString(), hostile);
    bookings.insert(QStringLiteral("junk"), QStringLiteral("not a record"));
    bookings.insert(QUuid::createUuid().toString(QUuid::WithoutBraces),
                    QVariantMap{{QStringLiteral("state"), 3}});
    Snapshot all = env.snapshots->load();
    all.bookings = bookings;
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();
    const auto kept = records().records();
    ASSERT_EQ(kept.size(), 2u);
    for (const BookingRecord& record : kept) {
        EXPECT_GE(record.lookUpFailures, 0);
        EXPECT_LE(record.lookUpFailures, 1000);
        EXPECT_LE(records().windowLeft(record), BookingRecords::arrivalWindow * 1000);
    }
    EXPECT_EQ(env.snapshots->load().bookings.size(), 2);
}

// A file with more records than can ever be open costs no more than its bound.
TEST_F(BookingRecordsTest, AtMostTheBoundOfRecordsIsReadAtAStart) {
    track();
    const QUuid id = depart();
    const QVariantMap one = env.snapshots->load().bookings.value(id.toString(QUuid::WithoutBraces)).toMap();
    Snapshot all = env.snapshots->load();
    for (int i = 0; i < BookingRecords::recordsRead + 50; ++i) {
        QVariantMap copy = one;
        const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        copy.insert(QStringLiteral("id"), key);
        all.bookings.insert(key, copy);
    }
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();
    EXPECT_EQ(records().records().size(), static_cast<std::size_t>(BookingRecords::recordsRead));
    EXPECT_EQ(env.snapshots->load().bookings.size(), BookingRecords::recordsRead)
        << "the rest dropped on disk too";
}

TEST_F(BookingRecordsTest, SettledRecordsAreKeptUpToTheirBoundOldestGoFirst) {
    std::vector<QUuid> ids;
    for (int i = 0; i < BookingRecords::settledKept + 3; ++i) {
        const QUuid id = depart(std::nullopt, BookingRecord::Source::manual);
        env.clock->advance(1000);
        records().answered(id, QStringLiteral("w-%1").arg(i));
        ids.push_back(id);
    }
    EXPECT_EQ(records().records().size(), static_cast<std::size_t>(BookingRecords::settledKept));
    EXPECT_FALSE(records().record(ids.front()).has_value());
    EXPECT_TRUE(records().record(ids.back()).has_value());
    EXPECT_EQ(env.snapshots->load().bookings.size(), BookingRecords::settledKept);
}

TEST_F(BookingRecordsTest, ARecordReadsBackAsItWasWritten) {
    track();
    const QUuid id = depart();
    records().unseen(
        id, APIError::failure(APIError::Cause::ServerError, 503).withHost(QStringLiteral("jira.test")));
    WorkEntry question;
    question.id = QStringLiteral("w9");
    question.issue.id = QStringLiteral("20");
    question.spentTimeSeconds = 5400;
    question.started = QDateTime(QDate(2025, 3, 5), QTime(10, 0), QTimeZone(3600));
    question.created = QDateTime::fromMSecsSinceEpoch(1'741'176'000'123);
    records().ask(id, question);
    const BookingRecord before = *records().record(id);
    const auto decoded = BookingRecord::decode(before.toSnapshot());
    ASSERT_TRUE(decoded.ok()) << decoded.error().toStdString();
    EXPECT_EQ(decoded.value(), before);
    EXPECT_EQ(decoded.value().unseen->httpStatus(), 503);
    EXPECT_EQ(decoded.value().unseen->host(), QStringLiteral("jira.test"));
    EXPECT_EQ(decoded.value().question->started.offsetFromUtc(), 3600);
}

} // namespace
} // namespace velmora
