#include "StateTestEnvironment.h"

#include "platform/plist/PropertyList.h"
#include "state/BookingClaimsJournal.h"
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

// An entry of the tracker on task 20.
WorkEntry entryOnTask20(const QString& id, double seconds, const QDateTime& started) {
    WorkEntry entry;
    entry.id = id;
    entry.issue.id = QStringLiteral("20");
    entry.spentTimeSeconds = seconds;
    entry.started = started;
    return entry;
}

class BookingRecordsTest : public ::testing::Test {
protected:
    BookingRecordsTest() { timer = std::make_unique<TimerViewModel>(key, env.environment()); }

    BookingRecords& records() { return *env.bookings; }
    // Every change asked for is on disk and told.
    void settle() { records().settle(); }

    // An hour and a half tracked on task 20, stopped.
    void track(const Issue& on = test::makeIssue(QStringLiteral("20")), qint64 seconds = 5400) {
        timer->start(project, on);
        env.clock->advance(seconds * 1000);
        timer->pause();
    }

    BookingRecord draft(qint64 seconds = 5400, const QString& account = key) const {
        BookingRecord made;
        made.account = account;
        made.tracker = QStringLiteral("Jira");
        made.project = project;
        made.task = test::makeIssue(QStringLiteral("20"));
        made.booking = WorkLogBooking{QStringLiteral("20"), env.clock->now(), seconds, QString()};
        made.booking.dating = WorkLogBooking::Dating::exact;
        return made;
    }

    QUuid depart(const std::optional<QUuid>& replacing = std::nullopt,
                 BookingRecord::Source source = BookingRecord::Source::timer, qint64 seconds = 5400,
                 const QString& account = key) {
        BookingRecord made = draft(seconds, account);
        made.source = source;
        std::optional<std::optional<QString>> written;
        const QUuid id = records().depart(
            made, replacing, [&written](const std::optional<QString>& failure) { written = failure; });
        settle();
        EXPECT_TRUE(written.has_value()) << "told whether it is on disk";
        EXPECT_FALSE(written && *written) << (written && *written ? (*written)->toStdString() : "");
        return id;
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
    // On disk once it is told: a fresh reader sees it.
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    ASSERT_TRUE(recordIn(written, id).has_value());
    EXPECT_EQ(recordIn(written, id)->state, BookingRecord::State::leaving);
    EXPECT_FALSE(written.timers.contains(key));
}

// The records show and tell only what is on disk, and nothing on the calling thread waits
// for the disk: the change is asked for, the write goes on behind, and only then does it
// show.
TEST_F(BookingRecordsTest, AChangeShowsAndIsToldOnlyOnceItIsOnDisk) {
    track();
    std::vector<QUuid> told;
    QObject::connect(&records(), &BookingRecords::recordChanged, &records(),
                     [&told](const QUuid& changed) { told.push_back(changed); });
    bool written = false;
    const QUuid id = records().depart(draft(), std::nullopt, [&](const std::optional<QString>& failure) {
        written = !failure;
        // By now a fresh reader of the file sees it.
        EXPECT_TRUE(recordIn(SnapshotManager(env.snapshotPath()).load(), id).has_value());
    });
    EXPECT_FALSE(records().record(id).has_value()) << "shown before it is on disk";
    EXPECT_TRUE(told.empty());
    ASSERT_TRUE(test::waitUntil([&] { return written; }));
    EXPECT_TRUE(records().record(id).has_value());
    EXPECT_EQ(told, std::vector<QUuid>{id});
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
    settle();
    const auto states = statesDuring(*env.snapshots, [&] {
        records().end(id, BookingRecord::Ending::notListed);
        settle();
    });
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

// Time whose outcome nobody learnt may be at the tracker: on the timer, the next booking
// of the timer's time would book it again. It waits on its record, for the user.
TEST_F(BookingRecordsTest, TimeNeverLearntWaitsOnItsRecordNotOnTheTimer) {
    track();
    timer->resume();
    const QUuid id = depart();
    records().unseen(id, APIError::failure(APIError::Cause::TimedOut));
    settle();
    env.clock->advance(60 * 1000);
    records().end(id, BookingRecord::Ending::notLearnt);
    settle();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 60) << "the running timer's time is its own";
}

TEST_F(BookingRecordsTest, SecondsWithNowhereToGoWaitOnTheirRecordUntilBookedOrDiscarded) {
    track();
    const QUuid first = depart();
    // The timer goes on to another task meanwhile.
    track(test::makeIssue(QStringLiteral("21")), 1200);
    records().refused(first, APIError::validation().withHttpStatus(400));
    settle();
    ASSERT_EQ(records().record(first)->state, BookingRecord::State::returned);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200) << "the other task's time is its own";
    EXPECT_EQ(records().heldNotes(key).size(), 1);

    // Booked again from a sheet: the returned record itself leaves with its seconds.
    QUuid second;
    const auto states =
        statesDuring(*env.snapshots, [&] { second = depart(first, BookingRecord::Source::manual); });
    EXPECT_EQ(second, first) << "the returned time keeps its one record";
    for (const Snapshot& state : states) {
        const auto record = recordIn(state, first);
        ASSERT_TRUE(record.has_value());
        EXPECT_TRUE(record->holdsSeconds()) << "the returned seconds held by none";
    }
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::leaving);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200) << "nothing came off the other task's time";

    // Refused again: the time is still on that record, never only in a sheet.
    records().refused(second, APIError::rateLimited(120).withHttpStatus(429));
    settle();
    ASSERT_EQ(records().record(second)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().record(second)->booking.seconds, 5400);
    records().discard(second);
    settle();
    EXPECT_EQ(records().record(second)->state, BookingRecord::State::discarded);
    EXPECT_TRUE(records().heldNotes(key).isEmpty());
}

