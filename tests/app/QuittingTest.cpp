#include "ShellFixture.h"

#include "app/Application.h"
#include "app/QuitKey.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "app/WelcomeWindowController.h"
#include "state/TimerSnapshot.h"
#include "tests/support/EventLoop.h"
#include "tests/support/SyncGate.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <csignal>
#include <future>
#include <optional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

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

// Runs the application's loop until it quits; false when it had not within a minute (it is
// then ended from here, so the test goes on).
bool runsUntilQuit() {
    constexpr int gaveUp = 77;
    QTimer failSafe;
    failSafe.setSingleShot(true);
    QObject::connect(&failSafe, &QTimer::timeout, [] { QCoreApplication::exit(gaveUp); });
    failSafe.start(60000);
    return QCoreApplication::exec() != gaveUp;
}

QWidget* visibleWindow(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == objectName && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

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

// The Quit item's Ctrl+Q belongs to the main window's menu, which a sheet blocks: from the sheet
// it quits all the same, the way the item does.
TEST_F(QuittingTest, CtrlQInASheetQuitsTheWayTheMenuDoes) {
    addAccount(QStringLiteral("Alpha"));
    launch();
    UnixSignalWatcher watcher({SIGTERM});
    Application::connectQuitting(*delegate, watcher);
    QuitKey::install(*qApp);
    auto* sheet = new QDialog(windows().applicationWindow());
    auto* field = new QLineEdit(sheet);
    sheet->open();
    field->setFocus();
    ASSERT_EQ(QApplication::activeModalWidget(), sheet);

    QTimer::singleShot(0, field, [field] { QTest::keyClick(field, Qt::Key_Q, Qt::ControlModifier); });
    EXPECT_TRUE(runsUntilQuit());
    EXPECT_EQ(windows().applicationWindow(), nullptr) << "the quit went through its clean-up";
}

// A quit whose last write the disk is slow to take keeps the main thread's events going while
// it waits (nothing of it syncs on that thread before, a closing window's frame included): a
// note says why the app is still there, and a later start hears that it is quitting instead
// of waiting for an answer that never comes. The write, the frame, and a change made while the
// quit waits, are on disk before the app ends.
TEST_F(QuittingTest, AQuitWaitingOnTheDiskSaysSoAndALaterStartHearsIt) {
    addAccount(QStringLiteral("Alpha"));
    launch();
    UnixSignalWatcher watcher({SIGTERM});
    const QString name = QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleInstance instance(name);
    ASSERT_TRUE(instance.listen());
    Application::connectQuitting(*delegate, watcher, &instance);

    test::SyncGate gate;
    snapshots->save(SnapshotKind::Filters, QStringLiteral("last"), QVariantMap{});
    ASSERT_TRUE(gate.waitForASync());
    // Should the wait hold the main thread, the disk answers at last and the test fails.
    std::promise<void> released;
    std::thread failSafe([&gate, answered = released.get_future()] {
        answered.wait_for(std::chrono::minutes(1));
        gate.open();
    });
    bool noteSeen = false;
    // A change made while the quit waits, once the write of what the quit waits for is under way:
    // the disk holds that write (`holding`), then the change's own (`again`) a second longer.
    std::optional<test::SyncGate> holding;
    std::optional<test::SyncGate> again;
    std::atomic<bool> holdingClosed = false;
    std::atomic<bool> againClosed = false;
    bool changed = false;
    int heldAtTheEnd = 0;
    std::thread reopen;
    snapshots->whenWritten(snapshots->changesMade(), [&](const std::optional<QString>&) {
        holding.emplace();
        holdingClosed = true;
    });
    std::optional<SingleInstance::HandOver> later;
    std::thread laterStart;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (holdingClosed && !changed && gate.waitForASync()) {
            changed = true;
            const std::uint64_t before = snapshots->changesMade();
            snapshots->save(SnapshotKind::Filters, QStringLiteral("meanwhile"), QVariantMap{});
            snapshots->whenWritten(before, [&](const std::optional<QString>&) {
                again.emplace();
                againClosed = true;
            });
            reopen = std::thread([&] {
                for (int tries = 0; !againClosed && tries < 6000; ++tries) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::this_thread::sleep_for(std::chrono::seconds(1));
                std::lock_guard lock(test::syncgate::lock);
                heldAtTheEnd = test::syncgate::held;
                test::syncgate::closed = false;
                test::syncgate::changed.notify_all();
            });
            holding->open();
        }
        if (noteSeen || !visibleWindow(QStringLiteral("DiskWaitNote"))) {
            return;
        }
        noteSeen = true;
        laterStart = std::thread([&] {
            later = SingleInstance(name).handOver({QStringLiteral("velmora://add-account")}, 30000);
            released.set_value();
        });
    });
    look.start(20);
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    failSafe.join();
    if (laterStart.joinable()) {
        laterStart.join();
    }
    if (reopen.joinable()) {
        reopen.join();
    }

    EXPECT_TRUE(noteSeen) << "nothing said while the quit waited for the disk";
    EXPECT_EQ(later, SingleInstance::HandOver::Quitting);
    EXPECT_EQ(visibleWindow(QStringLiteral("DiskWaitNote")), nullptr) << "the note goes with the wait";
    SnapshotManager fromDisk(snapshotPath());
    EXPECT_TRUE(fromDisk.value(SnapshotKind::Filters, QStringLiteral("last")).has_value());
    EXPECT_TRUE(changed);
    EXPECT_TRUE(fromDisk.value(SnapshotKind::Filters, QStringLiteral("meanwhile")).has_value());
    // The quit went on to its end (the frame's sync) while that change's write was held.
    EXPECT_EQ(heldAtTheEnd, 1) << "the app ended before a change made while it waited was written";
    EXPECT_TRUE(QSettings(environment().windowStateFile, QSettings::NativeFormat)
                    .contains(ApplicationWindowController::frameAutosaveName));
}

