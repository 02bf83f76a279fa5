#include "app/TrayStatusItem.h"

#include "app/SystemTrayWatch.h"

#include "ShellFixture.h"
#include "app/Application.h"
#include "app/MenuBarManager.h"
#include "app/UnixSignalWatcher.h"
#include "app/WelcomeWindowController.h"
#include "state/TimerSnapshot.h"
#include "tests/support/DesktopText.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ThreadCpuClock.h"
#include "tests/support/TimeScale.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

// A tray that the test starts and ends.
struct FakeTrayWatch : SystemTrayWatch {
    explicit FakeTrayWatch(bool running) : available(running) {}
    bool isAvailable() const override { return available; }
    void set(bool running) {
        available = running;
        emit availabilityChanged(running);
    }
    bool available;
};

std::unique_ptr<FakeTrayWatch> trayRunning(bool running = true) {
    return std::make_unique<FakeTrayWatch>(running);
}

} // namespace

TEST(TrayStatusItemTest, TheMenuOnScreenStaysWhileItsEntriesDoNotChange) {
    TrayStatusItem item;
    const QList<StatusMenuEntry> running{{QStringLiteral("Pause"), [] {}},
                                         {QStringLiteral("Continue"), {}},
                                         {QString(), {}, true},
                                         {QStringLiteral("Quit"), [] {}}};
    item.setMenu(running);
    QPointer<QMenu> shown = item.menu();
    ASSERT_TRUE(shown);
    // The once-a-second refresh hands over the same entries.
    item.setMenu(running);
    item.setMenu(running);
    EXPECT_EQ(item.menu(), shown.data());
    ASSERT_EQ(shown->actions().size(), 4);
    EXPECT_TRUE(shown->actions().at(0)->isEnabled());
    EXPECT_FALSE(shown->actions().at(1)->isEnabled());
}

TEST(TrayStatusItemTest, AnItemWhoseActionReplacesTheMenuFinishesSafely) {
    TrayStatusItem item;
    int paused = 0;
    QList<StatusMenuEntry> pausedEntries{{QStringLiteral("Pause"), {}},
                                         {QStringLiteral("Continue"), [] {}},
                                         {QString(), {}, true},
                                         {QStringLiteral("Quit"), [] {}}};
    // Pause changes the timer's state, whose redraw hands over a new menu from within
    // the old menu's own item.
    item.setMenu({{QStringLiteral("Pause"),
                   [&] {
                       ++paused;
                       item.setMenu(pausedEntries);
                   }},
                  {QStringLiteral("Continue"), {}},
                  {QString(), {}, true},
                  {QStringLiteral("Quit"), [] {}}});
    QPointer<QMenu> old = item.menu();
    old->actions().front()->trigger();
    EXPECT_EQ(paused, 1);
    EXPECT_NE(item.menu(), old.data());
    EXPECT_TRUE(old) << "the old menu outlives the handling of its item";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(old.isNull());
    EXPECT_FALSE(item.menu()->actions().front()->isEnabled());
}

TEST(TrayStatusItemTest, ClickingTheIconRunsItsActivationAndTheMenuKeyDoesNot) {
    TrayStatusItem item(trayRunning());
    int activations = 0;
    item.setActivation([&] { ++activations; });
    auto* tray = item.findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(activations, 2);
    // The other button opens the menu, and only that.
    emit tray->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(activations, 2);
}

namespace {

// A status item that keeps what the shell gave it.
struct RecordingStatusItem : StatusItem {
    bool isAvailable() const override { return available; }
    void setImage(const QString&) override {}
    void setTitle(const QString& text) override { title = text; }
    void setMenu(const QList<StatusMenuEntry>& menu) override { entries = menu; }
    void setActivation(std::function<void()> activate) override { activation = std::move(activate); }
    void setAvailabilityChanged(std::function<void()> changed) override {
        availabilityChanged = std::move(changed);
    }
    // The tray ends (or comes back).
    void setAvailable(bool running) {
        available = running;
        availabilityChanged();
    }
    const StatusMenuEntry* entry(const QString& text) const {
        for (const auto& e : entries) {
            if (e.title == text) {
                return &e;
            }
        }
        return nullptr;
    }
    bool available = true;
    QString title;
    QList<StatusMenuEntry> entries;
    std::function<void()> activation;
    std::function<void()> availabilityChanged;
};

class TrayReachTest : public ShellFixture {
protected:
    RecordingStatusItem* item = nullptr;