// Booking only part of returned time: the part leaves on a record of its own, the rest
// waits where it was; no write holds any second twice or nowhere.
TEST_F(BookingRecordsTest, PartOfReturnedTimeLeavesAndTheRestWaits) {
    track();
    const QUuid first = depart();
    track(test::makeIssue(QStringLiteral("21")), 1200);
    records().refused(first, APIError::validation().withHttpStatus(400));
    settle();
    QUuid part;
    const auto states =
        statesDuring(*env.snapshots, [&] { part = depart(first, BookingRecord::Source::manual, 1800); });
    EXPECT_NE(part, first);
    for (const Snapshot& state : states) {
        double held = 0;
        for (const QUuid& id : {first, part}) {
            const auto record = recordIn(state, id);
            held += record && record->holdsSeconds() ? record->booking.seconds : 0;
        }
        EXPECT_DOUBLE_EQ(held, 5400);
    }
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().record(first)->booking.seconds, 3600);
    EXPECT_EQ(records().record(part)->booking.seconds, 1800);
}

// Two bookings of one returned record asked for before either is written (two sheets, two
// clicks): the second was judged against the time the record held when it was asked for, and
// once the first had taken a part, it booked the rest as a record of its own while the returned
// record kept it too. A booking whose returned time changed meanwhile is refused, and every
// second stays held once.
TEST_F(BookingRecordsTest, TwoBookingsOfOneReturnedRecordNeverHoldItsTimeTwice) {
    track();
    const QUuid first = depart();
    track(test::makeIssue(QStringLiteral("21")), 1200);
    records().refused(first, APIError::validation().withHttpStatus(400));
    settle();
    std::vector<std::optional<QString>> written;
    const auto ask = [&](qint64 seconds) {
        BookingRecord made = draft(seconds);
        made.source = BookingRecord::Source::manual;
        return records().depart(made, first, [&written](const std::optional<QString>& failure) {
            written.push_back(failure);
        });
    };
    const QUuid part = ask(1800);
    const QUuid more = ask(2700);
    settle();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_FALSE(written[0].has_value()) << "the first is written";
    EXPECT_TRUE(written[1].has_value()) << "the second is refused, its returned time having changed";
    qint64 held = 0;
    for (const QUuid& id : {first, part, more}) {
        const auto record = records().record(id);
        held += record && record->holdsSeconds() ? record->booking.seconds : 0;
    }
    EXPECT_EQ(held, 5400) << "every second of the returned time held once";
    EXPECT_EQ(records().record(first)->booking.seconds, 3600);
}

// A refusal of time typed by hand leaves it on its record for the user, whatever became of
// the sheet: a sheet closed later takes nothing with it.
TEST_F(BookingRecordsTest, ARefusedBookingByHandWaitsOnItsRecordNeverOnlyInTheSheet) {
    const QUuid id = depart(std::nullopt, BookingRecord::Source::manual);
    records().refused(id, APIError::validation());
    settle();
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().heldNotes(key).size(), 1);
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
    std::vector<QUuid> told;
    QString failed;
    QObject::connect(&records(), &BookingRecords::recordChanged, &records(),
                     [&told](const QUuid& changed) { told.push_back(changed); });
    QObject::connect(&records(), &BookingRecords::writeFailed, &records(),
                     [&failed](const QString& reason) { failed = reason; });
    QUuid id;
    {
        test::FileSizeLimit full(static_cast<rlim_t>(size));
        ASSERT_TRUE(full.active());
        id = records().depart(draft(), std::nullopt,
                              [&failure](const std::optional<QString>& why) { failure = why; });
        settle();
    }
    ASSERT_TRUE(failure.has_value());
    EXPECT_FALSE(failure->isEmpty());
    EXPECT_FALSE(failed.isEmpty()) << "the user is told";
    EXPECT_TRUE(told.empty()) << "no view hears of a change that did not happen";
    EXPECT_FALSE(records().record(id).has_value());
    EXPECT_TRUE(records().records().empty());
    EXPECT_DOUBLE_EQ(timer->elapsed(), 5400);
    EXPECT_TRUE(env.snapshots->load().bookings.isEmpty()) << "a later write would bring the record to disk";
    env.snapshots->save(SnapshotKind::Filters, QStringLiteral("x"), QVariantMap{});
    env.snapshots->flush();
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_TRUE(written.bookings.isEmpty());
    EXPECT_DOUBLE_EQ(timeOn(written, env.clock->now()), 5400);

    // A later change of a record that exists, failing too, leaves it as it was; what the tracker
    // answered is known meanwhile, for the words.
    const QUuid kept = depart();
    {
        test::FileSizeLimit full(static_cast<rlim_t>(QFileInfo(env.snapshotPath()).size()));
        records().answered(kept, QStringLiteral("w-1"));
        settle();
    }
    EXPECT_EQ(records().record(kept)->state, BookingRecord::State::leaving);
    EXPECT_EQ(SnapshotManager(env.snapshotPath()).load().bookings.size(), 1);
    ASSERT_TRUE(records().unnoted(kept).has_value());
    EXPECT_EQ(records().unnoted(kept)->kind, BookingRecords::Unnoted::Kind::saved);
    records().unseen(kept, APIError::failure(APIError::Cause::TimedOut));
    settle();
    EXPECT_FALSE(records().unnoted(kept).has_value()) << "on disk now, the record says it";
}

