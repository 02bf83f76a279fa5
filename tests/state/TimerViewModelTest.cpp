#include "StateTestEnvironment.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "platform/plist/PropertyList.h"
#include "state/BookingRecord.h"
#include "state/BookingRecovery.h"
#include "state/FilterSnapshot.h"
#include "state/TimerSnapshot.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FileSizeLimit.h"

#include <QFileInfo>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

namespace velmora {
namespace {

const QString kKey = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");

class TimerViewModelTest : public ::testing::Test {
protected:
    TimerViewModelTest() {
        m_observer = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::timerCanceled), [this](const Notification&) { ++canceledPosts; });
    }

    void advance(double seconds) { env.clock->advance(static_cast<qint64>(seconds * 1000)); }

    test::StateTestEnvironment env;
    Project project = test::makeProject(QStringLiteral("p1"));
    Issue taskA = test::makeIssue(QStringLiteral("A"));
    Issue taskB = test::makeIssue(QStringLiteral("B"));
    int canceledPosts = 0;

private:
    Cancellable m_observer;
};

TEST_F(TimerViewModelTest, IdleTimerIgnoresCommandsWithoutATask) {
    TimerViewModel timer(kKey, env.environment());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_EQ(timer.elapsed(), 0);
    EXPECT_FALSE(timer.isInUse());

    timer.pause();
    timer.resume();
    timer.cancel();
    timer.reset();
    test::drainEvents();
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_FALSE(timer.startedAt().has_value());
    EXPECT_EQ(canceledPosts, 0);
}

TEST_F(TimerViewModelTest, PauseResumeAndStartKeepEveryTrackedSecond) {
    TimerViewModel timer(kKey, env.environment());
    int stateChanges = 0;
    QObject::connect(&timer, &TimerViewModel::stateChanged, [&] { ++stateChanges; });

    timer.start(project, taskA);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    advance(30);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 30);

    timer.pause();
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_DOUBLE_EQ(timer.previousDuration(), 30);
    advance(100);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 30) << "a paused timer does not count";

    timer.resume();
    advance(15);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 45);

    // Continuing a running timer must not drop the run in progress.
    advance(5);
    timer.resume();
    EXPECT_DOUBLE_EQ(timer.elapsed(), 50);

    // Starting the tracked task again keeps the run so far.
    advance(10);
    timer.start(project, taskA);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 60);
    EXPECT_EQ(timer.task(), taskA);
    advance(5);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 65);

    // Starting a paused timer on its task continues from what it gathered.
    timer.pause();
    advance(50);
    timer.start(project, taskA);
    advance(1);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 66);
    EXPECT_EQ(stateChanges, 5) << "active, paused, active, paused, active";
}

TEST_F(TimerViewModelTest, CancelPausesAndPostsLaterEvenWhenAlreadyPaused) {
    TimerViewModel timer(kKey, env.environment());
    timer.start(project, taskA);
    advance(90);

    TimerViewModel::State stateSeenByObserver = TimerViewModel::State::active;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::timerCanceled),
        [&](const Notification&) { stateSeenByObserver = timer.state(); });

    timer.cancel();
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_EQ(canceledPosts, 0) << "the notice must not be posted inside cancel()";
    test::drainEvents();
    EXPECT_EQ(canceledPosts, 1);
    EXPECT_EQ(stateSeenByObserver, TimerViewModel::State::paused);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 90);

    advance(30);
    timer.cancel();
    test::drainEvents();
    EXPECT_EQ(canceledPosts, 2);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 90) << "cancelling a paused timer adds nothing";
    EXPECT_EQ(timer.task(), taskA) << "the task stays until the booking sheet resets the timer";

    timer.reset();
    EXPECT_FALSE(timer.isInUse());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_EQ(timer.elapsed(), 0);
}

TEST_F(TimerViewModelTest, AnotherTaskNeverTakesOverTrackedTime) {
    TimerViewModel timer(kKey, env.environment());
    // Under a minute on A: B starts from nothing, nothing to book.
    timer.start(project, taskA);
    advance(30);
    timer.start(project, taskB);
    test::drainEvents();
    EXPECT_EQ(timer.task(), taskB);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 0);
    EXPECT_EQ(canceledPosts, 0);

    // Two hours on B: starting A stops B the usual way (its booking sheet opens) and
    // A waits until B's time is booked or discarded.
    advance(7200);
    timer.start(project, taskA);
    EXPECT_EQ(timer.task(), taskB);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_TRUE(timer.hasPendingStart());
    test::drainEvents();
    EXPECT_EQ(canceledPosts, 1);
    advance(100);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 7200);
    timer.reset();
    EXPECT_EQ(timer.task(), taskA);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_FALSE(timer.hasPendingStart());
    advance(5);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 5);

    // The sheet closed keeping the time, or the user went on with A: B never starts.
    for (const bool resume : {false, true}) {
        advance(120);
        timer.start(project, taskB);
        ASSERT_TRUE(timer.hasPendingStart());
        if (resume) {
            timer.resume();
        } else {
            timer.dropPendingStart();
        }
        EXPECT_FALSE(timer.hasPendingStart());
        EXPECT_EQ(timer.task(), taskA);
        timer.pause();
        timer.reset();
        EXPECT_FALSE(timer.isInUse()) << resume;
        timer.start(project, taskA);
    }
}