    // The main window shown, its timer started on a task, and the window closed by the user;
    // the timer as it was.
    QPointer<TimerViewModel> closeTheWindowOfARunningTimer() {
        ApplicationWindowController* window = windows().applicationWindow();
        EXPECT_NE(window, nullptr);
        if (!window) {
            return nullptr;
        }
        window->show();
        QPointer<TimerViewModel> timer = window->timerViewModel();
        timer->start(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")));
        window->close();
        drainEvents();
        return timer;
    }

    AppDelegate& launchWithItem(bool trayRunning = true) {
        ShellEnvironment env = environment();
        env.makeStatusItem = [this, trayRunning]() -> std::unique_ptr<StatusItem> {
            auto made = std::make_unique<RecordingStatusItem>();
            made->available = trayRunning;
            item = made.get();
            return made;
        };
        delegate = std::make_unique<AppDelegate>(env);
        delegate->applicationDidFinishLaunching();
        drainEvents();
        return *delegate;
    }
};

} // namespace

// With the main window closed the app lives on in the tray: the icon and its menu
// bring the window back, bound to the status item again.
TEST_F(TrayReachTest, ActivatingTheIconAfterTheWindowWasClosedShowsTheMainWindow) {
    addAccount(QStringLiteral("Alpha"));
    launchWithItem();
    ASSERT_NE(item, nullptr);
    ApplicationWindowController* first = delegate->windowManager().applicationWindow();
    ASSERT_NE(first, nullptr);
    first->show();
    TimerViewModel* timer = first->timerViewModel();
    first->close();
    drainEvents();
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), timer) << "the tray keeps showing the timer";

    ASSERT_TRUE(item->activation);
    item->activation();
    drainEvents();
    ApplicationWindowController* shown = delegate->windowManager().applicationWindow();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_FALSE(shown->hasClosed());
    EXPECT_EQ(shown->timerViewModel(), timer) << "the new window shows the timer the tray kept";
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), timer);

    // The menu offers the same, and a shown window is only brought forward.
    shown->close();
    drainEvents();
    const StatusMenuEntry* open = item->entry(QStringLiteral("Open Velmora"));
    ASSERT_NE(open, nullptr);
    ASSERT_TRUE(open->enabled());
    open->action();
    drainEvents();
    ApplicationWindowController* again = delegate->windowManager().applicationWindow();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->isVisible());
    item->activation();
    drainEvents();
    EXPECT_EQ(delegate->windowManager().applicationWindow(), again);
}

// With a tray the app lives on when its window closes, so the timer runs on: the tray
// shows it and pauses and continues it, and the next window takes it up as it stands.
TEST_F(TrayReachTest, WithATrayClosingTheWindowLeavesTheTimerRunningInTheTray) {
    settings.setStopTimeTrackingWhenClosed(true);
    addAccount(QStringLiteral("Alpha"));
    launchWithItem();
    ASSERT_NE(item, nullptr);
    QSignalSpy lastClosed(&windows(), &WindowManager::lastWindowClosed);
    const QPointer<TimerViewModel> timer = closeTheWindowOfARunningTimer();

    EXPECT_EQ(lastClosed.count(), 0) << "no quit: the app is in the tray";
    ASSERT_FALSE(timer.isNull()) << "the timer outlives its window";
    EXPECT_EQ(timer->state(), TimerViewModel::State::active) << "closing a window is no exit";
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), timer.data());
    EXPECT_FALSE(item->title.isEmpty());
    ASSERT_NE(item->entry(QStringLiteral("Pause")), nullptr);
    ASSERT_TRUE(item->entry(QStringLiteral("Pause"))->enabled());
    item->entry(QStringLiteral("Pause"))->action();
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
    ASSERT_NE(item->entry(QStringLiteral("Continue")), nullptr);
    ASSERT_TRUE(item->entry(QStringLiteral("Continue"))->enabled()) << "a paused timer can go on";
    item->entry(QStringLiteral("Continue"))->action();
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);

    item->activation();
    drainEvents();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(windows().applicationWindow()->timerViewModel(), timer.data());
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
}