// Seconds that never came off the timer (it tracked another task when the booking left) never
// go back onto it when the booking is refused: the timer, back on that task, would hold them
// twice.
TEST_F(BookingRecordsTest, RefusedSecondsThatNeverLeftTheTimerAreNotPutBackOnIt) {
    track(test::makeIssue(QStringLiteral("21")), 1200);
    const QUuid id = depart(std::nullopt, BookingRecord::Source::timer, 5400);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 1200) << "nothing came off the other task's time";
    // The timer is back on the booking's task before the refusal comes.
    timer->reset();
    track(test::makeIssue(QStringLiteral("20")), 600);
    records().refused(id, APIError::validation().withHttpStatus(400));
    settle();
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600) << "the booking's seconds put on the timer they never left";
    EXPECT_EQ(records().record(id)->state, BookingRecord::State::returned);
}

// The task that waits for the tracked time to be booked starts only once the booking's record,
// which took that time off the timer, is on disk.
TEST_F(BookingRecordsTest, AWaitingTaskStartsOnlyOnceItsBookingIsOnDisk) {
    track();
    timer->resume();
    timer->start(project, test::makeIssue(QStringLiteral("21")));
    ASSERT_TRUE(timer->hasPendingStart());
    std::optional<bool> onDiskAtStart;
    QUuid id;
    QObject::connect(timer.get(), &TimerViewModel::taskChanged, timer.get(), [&] {
        if (timer->task() && timer->task()->id == QStringLiteral("21") && !onDiskAtStart) {
            onDiskAtStart = recordIn(SnapshotManager(env.snapshotPath()).load(), id).has_value();
        }
    });
    id = records().depart(draft(static_cast<qint64>(timer->elapsed())), std::nullopt, {});
    settle();
    ASSERT_TRUE(onDiskAtStart.has_value()) << "the waiting task never started";
    EXPECT_TRUE(*onDiskAtStart) << "started before its booking's record was on disk";
}

// A start settles what a start settles: settled records go, a record still leaving is
// one whose answer that run never saw.
TEST_F(BookingRecordsTest, AStartDropsSettledRecordsAndTakesOneStillLeavingAsUnknown) {
    track();
    const QUuid leaving = depart();
    track(test::makeIssue(QStringLiteral("20")), 600);
    const QUuid saved = depart();
    records().answered(saved, QStringLiteral("w-1"));
    settle();
    timer.reset();
    env.reopenSnapshots();
    EXPECT_FALSE(records().record(saved).has_value());
    ASSERT_TRUE(records().record(leaving).has_value());
    EXPECT_EQ(records().record(leaving)->state, BookingRecord::State::unknown);
    EXPECT_TRUE(records().record(leaving)->stoppedWhileLeaving);
    env.snapshots->flush();
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
    env.snapshots->flush();
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_FALSE(written.timers.contains(key)) << "the seconds moved to the record";
    EXPECT_EQ(written.bookings.size(), 1);
}

