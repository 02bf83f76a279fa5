#include "app/TrayStatusItem.h"

#include "app/SystemTrayWatch.h"

#include "ShellFixture.h"
#include "app/MenuBarManager.h"
#include "app/WelcomeWindowController.h"
#include "tests/support/EventLoop.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

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
    bool isAvailable() const override { return true; }
    void setImage(const QString&) override {}
    void setTitle(const QString&) override {}
    void setMenu(const QList<StatusMenuEntry>& menu) override { entries = menu; }
    void setActivation(std::function<void()> activate) override { activation = std::move(activate); }
    const StatusMenuEntry* entry(const QString& text) const {
        for (const auto& e : entries) {
            if (e.title == text) {
                return &e;
            }
        }
        return nullptr;
    }
    QList<StatusMenuEntry> entries;
    std::function<void()> activation;
};

class TrayReachTest : public ShellFixture {
protected:
    RecordingStatusItem* item = nullptr;

    AppDelegate& launchWithItem() {
        ShellEnvironment env = environment();
        env.makeStatusItem = [this]() -> std::unique_ptr<StatusItem> {
            auto made = std::make_unique<RecordingStatusItem>();
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
    first->close();
    drainEvents();
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), nullptr);

    ASSERT_TRUE(item->activation);
    item->activation();
    drainEvents();
    ApplicationWindowController* shown = delegate->windowManager().applicationWindow();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_FALSE(shown->hasClosed());
    EXPECT_EQ(delegate->menuBarManager().timerViewModel(), shown->timerViewModel())
        << "the status item follows the window's timer again";

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
    EXPECT_TRUE(icon->toolTip().endsWith(QStringLiteral("01:05"))) << icon->toolTip().toStdString();
    EXPECT_EQ(icon->contextMenu(), item.menu());
    // Later changes reach the icon as before.
    item.setTitle(QStringLiteral("01:06"));
    EXPECT_TRUE(icon->toolTip().endsWith(QStringLiteral("01:06")));
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
