#include "ShellFixture.h"

#include "app/Application.h"
#include "app/UnixSignalWatcher.h"
#include "app/WelcomeWindowController.h"
#include "state/TimerSnapshot.h"

#include <QSignalSpy>
#include <QTimer>

#include <csignal>

using namespace velmora;
using namespace velmora::test;

namespace {
class QuittingTest : public ShellFixture {
protected:
    std::optional<TimerSnapshot> timerInFile(const QString& key) {
        SnapshotManager fromDisk(snapshotPath());
        return fromDisk.value<TimerSnapshot>(key);
    }
};
} // namespace

TEST_F(QuittingTest, ATerminationSignalQuitsThroughTheCloseHookAndWritesTheSnapshot) {
    settings.setStopTimeTrackingWhenClosed(false);
    const auto account = addAccount(QStringLiteral("Alpha"));
    launch();
    UnixSignalWatcher watcher({SIGTERM});
    Application::connectQuitting(*delegate, watcher);
    windows().applicationWindow()->timerViewModel()->start(makeProject(QStringLiteral("p1")),
                                                           makeIssue(QStringLiteral("7")));

    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    QCoreApplication::exec();

    EXPECT_EQ(windows().applicationWindow(), nullptr) << "the main window was closed";
    const auto saved = timerInFile(uuidText(*account.id()));
    ASSERT_TRUE(saved.has_value()) << "written to the file before the loop ended";
    EXPECT_EQ(saved->state, TimerViewModel::State::active);
    EXPECT_EQ(saved->task->id, "7");

    // The next start finds the timer running.
    restartSnapshots();
    launch();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    TimerViewModel& timer = *windows().applicationWindow()->timerViewModel();
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    ASSERT_TRUE(timer.task().has_value());
    EXPECT_EQ(timer.task()->id, "7");
}

TEST_F(QuittingTest, AWindowOpenedRightAfterAnotherClosedSeesItsTimer) {
    settings.setStopTimeTrackingWhenSwitching(true);
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    const auto beta = addAccount(QStringLiteral("Beta"));
    launch();
    windows().applicationWindow()->timerViewModel()->start(makeProject(QStringLiteral("p1")),
                                                           makeIssue(QStringLiteral("7")));
    // Away and straight back, with no time for the file to be written in between.
    windows().switchProvider(beta, false);
    windows().switchProvider(alpha, false);
    TimerViewModel& timer = *windows().applicationWindow()->timerViewModel();
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    ASSERT_TRUE(timer.task().has_value());
    EXPECT_EQ(timer.task()->id, "7");
}

TEST_F(QuittingTest, OnlyTheUserClosingTheLastWindowQuits) {
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    launch();
    QSignalSpy lastClosed(&windows(), &WindowManager::lastWindowClosed);

    // The shell swaps the main window for the welcome window: no quit.
    ASSERT_TRUE(manager->deleteProvider(*alpha.id()).ok());
    QCoreApplication::processEvents();
    EXPECT_TRUE(windows().welcomeWindow()->isVisible());
    EXPECT_EQ(lastClosed.count(), 0);

    // And back, when the first account is saved.
    ASSERT_TRUE(manager
                    ->save(YouTrackProvider(std::nullopt, QStringLiteral("New"),
                                            YouTrackProvider::Parameters{QStringLiteral("https://yt")}),
                           YouTrackProvider::Credentials{QStringLiteral("token")})
                    .ok());
    QCoreApplication::processEvents();
    EXPECT_EQ(lastClosed.count(), 0);

    windows().applicationWindow()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(lastClosed.count(), 1);
}

TEST_F(QuittingTest, ClosingTheWelcomeWindowQuits) {
    launch();
    QSignalSpy lastClosed(&windows(), &WindowManager::lastWindowClosed);
    windows().welcomeWindow()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(lastClosed.count(), 1);
}

TEST_F(QuittingTest, ACancelledSessionEndKeepsTheMainWindowAndTheTimerRunning) {
    settings.setStopTimeTrackingWhenClosed(true);
    const auto account = addAccount(QStringLiteral("Alpha"));
    launch();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    window->timerViewModel()->start(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")));

    // The session manager asks the app to save; the user then cancels the logout, so
    // no quit follows.
    delegate->commitData();
    QCoreApplication::processEvents();

    EXPECT_EQ(windows().applicationWindow(), window) << "the main window stays";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->timerViewModel()->state(), TimerViewModel::State::active)
        << "not paused by a close that never happened";
    const auto saved = timerInFile(uuidText(*account.id()));
    ASSERT_TRUE(saved.has_value()) << "the timer is on disk in case the session does end";
    EXPECT_EQ(saved->state, TimerViewModel::State::active);
    EXPECT_EQ(saved->task->id, "7");

    // A real end quits, and only then does the window close with its close hook.
    delegate->applicationWillTerminate();
    EXPECT_EQ(windows().applicationWindow(), nullptr);
    EXPECT_EQ(timerInFile(uuidText(*account.id()))->state, TimerViewModel::State::paused);
}