TEST_F(TimerViewModelTest, SetDurationRestartsARunningTimerAndIgnoresUnusableValues) {
    TimerViewModel timer(kKey, env.environment());
    timer.start(project, taskA);
    advance(20);
    timer.setDuration(3600);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 3600);
    advance(10);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 3610);

    timer.pause();
    timer.setDuration(1800);
    advance(100);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 1800);
    EXPECT_FALSE(timer.startedAt().has_value());

    timer.setDuration(std::numeric_limits<double>::quiet_NaN());
    timer.setDuration(std::numeric_limits<double>::infinity());
    timer.setDuration(-5);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 1800);
}

TEST_F(TimerViewModelTest, ClockSetBackTakesNoTrackedTimeAway) {
    TimerViewModel timer(kKey, env.environment());
    timer.start(project, taskA);
    advance(60);
    timer.pause();
    timer.resume();
    advance(-3600);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 60);
    timer.pause();
    EXPECT_DOUBLE_EQ(timer.previousDuration(), 60);
}

TEST_F(TimerViewModelTest, TrackedTaskIsRecognisedById) {
    TimerViewModel timer(kKey, env.environment());
    timer.start(project, test::makeIssue(QStringLiteral("A"), QStringLiteral("1h")));
    EXPECT_TRUE(timer.isTracking(test::makeIssue(QStringLiteral("A"), QStringLiteral("2h 30m"))));
    EXPECT_FALSE(timer.isTracking(taskB));
    timer.reset();
    EXPECT_FALSE(timer.isTracking(taskA));
}

struct LifecycleCase {
    TimerViewModel::LifecycleReason reason;
    bool stopSettingOn;
};

void PrintTo(const LifecycleCase& value, std::ostream* out) {
    *out << (value.reason == TimerViewModel::LifecycleReason::closing ? "closing" : "switching")
         << (value.stopSettingOn ? ", stop on" : ", stop off");
}

class TimerLifecycleTest : public TimerViewModelTest, public ::testing::WithParamInterface<LifecycleCase> {};

TEST_P(TimerLifecycleTest, CloseHookPausesPerSettingAndLeavesASnapshot) {
    const auto [reason, stopOn] = GetParam();
    // Only the setting that belongs to the reason may count.
    const bool switching = reason == TimerViewModel::LifecycleReason::switching;
    env.settings->setStopTimeTrackingWhenSwitching(switching ? stopOn : !stopOn);
    env.settings->setStopTimeTrackingWhenClosed(switching ? !stopOn : stopOn);

    {
        TimerViewModel timer(kKey, env.environment());
        timer.start(project, taskA);
        advance(120);
        timer.handleLifecycle(kKey, reason);
        EXPECT_EQ(timer.state(), stopOn ? TimerViewModel::State::paused : TimerViewModel::State::active);
    }

    env.reopenSnapshots();
    advance(300); // the application is closed meanwhile
    TimerViewModel restored(kKey, env.environment());
    EXPECT_EQ(restored.task(), taskA);
    EXPECT_EQ(restored.project(), project);
    if (stopOn) {
        EXPECT_EQ(restored.state(), TimerViewModel::State::paused);
        EXPECT_DOUBLE_EQ(restored.elapsed(), 120);
    } else {
        // A timer saved while running counts the time the application was closed.
        EXPECT_EQ(restored.state(), TimerViewModel::State::active);
        EXPECT_DOUBLE_EQ(restored.elapsed(), 420);
    }

    // Idle at the next close: the saved entry goes away.
    restored.reset();
    restored.handleLifecycle(kKey, reason);
    env.reopenSnapshots();
    EXPECT_FALSE(env.snapshots->value<TimerSnapshot>(kKey).has_value());
    TimerViewModel fresh(kKey, env.environment());
    EXPECT_FALSE(fresh.isInUse());
}