// "Pause time tracking on close" pauses the timer as the application exits, which with a
// tray is its Quit, not the window's close; off, the timer is saved running.
TEST_F(TrayReachTest, QuittingFromTheTrayPausesTheTimerAsTheUserSetIt) {
    const auto account = addAccount(QStringLiteral("Alpha"));
    for (const bool pauseOnExit : {true, false}) {
        settings.setStopTimeTrackingWhenClosed(pauseOnExit);
        launchWithItem();
        UnixSignalWatcher watcher({SIGTERM});
        Application::connectQuitting(*delegate, watcher);
        ASSERT_FALSE(closeTheWindowOfARunningTimer().isNull());
        ASSERT_NE(item->entry(QStringLiteral("Quit")), nullptr);
        QTimer::singleShot(0, [this] { item->entry(QStringLiteral("Quit"))->action(); });
        QCoreApplication::exec();

        SnapshotManager fromDisk(snapshotPath());
        const auto saved = fromDisk.value<TimerSnapshot>(uuidText(*account.id()));
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->state, pauseOnExit ? TimerViewModel::State::paused : TimerViewModel::State::active);
        restartSnapshots();
    }
}

// Without a tray nothing would show the app once its window is gone: closing the window
// quits, and the timer pauses as the window closes, as the user set it.
TEST_F(TrayReachTest, WithoutATrayClosingTheWindowQuitsAndPausesTheTimer) {
    settings.setStopTimeTrackingWhenClosed(true);
    addAccount(QStringLiteral("Alpha"));
    launchWithItem(false);
    QSignalSpy lastClosed(&windows(), &WindowManager::lastWindowClosed);
    const QPointer<TimerViewModel> timer = closeTheWindowOfARunningTimer();
    EXPECT_EQ(lastClosed.count(), 1);
    ASSERT_FALSE(timer.isNull());
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
}

// A tray that ends while no window is open would leave the app out of reach: its window
// comes back.
TEST_F(TrayReachTest, ATrayThatEndsWhileTheWindowIsClosedBringsTheWindowBack) {
    addAccount(QStringLiteral("Alpha"));
    launchWithItem();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    window->show();
    window->close();
    drainEvents();
    item->setAvailable(false);
    drainEvents();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().applicationWindow()->isVisible());
}

// Without an account the icon leads to the welcome window.
TEST_F(TrayReachTest, WithoutAnAccountTheIconShowsTheWelcomeWindow) {
    launchWithItem();
    WelcomeWindowController* welcome = delegate->windowManager().existingWelcomeWindow();
    ASSERT_NE(welcome, nullptr);
    welcome->close();
    drainEvents();
    ASSERT_TRUE(item->activation);
    item->activation();
    drainEvents();
    EXPECT_TRUE(welcome->isVisible());
}

// A tray that starts after the app gets the icon, with what the item holds by then; until
// then there is no icon (and nothing is drawn for one), and the shell hears of the change.
TEST(TrayStatusItemTest, ATrayThatStartsLaterGetsTheIcon) {
    auto watch = trayRunning(false);
    FakeTrayWatch* tray = watch.get();
    TrayStatusItem item(std::move(watch));
    int changes = 0;
    item.setAvailabilityChanged([&] { ++changes; });
    item.setImage(QStringLiteral("MenuBarActive"));
    item.setTitle(QStringLiteral("01:05"));
    item.setMenu({{QStringLiteral("Pause"), [] {}}, {QStringLiteral("Quit"), [] {}}});
    EXPECT_FALSE(item.isAvailable());
    EXPECT_EQ(item.trayIcon(), nullptr);
    EXPECT_EQ(item.findChild<QSystemTrayIcon*>(), nullptr) << "no icon asks Qt for a tray before one runs";

    tray->set(true);
    EXPECT_TRUE(item.isAvailable());
    EXPECT_EQ(changes, 1);
    QSystemTrayIcon* icon = item.trayIcon();
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(icon->isVisible());
    EXPECT_FALSE(icon->icon().isNull());
    EXPECT_TRUE(icon->toolTip().contains(QStringLiteral("01:05"))) << icon->toolTip().toStdString();
    EXPECT_EQ(icon->contextMenu(), item.menu());
    // Later changes reach the icon as before.
    item.setTitle(QStringLiteral("01:06"));
    EXPECT_TRUE(icon->toolTip().contains(QStringLiteral("01:06")));
    item.setMenu({{QStringLiteral("Continue"), [] {}}, {QStringLiteral("Quit"), [] {}}});
    EXPECT_EQ(icon->contextMenu(), item.menu());

    // A tray that ends and comes back keeps the one icon.
    tray->set(false);
    tray->set(true);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(item.trayIcon(), icon);
}