// A record that does not read whole keeps what of it reads, and waits for the user: its
// seconds are never dropped with the rest. Numbers from the file are bounded before they
// are used; what is no record at all goes.
TEST_F(BookingRecordsTest, ARecordThatDoesNotReadWholeKeepsWhatReadsForTheUser) {
    track();
    const QUuid id = depart();
    QVariantMap bookings = env.snapshots->load().bookings;
    const QVariantMap good = bookings.value(id.toString(QUuid::WithoutBraces)).toMap();
    QVariantMap hostile = good;
    hostile.insert(QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    hostile.insert(QStringLiteral("lookUpFailures"), 1e300);
    hostile.insert(
        QStringLiteral("windowEnd"),
        QVariantMap{{QStringLiteral("boot"), QStringLiteral("test-boot")}, {QStringLiteral("msecs"), 1e300}});
    bookings.insert(hostile.value(QStringLiteral("id")).toString(), hostile);
    // Its state does not read: the rest of it does.
    QVariantMap badState = good;
    const QString badStateKey = QUuid::createUuid().toString(QUuid::WithoutBraces);
    badState.insert(QStringLiteral("id"), badStateKey);
    badState.insert(QStringLiteral("state"), 3);
    bookings.insert(badStateKey, badState);
    // Its booking does not read whole: its seconds do.
    QVariantMap badBooking = good;
    const QString badBookingKey = QUuid::createUuid().toString(QUuid::WithoutBraces);
    badBooking.insert(QStringLiteral("id"), badBookingKey);
    QVariantMap sent = good.value(QStringLiteral("booking")).toMap();
    sent.insert(QStringLiteral("started"), QStringLiteral("not a date"));
    sent.insert(QStringLiteral("seconds"), 1800);
    badBooking.insert(QStringLiteral("booking"), sent);
    bookings.insert(badBookingKey, badBooking);
    bookings.insert(QStringLiteral("junk"), QStringLiteral("not a record"));
    Snapshot all = env.snapshots->load();
    all.bookings = bookings;
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();
    const auto kept = records().records();
    ASSERT_EQ(kept.size(), 4u);
    for (const BookingRecord& record : kept) {
        EXPECT_GE(record.lookUpFailures, 0);
        EXPECT_LE(record.lookUpFailures, 1000);
        EXPECT_LE(records().windowLeft(record), BookingRecords::arrivalWindow * 1000);
    }
    const auto salvaged = records().record(QUuid::fromString(badBookingKey));
    ASSERT_TRUE(salvaged.has_value());
    EXPECT_TRUE(salvaged->damaged);
    EXPECT_EQ(salvaged->state, BookingRecord::State::returned) << "the user decides";
    EXPECT_EQ(salvaged->booking.seconds, 1800);
    EXPECT_EQ(salvaged->account, key);
    EXPECT_EQ(salvaged->task.reference, QStringLiteral("KEY-20"));
    const auto stateless = records().record(QUuid::fromString(badStateKey));
    ASSERT_TRUE(stateless.has_value());
    EXPECT_TRUE(stateless->damaged);
    EXPECT_EQ(stateless->booking.seconds, 5400);
    EXPECT_EQ(records().heldNotes(key).size(), 4);
    env.snapshots->flush();
    EXPECT_EQ(SnapshotManager(env.snapshotPath()).load().bookings.size(), 4);
}

// A file with more records than can ever be held at once costs no more than its bound,
// and settled records never crowd out one that holds time.
TEST_F(BookingRecordsTest, AtMostTheBoundOfHeldRecordsIsReadAtAStartAndSettledOnesNeverCount) {
    track();
    const QUuid id = depart();
    const QVariantMap one = env.snapshots->load().bookings.value(id.toString(QUuid::WithoutBraces)).toMap();
    Snapshot all = env.snapshots->load();
    all.bookings.clear();
    for (int i = 0; i < BookingRecords::recordsRead + 1; ++i) {
        QVariantMap copy = one;
        const QString settledKey = QUuid::createUuid().toString(QUuid::WithoutBraces);
        copy.insert(QStringLiteral("id"), settledKey);
        copy.insert(QStringLiteral("state"), QStringLiteral("saved"));
        all.bookings.insert(settledKey, copy);
    }
    all.bookings.insert(id.toString(QUuid::WithoutBraces), one);
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();
    ASSERT_EQ(records().records().size(), 1u);
    EXPECT_EQ(records().records().front().id, id) << "the one that holds time is read";

    for (int i = 0; i < BookingRecords::recordsRead + 50; ++i) {
        QVariantMap copy = one;
        const QString heldKey = QUuid::createUuid().toString(QUuid::WithoutBraces);
        copy.insert(QStringLiteral("id"), heldKey);
        all.bookings.insert(heldKey, copy);
    }
    env.snapshots->save(all);
    env.reopenSnapshots();
    EXPECT_EQ(records().records().size(), static_cast<std::size_t>(BookingRecords::recordsRead));
    // The tray names the first, counts the rest, and says how many wait in the file.
    EXPECT_EQ(records().heldNotes(key).size(), BookingRecords::heldNotesShown + 2);
    EXPECT_EQ(records().recordsSetAside(), 51);
    env.snapshots->flush();
    EXPECT_EQ(SnapshotManager(env.snapshotPath()).load().bookings.size(), BookingRecords::recordsRead + 51)
        << "no held second is dropped at a start";
}

// Past their bounds, what an open booking needs is read first, and the rest stays in the file
// unread: an open record after a bound's worth of returned ones, the claim it could meet after
// a bound's worth of others. A look-alike on a claim left unread is asked about, not taken.
TEST_F(BookingRecordsTest, PastTheBoundsWhatOpenBookingsNeedIsReadFirstAndTheRestKept) {
    const QUuid open = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().unseen(open, APIError::failure(APIError::Cause::TimedOut));
    settle();
    Snapshot all = env.snapshots->load();
    const QVariantMap one = all.bookings.value(open.toString(QUuid::WithoutBraces)).toMap();
    const QString last = QStringLiteral("ffffffff-ffff-4fff-bfff-ffffffff%1");
    all.bookings.clear();
    for (int i = 0; i < BookingRecords::recordsRead; ++i) {
        QVariantMap copy = one;
        const QString returnedKey = QUuid::createUuid().toString(QUuid::WithoutBraces).replace(0, 1, "0");
        copy.insert(QStringLiteral("id"), returnedKey);
        copy.insert(QStringLiteral("state"), QStringLiteral("returned"));
        all.bookings.insert(returnedKey, copy);
    }
    QVariantMap openCopy = one;
    openCopy.insert(QStringLiteral("id"), last.arg(QStringLiteral("0000")));
    all.bookings.insert(last.arg(QStringLiteral("0000")), openCopy);
    const auto claimOn = [](const QString& task, qint64 seconds, const QString& entry) {
        BookingClaim claim{QUuid::createUuid(), QStringLiteral("Jira"), key, entry, task, {}, seconds, 0, {}, false};
        return claim.toSnapshot();
    };
    for (int i = 0; i < BookingRecords::claimsRead; ++i) {
        all.claims.insert(QUuid::createUuid().toString(QUuid::WithoutBraces).replace(0, 1, "0"),
                          claimOn(QStringLiteral("30"), 600, QStringLiteral("w-%1").arg(i)));
    }
    all.claims.insert(last.arg(QStringLiteral("0001")), claimOn(QStringLiteral("20"), 1800, QStringLiteral("w-20")));
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();

    const BookingRecord* read = records().peek(QUuid::fromString(last.arg(QStringLiteral("0000"))));
    ASSERT_NE(read, nullptr) << "the open booking is read first";
    EXPECT_NE(records().claimOn(*read, QStringLiteral("w-20")), nullptr) << "the claim it could meet is read";
    EXPECT_EQ(records().recordsSetAside(), 1);
    EXPECT_EQ(records().claimsSetAside(), 1);
    BookingRecord onThirty = *read;
    onThirty.booking.taskId = QStringLiteral("30");
    EXPECT_TRUE(records().mustAsk(onThirty)) << "a claim left unread may be on its task";
    EXPECT_FALSE(records().mustAsk(*read));
    env.snapshots->flush();
    const Snapshot written = SnapshotManager(env.snapshotPath()).load();
    EXPECT_EQ(written.bookings.size(), BookingRecords::recordsRead + 1) << "nothing dropped";
    EXPECT_TRUE(written.claims.isEmpty()) << "an earlier version's claims move to their journal";
    EXPECT_EQ(BookingClaimsJournal::read(BookingClaimsJournal::pathFor(env.snapshotPath())).claims.size(),
              static_cast<std::size_t>(BookingRecords::claimsRead + 1));
}

// A claim that does not read whole keeps what reads: its entry stays its booking's; without
// an entry, its task's look-alikes are asked about.
TEST_F(BookingRecordsTest, ADamagedClaimIsSalvagedFieldByFieldOrMakesItsTaskAsk) {
    const QUuid open = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().unseen(open, APIError::failure(APIError::Cause::TimedOut));
    settle();
    Snapshot all = env.snapshots->load();
    BookingClaim whole{QUuid::createUuid(), QStringLiteral("Jira"), key, QStringLiteral("w-1"),
                       QStringLiteral("20"), env.clock->now(), 1800, 0, {}, false};
    QVariantMap badSeconds = whole.toSnapshot().toMap();
    badSeconds.insert(QStringLiteral("seconds"), QStringLiteral("1800"));
    all.claims.insert(whole.record.toString(QUuid::WithoutBraces), badSeconds);
    QVariantMap badEntry = whole.toSnapshot().toMap();
    badEntry.insert(QStringLiteral("entryId"), 7);
    badEntry.insert(QStringLiteral("task"), QStringLiteral("21"));
    all.claims.insert(QUuid::createUuid().toString(QUuid::WithoutBraces), badEntry);
    env.snapshots->save(all);
    timer.reset();
    env.reopenSnapshots();
    const BookingRecord* read = records().peek(open);
    ASSERT_NE(read, nullptr);
    EXPECT_NE(records().claimOn(*read, QStringLiteral("w-1")), nullptr) << "dropped for its seconds";
    EXPECT_FALSE(records().mustAsk(*read));
    BookingRecord onTwentyOne = *read;
    onTwentyOne.booking.taskId = QStringLiteral("21");
    EXPECT_TRUE(records().mustAsk(onTwentyOne));

    // Claims that are no map at all: the file is read all the same, and every look-alike asks.
    QVariantMap root{{QStringLiteral("timers"), QVariantMap{}},
                     {QStringLiteral("filters"), QVariantMap{}},
                     {QStringLiteral("starredProjects"), QVariantMap{}},
                     {QStringLiteral("bookings"), env.snapshots->load().bookings},
                     {QStringLiteral("claims"), QStringLiteral("not a map")}};
    env.bookings.reset();
    env.snapshots->flush();
    ASSERT_TRUE(PropertyList::writeFile(env.snapshotPath(), root).ok());
    QFile::remove(BookingClaimsJournal::pathFor(env.snapshotPath()));
    env.reopenSnapshots();
    ASSERT_NE(records().peek(open), nullptr) << "the file was set aside";
    EXPECT_TRUE(records().mustAsk(*records().peek(open)));
}

// Settled records are kept for the views up to their bound, the oldest going first; a
// record that holds time never goes for them.
TEST_F(BookingRecordsTest, SettledRecordsAreKeptUpToTheirBoundOldestGoFirst) {
    const QUuid held = depart(std::nullopt, BookingRecord::Source::manual);
    std::vector<QUuid> ids;
    for (int i = 0; i < 12; ++i) {
        const QUuid id = depart(std::nullopt, BookingRecord::Source::manual);
        env.clock->advance(1000);
        records().answered(id, QStringLiteral("w-%1").arg(i));
        settle();
        ids.push_back(id);
    }
    const std::size_t kept = records().records().size() - 1;
    EXPECT_GE(kept, 1u) << "the newest outcome stays for the views";
    EXPECT_LT(kept, ids.size()) << "settled records are not kept without bound";
    EXPECT_FALSE(records().record(ids.front()).has_value()) << "the oldest go first";
    EXPECT_TRUE(records().record(ids.back()).has_value());
    EXPECT_TRUE(records().record(held).has_value());
    env.snapshots->flush();
    EXPECT_EQ(static_cast<std::size_t>(env.snapshots->load().bookings.size()), kept + 1);
}

// What the records and the claims say of `entry`, as a fresh start would read them from disk.
bool claimedOnDisk(const QString& path, const QString& entry) {
    for (const auto& [key, value] : BookingClaimsJournal::read(BookingClaimsJournal::pathFor(path)).claims) {
        const auto claim = BookingClaim::fromSnapshot(key, value);
        if (claim && claim->entryId == entry) {
            return true;
        }
    }
    return false;
}

// An entry of the tracker is one booking's for as long as a look-alike booking could meet it:
// its claim is written with the save, and outlives the saved record's pruning, the starts that
// drop settled records and the account's deletion. No look-up, no answer (one repeated by a
// proxy), no user's word gives it to another booking; once no open booking, nor one leaving
// now, could meet it, it goes.
TEST_F(BookingRecordsTest, AClaimedEntryStaysItsBookingsAcrossPruningStartsAndDeletion) {
    const QUuid first = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().unseen(first, APIError::failure(APIError::Cause::ServerError, 503));
    const QUuid second = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    settle();
    // The claim is on disk in the very write that saves the record: no kill between them.
    const auto states = statesDuring(*env.snapshots, [&] {
        records().answered(second, QStringLiteral("w-7"));
        settle();
    });
    ASSERT_FALSE(states.empty());
    for (const Snapshot& state : states) {
        const auto saved = recordIn(state, second);
        if (saved && saved->state == BookingRecord::State::saved) {
            EXPECT_TRUE(claimedOnDisk(env.snapshotPath(), QStringLiteral("w-7")));
        }
    }
    // Newer outcomes crowd the saved record out of the records kept.
    for (int i = 0; i < BookingRecords::settledKept + 1; ++i) {
        const QUuid other = depart(std::nullopt, BookingRecord::Source::manual, 600);
        records().answered(other, QStringLiteral("w-other-%1").arg(i));
        settle();
    }
    ASSERT_FALSE(records().record(second).has_value()) << "the saved record is pruned";
    records().found(first, QStringLiteral("w-7"));
    settle();
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::unknown) << "taken after pruning";

    // A start drops every settled record; the claim stays.
    timer.reset();
    env.reopenSnapshots();
    ASSERT_TRUE(claimedOnDisk(env.snapshotPath(), QStringLiteral("w-7")));
    records().found(first, QStringLiteral("w-7"));
    settle();
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::unknown) << "taken after a start";
    records().ask(first, entryOnTask20(QStringLiteral("w-7"), 1800, env.clock->now()));
    settle();
    EXPECT_EQ(records().record(first)->state, BookingRecord::State::unknown) << "asked about another's entry";

    // An answer that repeats the saved booking's (a retrying proxy) is no save of this one.
    const QUuid third = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().answered(third, QStringLiteral("w-7"));
    settle();
    ASSERT_EQ(records().record(third)->state, BookingRecord::State::unknown)
        << "told saved on another's entry";
    EXPECT_EQ(records().record(third)->answerOfAnother, QStringLiteral("w-7"));
    EXPECT_TRUE(records().record(third)->holdsSeconds());

    // The account goes, its time kept: the claim stays for the look-alikes of no account.
    records().accountGoing(key, true);
    settle();
    EXPECT_TRUE(claimedOnDisk(env.snapshotPath(), QStringLiteral("w-7")));

    // Once nothing open could meet it, and a booking leaving now could not either, it goes.
    records().discard(first);
    records().discard(third);
    env.clock->advance((BookingRecords::claimsKeptFor + 3600) * 1000);
    env.bootClock->advance((BookingRecords::claimsKeptFor + 3600) * 1000);
    settle();
    const QUuid later = depart(std::nullopt, BookingRecord::Source::manual, 600);
    records().answered(later, QStringLiteral("w-later"));
    settle();
    env.snapshots->flush();
    EXPECT_FALSE(claimedOnDisk(env.snapshotPath(), QStringLiteral("w-7")));
    EXPECT_TRUE(claimedOnDisk(env.snapshotPath(), QStringLiteral("w-later")));
}