INSTANTIATE_TEST_SUITE_P(Settings, TimerLifecycleTest,
                         ::testing::Values(LifecycleCase{TimerViewModel::LifecycleReason::closing, true},
                                           LifecycleCase{TimerViewModel::LifecycleReason::closing, false},
                                           LifecycleCase{TimerViewModel::LifecycleReason::switching, true},
                                           LifecycleCase{TimerViewModel::LifecycleReason::switching, false}),
                         [](const ::testing::TestParamInfo<LifecycleCase>& info) {
                             const bool closing =
                                 info.param.reason == TimerViewModel::LifecycleReason::closing;
                             return std::string(closing ? "Closing" : "Switching") +
                                    (info.param.stopSettingOn ? "StopOn" : "StopOff");
                         });

TEST_F(TimerViewModelTest, StoredFormWritesNullMarkersAndReadsThemBack) {
    TimerSnapshot idle;
    idle.previousDuration = 75.5;
    const QVariantMap stored = idle.toSnapshot().toMap();
    EXPECT_EQ(stored.keys(), (QStringList{"previousDuration", "project", "startedAt", "state", "task"}));
    EXPECT_TRUE(PropertyList::isNull(stored.value("project")));
    EXPECT_TRUE(PropertyList::isNull(stored.value("task")));
    EXPECT_TRUE(PropertyList::isNull(stored.value("startedAt")));
    EXPECT_EQ(stored.value("state").toMap().keys(), QStringList{"cancelled"});

    TimerSnapshot running;
    Project withTasks = project;
    withTasks.tasks.push_back(test::makeIssue(QStringLiteral("X")));
    running.project = withTasks;
    Issue task = test::makeIssue(QStringLiteral("A"), QStringLiteral("1h"));
    task.state = Issue::State{QStringLiteral("s1"), QStringLiteral("Open")};
    task.assignee = test::makeUser(QStringLiteral("u1"));
    task.externalUrl = QUrl(QStringLiteral("https://tracker.test/A"));
    running.task = task;
    running.state = TimerViewModel::State::active;
    running.previousDuration = 12;
    running.startedAt = QDateTime::fromSecsSinceEpoch(1'741'176'000);

    // Through the file, as the next start reads it.
    env.snapshots->save(idle, QStringLiteral("idle"));
    env.snapshots->save(running, QStringLiteral("running"));
    env.reopenSnapshots();
    EXPECT_EQ(env.snapshots->value<TimerSnapshot>(QStringLiteral("idle")), idle);
    EXPECT_EQ(env.snapshots->value<TimerSnapshot>(QStringLiteral("running")), running);
}

TEST_F(TimerViewModelTest, StateRecordNeedsExactlyOneKnownKey) {
    auto withState = [](QVariantMap state) {
        QVariantMap stored = TimerSnapshot{}.toSnapshot().toMap();
        stored.insert(QStringLiteral("state"), state);
        return QVariant(stored);
    };
    const auto paused = TimerSnapshot::decode(withState({{"paused", QVariantMap{}}}));
    ASSERT_TRUE(paused.ok());
    EXPECT_EQ(paused.value().state, TimerViewModel::State::paused);

    for (const auto& bad : {QVariantMap{}, QVariantMap{{"active", QVariantMap{}}, {"paused", QVariantMap{}}},
                            QVariantMap{{"running", QVariantMap{}}}}) {
        const auto decoded = TimerSnapshot::decode(withState(bad));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error(), QStringLiteral("Invalid number of keys found, expected one."));
    }

    QVariantMap missingKey = TimerSnapshot{}.toSnapshot().toMap();
    missingKey.remove(QStringLiteral("startedAt"));
    EXPECT_FALSE(TimerSnapshot::decode(missingKey).ok());

    // A damaged timer entry costs that entry only: the timer starts idle and the other
    // entries of the file are still there.
    env.snapshots->save(SnapshotKind::Timers, kKey, withState({}));
    env.snapshots->save(FilterSnapshot{Issue::State::unresolved(), std::nullopt}, FilterSnapshot::key("p1"));
    env.reopenSnapshots();
    TimerViewModel timer(kKey, env.environment());
    EXPECT_FALSE(timer.isInUse());
    EXPECT_TRUE(env.snapshots->value<FilterSnapshot>(FilterSnapshot::key("p1")).has_value());
}

} // namespace
} // namespace velmora

namespace velmora {
namespace {

class TimerBookingRecordTest : public TimerViewModelTest {
protected:
    WorkEntry entry(const QDateTime& started, double seconds, const QString& description = {}) const {
        WorkEntry made;
        made.id = QStringLiteral("w1");
        made.issue = taskA;
        made.started = started;
        made.spentTimeSeconds = seconds;
        if (!description.isEmpty()) {
            made.description = description;
        }
        return made;
    }