namespace {

// A status item whose tray the test starts.
struct LateTrayItem : StatusItem {
    bool isAvailable() const override { return available; }
    void setImage(const QString&) override {}
    void setTitle(const QString& text) override { title = text; }
    void setMenu(const QList<StatusMenuEntry>&) override {}
    void setAvailabilityChanged(std::function<void()> changed) override {
        this->changed = std::move(changed);
    }
    bool available = false;
    QString title;
    std::function<void()> changed;
};

class LateTrayTest : public ShellFixture {};

} // namespace

// Without a tray the running time is in the main window's title; a tray that starts then
// takes it over at once, not at the next minute of the timer.
TEST_F(LateTrayTest, ATrayThatStartsTakesTheRunningTimeFromTheTitle) {
    addAccount(QStringLiteral("Alpha"));
    LateTrayItem* item = nullptr;
    ShellEnvironment env = environment();
    env.makeStatusItem = [&item]() -> std::unique_ptr<StatusItem> {
        auto made = std::make_unique<LateTrayItem>();
        item = made.get();
        return made;
    };
    delegate = std::make_unique<AppDelegate>(env);
    delegate->applicationDidFinishLaunching();
    drainEvents();
    ApplicationWindowController* window = delegate->windowManager().applicationWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(item, nullptr);
    window->timerViewModel()->start(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("i")));
    drainEvents();
    ASSERT_FALSE(item->title.isEmpty());
    EXPECT_TRUE(window->windowTitle().contains(item->title)) << window->windowTitle().toStdString();

    item->available = true;
    ASSERT_TRUE(item->changed);
    item->changed();
    EXPECT_FALSE(window->windowTitle().contains(item->title)) << window->windowTitle().toStdString();
    // And gives it back when it ends.
    item->available = false;
    item->changed();
    EXPECT_TRUE(window->windowTitle().contains(item->title)) << window->windowTitle().toStdString();
}

namespace {

// The icon the tray shows, drawn at `size` pixels as a tray of that height asks for it.
QImage trayImage(TrayStatusItem& item, int size) {
    return item.trayIcon()
        ->icon()
        .pixmap(QSize(size, size), 1.0)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32);
}

// How tall the time's figures are: the bands of rows in which the icon for "00:00" and the
// icon for "11:11" differ (a 0 and a 1 differ in nearly every row they cover) are the
// hours' and the minutes' lines; the shorter of the two. Lines that blur into each other,
// with no row between them, are one band and no figures.
int figureHeight(TrayStatusItem& item, int size) {
    item.setTitle(QStringLiteral("00:00"));
    const QImage zeros = trayImage(item, size);
    item.setTitle(QStringLiteral("11:11"));
    const QImage ones = trayImage(item, size);
    std::vector<int> bands{0};
    for (int y = 0; y < zeros.height(); ++y) {
        bool differs = false;
        for (int x = 0; x < zeros.width() && !differs; ++x) {
            differs = zeros.pixel(x, y) != ones.pixel(x, y);
        }
        if (differs) {
            ++bands.back();
        } else if (bands.back() > 0) {
            bands.push_back(0);
        }
    }
    std::sort(bands.begin(), bands.end(), std::greater<>());
    return bands.size() < 2 ? 0 : bands.at(1);
}

} // namespace

// Trays are 16 to 24 pixels high (a tray of 16 gives its icons 14): the time is read
// there, drawn at the size asked for, running or paused, its figures as tall as two lines
// with a pixel between them allow.
TEST(TrayStatusItemTest, TheTimeIsLegibleInTraysOf14To22Pixels) {
    TrayStatusItem item(trayRunning());
    item.setImage(QStringLiteral("MenuBarActive"));
    item.setMenu({{QStringLiteral("Quit"), [] {}}});
    ASSERT_NE(item.trayIcon(), nullptr);
    for (const bool running : {true, false}) {
        item.setRunning(running);
        EXPECT_GE(figureHeight(item, 22), 10) << running;
        EXPECT_GE(figureHeight(item, 16), 7) << running;
        EXPECT_GE(figureHeight(item, 14), 6) << running;
    }
    // Three-figure hours are drawn whole, not cut at the edge.
    item.setTitle(QStringLiteral("123:45"));
    const QImage hundreds = trayImage(item, 22);
    item.setTitle(QStringLiteral("23:45"));
    EXPECT_NE(hundreds, trayImage(item, 22));
}