// Two instances of one tracker number their entries alike: an entry is another booking's only
// when both are of one account. Deleting an account lets go of the claims none of its time kept
// could meet.
TEST_F(BookingRecordsTest, AnEntryIsAnotherBookingsOnlyWithinItsAccount) {
    const QString other = QStringLiteral("5B0C9E2A-1F3D-4E6A-8B7C-9D0E1F2A3B4C");
    const QUuid mine = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().answered(mine, QStringLiteral("125-31"));
    const QUuid theirs = depart(std::nullopt, BookingRecord::Source::manual, 1800, other);
    records().answered(theirs, QStringLiteral("125-31"));
    settle();
    EXPECT_EQ(records().record(theirs)->state, BookingRecord::State::saved) << "taken for the other's";

    const auto claimsOf = [&](const QString& account) {
        const auto all = records().claims();
        return std::count_if(all.begin(), all.end(), [&](const BookingClaim& c) { return c.account == account; });
    };
    // A record of an earlier version, which did not name its tracker, is of any tracker.
    BookingRecord unnamed = *records().record(theirs);
    unnamed.id = QUuid::createUuid();
    unnamed.tracker.clear();
    EXPECT_NE(records().claimOn(unnamed, QStringLiteral("125-31")), nullptr);
    records().accountGoing(key, false);
    settle();
    EXPECT_EQ(claimsOf(key), 0) << "a discarded account's claims guard nothing";
    EXPECT_EQ(claimsOf(other), 1);
}