    const WorkLogBooking booking{QStringLiteral("A"), QDateTime::fromSecsSinceEpoch(1'741'176'000), 5400,
                                 QStringLiteral("Fixed it")};
};

// Earlier versions kept the booking on the timer's entry: such an entry still reads
// (the booking records take its booking over), a damaged booking costs only the
// booking, and the timer never writes one again.
TEST_F(TimerBookingRecordTest, ATimerEntryOfAnEarlierVersionWithItsBookingStillReads) {
    TimerSnapshot written{project, taskA, TimerViewModel::State::paused, 5400, std::nullopt, booking};
    QVariantMap entry = written.toSnapshot().toMap();
    EXPECT_EQ(entry.keys(), (QStringList{"previousDuration", "project", "startedAt", "state", "task"}));
    entry.insert(QStringLiteral("booking"), BookingRecord::encodeBooking(booking));
    const auto read = TimerSnapshot::fromSnapshot(entry);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->booking, booking);
    EXPECT_DOUBLE_EQ(read->previousDuration, 5400);
    entry.insert(QStringLiteral("booking"), QVariantMap{{QStringLiteral("task"), 7}});
    const auto damaged = TimerSnapshot::fromSnapshot(entry);
    ASSERT_TRUE(damaged.has_value());
    EXPECT_FALSE(damaged->booking.has_value());
}

TEST_F(TimerBookingRecordTest, ABookingKeepsHowItsTrackerDatesEntriesAndWhenItLeft) {
    WorkLogBooking byDay = booking;
    byDay.dating = WorkLogBooking::Dating::day;
    byDay.sent = booking.started.addSecs(2);
    byDay.trackerClock = ClockOffset{-60'400, -59'400};
    // To the millisecond, which the file's date form does not keep.
    byDay.sent = byDay.sent->addMSecs(873);
    byDay.before = std::vector<QString>{QStringLiteral("w-1"), QStringLiteral("w-2")};
    // Through the file's own form: dates in XML keep whole seconds.
    const auto xml = PropertyList::toXml(QVariantList{BookingRecord::encodeBooking(byDay)});
    ASSERT_TRUE(xml.ok());
    const QVariant stored = PropertyList::parse(xml.value()).value().toList().front();
    EXPECT_EQ(BookingRecord::decodeBooking(stored), byDay);

    // One of the version before has neither, and one whose additions do not read keeps
    // the rest.
    QVariantMap record = stored.toMap();
    record.remove(QStringLiteral("dating"));
    record.remove(QStringLiteral("sent"));
    record.remove(QStringLiteral("trackerClock"));
    record.remove(QStringLiteral("sentMs"));
    record.remove(QStringLiteral("before"));
    EXPECT_EQ(BookingRecord::decodeBooking(record), booking);
    record.insert(QStringLiteral("dating"), QStringLiteral("hourly"));
    record.insert(QStringLiteral("sent"), 7);
    // A clock bound the wrong way round, or not numbers, is no clock known.
    record.insert(QStringLiteral("trackerClock"),
                  QVariantMap{{QStringLiteral("least"), 5000}, {QStringLiteral("most"), 4000}});
    EXPECT_EQ(BookingRecord::decodeBooking(record), booking);
    record.insert(
        QStringLiteral("trackerClock"),
        QVariantMap{{QStringLiteral("least"), QStringLiteral("-60")}, {QStringLiteral("most"), 1e300}});
    EXPECT_EQ(BookingRecord::decodeBooking(record), booking);

    // A moment kept in the date form alone (the version before) is known to the second.
    record.insert(QStringLiteral("sent"), byDay.sent->addMSecs(-873));
    // A list of what was there that does not read whole is no list.
    record.insert(QStringLiteral("before"), QVariantList{QStringLiteral("w-1"), 7});
    const auto dated = BookingRecord::decodeBooking(record);
    ASSERT_TRUE(dated.has_value());
    EXPECT_TRUE(dated->sentToTheSecond);
    EXPECT_EQ(dated->sent, byDay.sent->addMSecs(-873));
    EXPECT_FALSE(dated->before.has_value());
}

TEST_F(TimerBookingRecordTest, EntriesOfTrackersThatKeepOnlyTheDayMatchByDayAndDescription) {
    WorkLogBooking byDay = booking;
    byDay.dating = WorkLogBooking::Dating::day;
    byDay.sent = booking.started;
    const QDateTime day = QDateTime(booking.started.toLocalTime().date(), QTime(0, 0));
    EXPECT_TRUE(BookingRecovery::looksLike(entry(day, 5400, QStringLiteral("Fixed it")), byDay));
    EXPECT_FALSE(BookingRecovery::looksLike(entry(day, 5400, QStringLiteral("Other")), byDay));
    // Two days off is a day no tracker dates it by (one off may be the tracker's own).
    EXPECT_FALSE(BookingRecovery::looksLike(entry(day.addDays(2), 5400, QStringLiteral("Fixed it")), byDay));
    EXPECT_FALSE(BookingRecovery::looksLike(entry(day.addDays(-2), 5400, QStringLiteral("Fixed it")), byDay));
    WorkEntry otherTask = entry(booking.started, 5400);
    otherTask.issue = taskB;
    EXPECT_FALSE(BookingRecovery::looksLike(otherTask, booking));
    // Where the start is kept, only the same start (to the second) looks like it.
    EXPECT_TRUE(BookingRecovery::looksLike(entry(booking.started.addMSecs(400), 5400), booking));
    EXPECT_FALSE(BookingRecovery::looksLike(entry(booking.started.addSecs(-30), 5400), booking));
}

// A booking lists at most 200 look-alikes; one that says it had more is read as knowing
// none (judged by the clock), never as a list cut short.
TEST_F(TimerBookingRecordTest, ABookingReadsAListOfUpTo200LookAlikesAndNoLongerOne) {
    for (const int count : {200, 201}) {
        SCOPED_TRACE(count);
        WorkLogBooking listed = booking;
        listed.before.emplace();
        for (int i = 0; i < count; ++i) {
            listed.before->push_back(QString::number(i));
        }
        const auto read = BookingRecord::decodeBooking(BookingRecord::encodeBooking(listed));
        ASSERT_TRUE(read.has_value());
        if (count == 200) {
            ASSERT_TRUE(read->before.has_value());
            EXPECT_EQ(read->before->size(), 200u);
        } else {
            EXPECT_FALSE(read->before.has_value());
        }
    }
}

// What a booking takes from the timer and what comes back are pure functions of the
// stored timer: the records write them together with their own change.
TEST_F(TimerBookingRecordTest, TakingAndGivingBackSecondsKeepsWhatTheTimerGatheredMeanwhile) {
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'741'176'000);
    const TimerSnapshot paused{project, taskA,        TimerViewModel::State::paused,
                               5400,    std::nullopt, std::nullopt};
    EXPECT_TRUE(paused.withoutSeconds(5400, now).isIdle());
    EXPECT_TRUE(paused.withoutSeconds(5380, now).isIdle()) << "under a minute left is no time";
    EXPECT_DOUBLE_EQ(paused.withoutSeconds(3600, now).previousDuration, 1800);
    const TimerSnapshot running{project,     taskA, TimerViewModel::State::active, 0, now.addSecs(-5430),
                                std::nullopt};
    const TimerSnapshot ranOn = running.withoutSeconds(5400, now);
    EXPECT_EQ(ranOn.state, TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(ranOn.elapsed(now), 30) << "a running timer counts on from what is left";

    EXPECT_DOUBLE_EQ(paused.withSeconds(600, project, taskA)->previousDuration, 6000);
    const auto ontoIdle = TimerSnapshot{}.withSeconds(600, project, taskA);
    ASSERT_TRUE(ontoIdle.has_value());
    EXPECT_EQ(ontoIdle->state, TimerViewModel::State::paused);
    EXPECT_EQ(ontoIdle->task, taskA);
    EXPECT_FALSE(paused.withSeconds(600, project, taskB).has_value()) << "another task's time is its own";
}

} // namespace
} // namespace velmora

namespace velmora {
namespace {

// A task that waited for a stop's booking never starts from a later, plain stop: the user
// asked for it with the first one only.
TEST(TimerPendingStartTest, APlainStopDropsATaskAnEarlierStopWaitedFor) {
    test::StateTestEnvironment env;
    TimerViewModel timer(QStringLiteral("ACCOUNT"), env.environment());
    const Project project = test::makeProject(QStringLiteral("p"));
    timer.start(project, test::makeIssue(QStringLiteral("1")));
    env.clock->advance(5400 * 1000);
    timer.start(project, test::makeIssue(QStringLiteral("2")));
    ASSERT_TRUE(timer.hasPendingStart());
    EXPECT_EQ(timer.pendingTask()->id, QStringLiteral("2"));
    timer.cancel();
    EXPECT_FALSE(timer.hasPendingStart());
    timer.reset();
    EXPECT_FALSE(timer.isInUse()) << "task 2 started from a stop that did not ask for it";
}

} // namespace
} // namespace velmora