// A paused timer is told from a running one at a glance, whatever the tray's size, and
// either from the idle icon.
TEST(TrayStatusItemTest, RunningAndPausedTimesLookDifferent) {
    TrayStatusItem item(trayRunning());
    item.setMenu({{QStringLiteral("Quit"), [] {}}});
    item.setImage(QStringLiteral("MenuBarInactive"));
    item.setTitle(QString());
    ASSERT_NE(item.trayIcon(), nullptr);
    const QImage idle = trayImage(item, 22);
    item.setImage(QStringLiteral("MenuBarActive"));
    item.setTitle(QStringLiteral("01:02"));
    for (const int size : {16, 22, 24}) {
        item.setRunning(true);
        const QImage running = trayImage(item, size);
        item.setRunning(false);
        const QImage paused = trayImage(item, size);
        EXPECT_NE(running, paused) << size << " pixels";
        if (size == 22) {
            EXPECT_NE(running, idle);
            EXPECT_NE(paused, idle);
        }
    }
}

namespace {

// The relative luminance of a colour, and the contrast ratio of two (1 to 21), as the web's
// accessibility guidelines define them.
double luminance(QRgb rgb) {
    const auto linear = [](int channel) {
        const double c = channel / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) + 0.0722 * linear(qBlue(rgb));
}

double contrast(QRgb a, QRgb b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The icon for `title` at `size` as a tray of colour `panel` shows it.
QImage onPanel(TrayStatusItem& item, const QString& title, int size, const QColor& panel) {
    item.setTitle(title);
    QImage shown(size, size, QImage::Format_RGB32);
    shown.fill(panel);
    QPainter painter(&shown);
    painter.drawImage(0, 0, trayImage(item, size));
    return shown;
}

// How the figures stand against what is behind them, on that panel: where the icon of
// "00:00" and that of "11:11" differ one has a figure and the other its ground, and the
// best of those pixels is a figure's core against the ground around it.
double figureContrast(TrayStatusItem& item, int size, const QColor& panel) {
    const QImage zeros = onPanel(item, QStringLiteral("00:00"), size, panel);
    const QImage ones = onPanel(item, QStringLiteral("11:11"), size, panel);
    double best = 1;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            best = std::max(best, contrast(zeros.pixel(x, y), ones.pixel(x, y)));
        }
    }
    return best;
}

// How the icon stands against the panel: the contrast that a tenth of its area reaches.
double iconContrast(TrayStatusItem& item, int size, const QColor& panel) {
    const QImage shown = onPanel(item, QStringLiteral("01:30"), size, panel);
    std::vector<double> contrasts;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            contrasts.push_back(contrast(shown.pixel(x, y), panel.rgb()));
        }
    }
    std::sort(contrasts.begin(), contrasts.end(), std::greater<>());
    return contrasts.at(contrasts.size() / 10);
}

} // namespace

// A tray is light or dark: the icon, running or paused, stands at 3:1 or more against
// white, a light grey, a dark grey and black panels, and its figures at 4.5:1 against
// whatever is behind them there, as small text needs.
TEST(TrayStatusItemTest, TheTimeReadsOnLightAndDarkPanels) {
    TrayStatusItem item(trayRunning());
    item.setImage(QStringLiteral("MenuBarActive"));
    item.setMenu({{QStringLiteral("Quit"), [] {}}});
    ASSERT_NE(item.trayIcon(), nullptr);
    const QColor panels[] = {QColor(0xff, 0xff, 0xff), QColor(0xef, 0xf0, 0xf1), QColor(0x2b, 0x2b, 0x2b),
                             QColor(0x00, 0x00, 0x00)};
    for (const bool running : {true, false}) {
        item.setRunning(running);
        for (const int size : {14, 16, 22}) {
            for (const QColor& panel : panels) {
                const std::string where = std::string(running ? "running" : "paused") + ", " +
                                          std::to_string(size) + " px on " + panel.name().toStdString();
                EXPECT_GE(iconContrast(item, size, panel), 3.0) << where;
                EXPECT_GE(figureContrast(item, size, panel), 4.5) << where;
            }
        }
    }
}