// A claim's age is read on the boot clock, never on the wall clock: a clock set days ahead or
// back, for a while, frees no claim, nor does a restart; days on the boot clock do, once no
// open booking (nor question) of its account, task and minutes could meet it, whatever its dates.
TEST_F(BookingRecordsTest, NoClaimIsFreedByTheWallClockAlone) {
    const qint64 day = 24 * 3600 * 1000LL;
    const auto claimed = [&](const QString& entry) {
        // Another write, as any change of the records makes.
        const QUuid other = depart(std::nullopt, BookingRecord::Source::manual, 60);
        records().refused(other, APIError::validation());
        records().discard(other);
        settle();
        const auto all = records().claims();
        return std::any_of(all.begin(), all.end(), [&](const BookingClaim& c) { return c.entryId == entry; });
    };
    const QUuid open = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().unseen(open, APIError::failure(APIError::Cause::ServerError, 503));
    env.clock->advance(4 * day);
    const QUuid saved = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().answered(saved, QStringLiteral("w-2"));
    settle();
    env.clock->advance(-4 * day);
    EXPECT_TRUE(claimed(QStringLiteral("w-2")));
    records().found(open, QStringLiteral("w-2"));
    settle();
    EXPECT_EQ(records().record(open)->state, BookingRecord::State::unknown) << "took a claimed entry";
    // A question still open holds it past its days; once answered, it goes.
    records().ask(open, entryOnTask20(QStringLiteral("w-3"), 1800, env.clock->now()));
    env.bootClock->advance(BookingRecords::claimsKeptFor * 1000 + day);
    EXPECT_TRUE(claimed(QStringLiteral("w-2")));
    // The question answered in a write that fails: the booking stays asked on disk, and so does
    // the claim that guards it.
    const QString journal = BookingClaimsJournal::pathFor(env.snapshotPath());
    {
        // Room for a line more of the journal, none for the snapshot.
        const qint64 room = QFileInfo(journal).size() + 256;
        ASSERT_LT(room, QFileInfo(env.snapshotPath()).size());
        test::FileSizeLimit full(static_cast<rlim_t>(room));
        records().keepTime(open);
        settle();
    }
    ASSERT_EQ(records().record(open)->state, BookingRecord::State::asked);
    const auto onDisk = BookingClaimsJournal::read(journal).claims;
    EXPECT_TRUE(std::any_of(onDisk.begin(), onDisk.end(), [](const auto& stored) {
        const auto claim = BookingClaim::fromSnapshot(stored.first, stored.second);
        return claim && claim->entryId == QStringLiteral("w-2");
    })) << "its end written, though the booking's was not";
    records().keepTime(open);
    records().discard(open);
    EXPECT_FALSE(claimed(QStringLiteral("w-2")));

    const QUuid later = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    records().answered(later, QStringLiteral("w-4"));
    struct Step {
        const char* what;
        std::function<void()> move;
        bool kept;
    };
    const Step steps[] = {
        {"the wall clock days ahead", [&] { env.clock->advance(5 * day); }, true},
        {"the wall clock days back", [&] { env.clock->advance(-10 * day); }, true},
        {"a restart on another boot", [&] { env.bootClock->reboot("next-boot"); env.reopenSnapshots(); }, true},
        {"a day on the boot clock", [&] { env.bootClock->advance(day); }, true},
        {"days on the boot clock", [&] { env.bootClock->advance(BookingRecords::claimsKeptFor * 1000); },
         false},
    };
    timer.reset();
    for (const Step& step : steps) {
        step.move();
        EXPECT_EQ(claimed(QStringLiteral("w-4")), step.kept) << step.what;
    }
}