// A quit the disk takes in time says nothing: the note is for a disk that keeps the app waiting
// (should a busy disk take that long here, the note comes no sooner).
TEST_F(QuittingTest, AQuitTheDiskTakesInTimeShowsNoNote) {
    addAccount(QStringLiteral("Alpha"));
    launch();
    UnixSignalWatcher watcher({SIGTERM});
    Application::connectQuitting(*delegate, watcher, nullptr);
    snapshots->save(SnapshotKind::Filters, QStringLiteral("last"), QVariantMap{});
    struct NoteWatch : QObject {
        QElapsedTimer quitting;
        std::optional<qint64> seenAfter;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && watched->objectName() == "DiskWaitNote" && !seenAfter) {
                seenAfter = quitting.elapsed();
            }
            return false;
        }
    } watch;
    qApp->installEventFilter(&watch);
    QTimer::singleShot(0, [&watch] {
        watch.quitting.start();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    qApp->removeEventFilter(&watch);
    EXPECT_GE(watch.seenAfter.value_or(AppDelegate::diskWaitNoteAfterMs), AppDelegate::diskWaitNoteAfterMs);
    EXPECT_TRUE(SnapshotManager(snapshotPath()).value(SnapshotKind::Filters, QStringLiteral("last")).has_value());
}

namespace {

// What the thread `task` of `pid` waits in (the kernel's name), and the system call it is in.
QByteArray waitOf(qint64 pid, const QString& task) {
    QFile wchan(QStringLiteral("/proc/%1/task/%2/wchan").arg(pid).arg(task));
    return wchan.open(QIODevice::ReadOnly) ? wchan.readAll().trimmed() : QByteArray();
}

QByteArray callOf(qint64 pid, const QString& task) {
    QFile syscall(QStringLiteral("/proc/%1/task/%2/syscall").arg(pid).arg(task));
    return syscall.open(QIODevice::ReadOnly) ? syscall.readAll().split(' ').value(0) : QByteArray();
}

// Whether a thread of `pid` waits in its open of a pipe for a writer that never comes, and the
// main thread is held: that open itself, or a lock (a futex) the thread that opens holds.
bool heldByAPipe(qint64 pid) {
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    bool opening = false;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        opening = opening || waitOf(pid, task) == "wait_for_partner";
    }
    const QString main = QString::number(pid);
    return opening && (waitOf(pid, main) == "wait_for_partner" || callOf(pid, main) == "202");
}

} // namespace

// A font file that never opens (a pipe in the user's fonts folder) holds the font database, and
// the main thread with it, for ever: a termination signal still ends the app, without its
// event loop. On the test's own folders and font set-up, never the user's.
TEST(QuittingByASignal, AStartHeldByTheFontDatabaseEndsOnATerminationSignal) {
    QTemporaryDir home;
    const QString fonts = home.filePath(QStringLiteral("data/fonts"));
    ASSERT_TRUE(QDir().mkpath(fonts));
    ASSERT_TRUE(QDir().mkpath(home.filePath(QStringLiteral("cache/fontconfig"))));
    ASSERT_TRUE(QDir().mkpath(home.filePath(QStringLiteral("runtime"))));
    ::chmod(QFile::encodeName(home.filePath(QStringLiteral("runtime"))).constData(), 0700);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fonts + QStringLiteral("/never.ttf")).constData(), 0600), 0);
    QFile configuration(home.filePath(QStringLiteral("fonts.conf")));
    ASSERT_TRUE(configuration.open(QIODevice::WriteOnly));
    configuration.write(QStringLiteral("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                       "<fontconfig><dir>%1</dir><cachedir>%2</cachedir></fontconfig>\n")
                            .arg(fonts, home.filePath(QStringLiteral("cache/fontconfig")))
                            .toUtf8());
    configuration.close();

    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("FONTCONFIG_FILE"), configuration.fileName());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("VELMORA_INSTANCE_NAME"),
                       QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128));
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(VELMORA_APP_BINARY), {});
    ASSERT_TRUE(app.waitForStarted());
    const qint64 pid = app.processId();
    const bool held = test::waitUntil(
        [&] { return heldByAPipe(pid); }, 60000);
    if (!held) {
        app.kill();
        app.waitForFinished();
        FAIL() << "the start was never held by the font: " << app.readAllStandardError().toStdString();
    }

    ::kill(static_cast<pid_t>(pid), SIGTERM);
    const bool ended = test::waitUntil([&] { return app.state() == QProcess::NotRunning; }, 60000);
    if (!ended) {
        app.kill();
        app.waitForFinished();
    }
    EXPECT_TRUE(ended) << "still running after a termination signal";
}