namespace {

// The tooltip as the tray shows it: Qt takes it for rich text when it looks like it.
QString shownToolTip(const TrayStatusItem& item) {
    const QString tip = item.trayIcon()->toolTip();
    QTextDocument shown;
    if (Qt::mightBeRichText(tip)) {
        shown.setHtml(tip);
    } else {
        shown.setPlainText(tip);
    }
    return shown.toPlainText();
}

} // namespace

// The tooltip names the time, its task and whether it is paused, and what is on hold,
// with the task's name shown as written.
TEST(TrayStatusItemTest, TheTooltipNamesTheTaskAndWhatIsOnHold) {
    TrayStatusItem item(trayRunning());
    item.setMenu({{QStringLiteral("Quit"), [] {}}});
    ASSERT_NE(item.trayIcon(), nullptr);
    const QString held = QStringLiteral("1h 30m on WEB-1 on hold until 10:52");
    item.setNotes({held});
    EXPECT_TRUE(shownToolTip(item).contains(held)) << "without a timer too";

    item.setImage(QStringLiteral("MenuBarActive"));
    item.setTitle(QStringLiteral("00:45"));
    item.setSubject(QStringLiteral("<b>WEB-2</b>"));
    item.setRunning(false);
    QString shown = shownToolTip(item);
    EXPECT_TRUE(shown.contains(QStringLiteral("00:45 on <b>WEB-2</b>, paused"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(held)) << shown.toStdString();
    // A long name is cut, never the word that says the timer is paused.
    item.setSubject(QStringLiteral("WEB-2 ").repeated(100));
    EXPECT_TRUE(shownToolTip(item).contains(QStringLiteral("…, paused"))) << shownToolTip(item).toStdString();

    item.setRunning(true);
    shown = shownToolTip(item);
    EXPECT_FALSE(shown.contains(QStringLiteral("paused"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(held)) << shown.toStdString();
    item.setNotes({});
    EXPECT_FALSE(shownToolTip(item).contains(held));
}

// The tooltip shows within a frame, whatever the task is named: where the tray is one of the
// window system's (XEmbed), Qt shows it as its own tooltip, which lays its text out a score of
// times at each show, and a task named with 500 rockets, twice on hold, took it a quarter of a
// second. Its lines together cost what one line of a list may.
TEST(TrayStatusItemTest, TheTooltipOfATaskNamedWithEmojiShowsWithinAFrame) {
    if (!colourEmojiFontDrawsEmoji()) {
        GTEST_SKIP() << "the colour emoji font does not draw emoji here";
    }
    TrayStatusItem item(trayRunning());
    item.setMenu({{QStringLiteral("Quit"), [] {}}});
    ASSERT_NE(item.trayIcon(), nullptr);
    const QString rockets = QStringLiteral("\U0001F680").repeated(500);
    item.setImage(QStringLiteral("MenuBarActive"));
    item.setSubject(rockets);
    item.setNotes({QStringLiteral("30m on ") + rockets, QStringLiteral("1h on ") + rockets});
    ASSERT_TRUE(item.trayIcon()->toolTip().contains(QStringLiteral("\U0001F680")));
    QWidget anchor;
    anchor.resize(100, 100);
    anchor.show();
    drainEvents();
    double least = 1e9;
    for (int show = 0; show < 3; ++show) {
        // A minute later each time: the tooltip is new, and laid out anew.
        item.setTitle(QStringLiteral("00:%1").arg(46 + show));
        const QString tip = item.trayIcon()->toolTip();
        ThreadCpuClock clock;
        QToolTip::showText(QPoint(40, 40), tip, &anchor);
        drainEvents(2);
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top->isVisible() && top->windowFlags().testFlag(Qt::ToolTip)) {
                top->repaint();
            }
        }
        least = std::min(least, static_cast<double>(clock.elapsedMicroseconds()) / 1000.0);
    }
    QToolTip::hideText();
    EXPECT_LT(least, static_cast<double>(cpuBudget(3 * 16)) * timeScale());
}