// A deleted account's held time never lands on a timer no window shows: it stays on its
// record, of no account, which every window shows; deleting the account keeps or
// discards it, as the user chose.
TEST_F(BookingRecordsTest, AGoneAccountsTimeStaysOnItsRecordForEveryWindow) {
    track();
    const QUuid id = depart();
    records().unseen(id, APIError::failure(APIError::Cause::TimedOut));
    settle();
    timer.reset();
    env.goneAccounts->insert(key);
    env.snapshots->remove(SnapshotKind::Timers, key);
    records().end(id, BookingRecord::Ending::notLearnt);
    settle();
    const auto record = records().record(id);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->state, BookingRecord::State::returned);
    EXPECT_TRUE(record->account.isEmpty());
    EXPECT_FALSE(env.snapshots->value(SnapshotKind::Timers, key).has_value()) << "no timer of a gone account";
    EXPECT_EQ(records().records(QStringLiteral("ANOTHER")).size(), 1u) << "every window shows it";

    // And what a start reads of a gone account's records says the same.
    env.goneAccounts->clear();
    auto other = std::make_unique<TimerViewModel>(key, env.environment());
    other->start(project, test::makeIssue(QStringLiteral("20")));
    env.clock->advance(1800 * 1000);
    other->pause();
    const QUuid leaving = depart();
    other.reset();
    env.goneAccounts->insert(key);
    env.reopenSnapshots();
    ASSERT_TRUE(records().record(leaving).has_value());
    EXPECT_TRUE(records().record(leaving)->account.isEmpty());
    EXPECT_EQ(records().record(leaving)->state, BookingRecord::State::returned);
}

