#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "state/BookingRecords.h"
#include "state/TimerViewModel.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace velmora;
using namespace velmora::test;

namespace {

const QDateTime start = QDateTime::fromSecsSinceEpoch(1'741'176'000);
const char* childVariable = "VELMORA_TIMER_KILL_CHILD";
const char* bookedChildVariable = "VELMORA_TIMER_KILL_BOOKED_CHILD";

// A child body's timer on the snapshot and settings files in `folder` and a clock moved
// by hand. Never freed: the process is killed, and nothing may be torn down before.
struct ChildTimer {
    std::shared_ptr<ManualClock> clock;
    SnapshotManager* snapshots = nullptr;
    TimerViewModel* timer = nullptr;
};

ChildTimer childTimer(const QString& folder) {
    ChildTimer child;
    child.snapshots = new SnapshotManager(folder + QStringLiteral("/Velmora.plist"));
    child.clock = std::make_shared<ManualClock>(start);
    StateEnvironment environment;
    environment.clock = child.clock;
    environment.snapshots = child.snapshots;
    environment.settings = new UserSettings(folder + QStringLiteral("/settings.conf"));
    environment.bookings = new BookingRecords(environment);
    child.timer = new TimerViewModel(QStringLiteral("KEY"), environment);
    return child;
}

// Says `state` to the parent and waits for its kill.
[[noreturn]] void waitToBeKilled(const char* state) {
    std::printf("%s\n", state);
    std::fflush(stdout);
    for (;;) {
        QThread::sleep(1);
    }
}

} // namespace

// Not a test of its own: the body of the process that the test below kills. It tracks
// time on a clock it moves by hand, says when it is done and waits to be killed; no
// close hook and no destructor ever runs.
TEST(TimerKillChild, TracksAndWaitsToBeKilled) {
    const QString folder = qEnvironmentVariable(childVariable);
    if (folder.isEmpty()) {
        GTEST_SKIP() << "runs only inside TimerKillTest";
    }
    const ChildTimer child = childTimer(folder);
    const auto& clock = child.clock;
    TimerViewModel* timer = child.timer;
    timer->start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("1")));
    clock->advance(3725 * 1000);
    timer->pause();
    clock->advance(50 * 1000);
    timer->resume();
    clock->advance(5 * 1000);
    // What the test checks is on disk before it is told to kill: the writer thread has
    // taken every change (the timer writes on its own, without a flush).
    child.snapshots->flush();
    waitToBeKilled("tracking");
}

// The body of the process killed right after a booking was taken: the booking sheet
// books the stopped timer's time and resets the timer, which is all that happens
// before the kill.
TEST(TimerKillChild, BooksAndWaitsToBeKilled) {
    const QString folder = qEnvironmentVariable(bookedChildVariable);
    if (folder.isEmpty()) {
        GTEST_SKIP() << "runs only inside TimerKillTest";
    }
    const ChildTimer child = childTimer(folder);
    const auto& clock = child.clock;
    SnapshotManager* snapshots = child.snapshots;
    const Project project = makeProject(QStringLiteral("p"));
    const Issue task = makeIssue(QStringLiteral("1"));
    TimerViewModel* timer = child.timer;
    timer->start(project, task);
    clock->advance(5400 * 1000);
    timer->pause();
    // The stopped timer is on disk, as it would be long before the user books it.
    snapshots->flush();

    auto* form = new ScriptedWorkLogForm(project, task, timer->elapsed());
    auto* sheet = new BookTimeView(*form, *timer);
    sheet->show();
    sheet->save();
    // The booking leaves once its record is on disk; the sheet closes once its save is.
    waitUntil([form] { return form->bookings.waiting() == 1; }, 10000);
    form->bookings.complete(QStringLiteral("entry-1"));
    waitUntil([sheet] { return sheet->isDismissed(); }, 10000);
    // The reset that the test checks is on disk before it is told to kill.
    snapshots->flush();
    waitToBeKilled(timer->isInUse() ? "not reset" : "booked");
}

namespace {

// Runs the named child test with `variable` set to `folder` until it prints `marker`,
// then kills it without warning.
void runAndKill(const char* variable, const QString& folder, const QString& childTest,
                const QByteArray& marker) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(variable), folder);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + childTest});
    ASSERT_TRUE(child.waitForStarted());
    QByteArray output;
    ASSERT_TRUE(waitUntil(
        [&] {
            output += child.readAllStandardOutput();
            return output.contains(marker) || output.contains("not reset") ||
                   child.state() == QProcess::NotRunning;
        },
        30000));
    ASSERT_EQ(child.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(output.contains(marker)) << output.toStdString();
}

} // namespace

TEST(TimerKillTest, ATimerKilledWhileRunningComesBackWithItsTime) {
    QTemporaryDir folder;
    runAndKill(childVariable, folder.path(), QStringLiteral("TimerKillChild.TracksAndWaitsToBeKilled"),
               "tracking\n");
    if (HasFatalFailure()) {
        return;
    }

    // The next start, ten seconds of wall time after the last command.
    SnapshotManager snapshots(folder.filePath(QStringLiteral("Velmora.plist")));
    UserSettings settings(folder.filePath(QStringLiteral("settings.conf")));
    StateEnvironment next;
    next.clock = std::make_shared<ManualClock>(start.addSecs(3725 + 50 + 10));
    next.snapshots = &snapshots;
    next.settings = &settings;
    TimerViewModel restored(QStringLiteral("KEY"), next);
    EXPECT_EQ(restored.state(), TimerViewModel::State::active);
    ASSERT_TRUE(restored.task());
    EXPECT_EQ(restored.task()->id, "1");
    // 3725 s before the pause, none while paused, 10 s since it went on.
    EXPECT_DOUBLE_EQ(restored.elapsed(), 3735.0);
}

// A crash right after a booking must not bring the booked time back, to be booked a
// second time.
TEST(TimerKillTest, ATimerKilledRightAfterItsBookingComesBackReset) {
    QTemporaryDir folder;
    runAndKill(bookedChildVariable, folder.path(), QStringLiteral("TimerKillChild.BooksAndWaitsToBeKilled"),
               "booked\n");
    if (HasFatalFailure()) {
        return;
    }
    SnapshotManager snapshots(folder.filePath(QStringLiteral("Velmora.plist")));
    UserSettings settings(folder.filePath(QStringLiteral("settings.conf")));
    StateEnvironment next;
    next.clock = std::make_shared<ManualClock>(start.addSecs(6000));
    next.snapshots = &snapshots;
    next.settings = &settings;
    BookingRecords records(next);
    EXPECT_TRUE(records.records().empty()) << "a saved booking holds nothing at the next start";
    next.bookings = &records;
    TimerViewModel restored(QStringLiteral("KEY"), next);
    EXPECT_FALSE(restored.isInUse());
    EXPECT_EQ(restored.state(), TimerViewModel::State::cancelled);
    EXPECT_DOUBLE_EQ(restored.elapsed(), 0);
}