TEST_F(BookingRecordsTest, DeletingAnAccountKeepsOrDiscardsItsHeldTimeAsTheUserChose) {
    track();
    const QUuid kept = depart();
    records().unseen(kept, APIError::failure(APIError::Cause::TimedOut));
    const QUuid discarded = depart(std::nullopt, BookingRecord::Source::manual, 600);
    records().refused(discarded, APIError::validation());
    settle();
    ASSERT_EQ(records().held(key).size(), 2u);
    records().accountGoing(key, true);
    settle();
    EXPECT_TRUE(records().held(key).empty());
    EXPECT_TRUE(records().record(kept)->account.isEmpty());
    EXPECT_EQ(records().record(kept)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().record(discarded)->state, BookingRecord::State::returned);

    const QUuid gone = depart(std::nullopt, BookingRecord::Source::manual, 600);
    records().refused(gone, APIError::validation());
    settle();
    records().accountGoing(key, false);
    settle();
    EXPECT_EQ(records().record(gone)->state, BookingRecord::State::discarded);
}

// "Keep the Time" keeps every second the account holds: its timer's too, running or paused,
// on a record of no account that every window shows, in the write that lets the timer go.
TEST_F(BookingRecordsTest, DeletingAnAccountKeepingItsTimeKeepsItsTimersTimeOnARecord) {
    for (const bool running : {false, true}) {
        track();
        if (running) {
            timer->resume();
            env.clock->advance(60 * 1000);
        }
        records().accountGoing(key, true);
        settle();
        const auto all = records().records(QStringLiteral("ANOTHER"));
        const auto kept = std::find_if(all.begin(), all.end(), [](const BookingRecord& r) {
            return r.state == BookingRecord::State::returned;
        });
        ASSERT_NE(kept, all.end()) << "running " << running;
        EXPECT_EQ(kept->booking.seconds, running ? 5460 : 5400);
        EXPECT_EQ(kept->task.id, QStringLiteral("20"));
        EXPECT_TRUE(kept->account.isEmpty());
        EXPECT_FALSE(timer->isInUse()) << "the seconds are not kept twice";
        env.snapshots->flush();
        EXPECT_FALSE(SnapshotManager(env.snapshotPath()).load().timers.contains(key));
        records().discard(kept->id);
        settle();
    }
}

// A booking still on its way when its account goes, the time kept, keeps its answer: a save
// that comes after settles it (the time kept leaves the record); no answer, or a refusal, and
// the time waits for the user. Until then it is not offered to book elsewhere.
TEST_F(BookingRecordsTest, ABookingOnItsWayWhenItsAccountGoesIsSettledByItsAnswer) {
    const QUuid saved = depart(std::nullopt, BookingRecord::Source::manual, 1800);
    const QUuid unseen = depart(std::nullopt, BookingRecord::Source::manual, 1200);
    const QUuid refused = depart(std::nullopt, BookingRecord::Source::manual, 600);
    records().accountGoing(key, true);
    settle();
    env.goneAccounts->insert(key);
    for (const QUuid& id : {saved, unseen, refused}) {
        EXPECT_EQ(records().record(id)->state, BookingRecord::State::leaving) << "its answer would be lost";
        EXPECT_TRUE(records().record(id)->account.isEmpty());
    }
    records().answered(saved, QStringLiteral("w-1"));
    records().unseen(unseen, APIError::failure(APIError::Cause::TimedOut));
    records().refused(refused, APIError::validation().withHttpStatus(400));
    settle();
    EXPECT_EQ(records().record(saved)->state, BookingRecord::State::saved);
    EXPECT_FALSE(records().record(saved)->holdsSeconds()) << "booked, and held again for the user";
    EXPECT_EQ(records().record(unseen)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().record(unseen)->ending, BookingRecord::Ending::accountGone);
    EXPECT_EQ(records().record(refused)->state, BookingRecord::State::returned);
    EXPECT_EQ(records().record(refused)->ending, BookingRecord::Ending::refused);
    EXPECT_EQ(records().heldNotes().size(), 2);
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
    const QUuid rival = QUuid::createUuid();
    records().ask(id, question, rival);
    settle();
    const BookingRecord before = *records().record(id);
    const auto decoded = BookingRecord::decode(before.toSnapshot());
    ASSERT_TRUE(decoded.ok()) << decoded.error().toStdString();
    EXPECT_EQ(decoded.value(), before);
    EXPECT_EQ(decoded.value().unseen->httpStatus(), 503);
    EXPECT_EQ(decoded.value().unseen->host(), QStringLiteral("jira.test"));
    EXPECT_EQ(decoded.value().question->started.offsetFromUtc(), 3600);
    EXPECT_EQ(decoded.value().rival, rival);
}

// A question whose entry does not read cannot be asked: the record goes back to be looked up,
// holding its time.
TEST_F(BookingRecordsTest, AStoredQuestionThatDoesNotReadIsLookedUpAgain) {
    track();
    const QUuid id = depart();
    records().unseen(id, APIError::failure(APIError::Cause::TimedOut));
    records().ask(id, entryOnTask20(QStringLiteral("w9"), 5400, env.clock->now()));
    settle();
    QVariantMap stored = records().record(id)->toSnapshot().toMap();
    stored.insert(QStringLiteral("question"), QVariantMap{{QStringLiteral("id"), 7}});
    const auto decoded = BookingRecord::decode(stored);
    ASSERT_TRUE(decoded.ok()) << decoded.error().toStdString();
    EXPECT_EQ(decoded.value().state, BookingRecord::State::unknown);
    EXPECT_TRUE(decoded.value().holdsSeconds());
}

} // namespace
} // namespace velmora
