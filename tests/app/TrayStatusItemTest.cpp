#include "app/TrayStatusItem.h"

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
    TrayStatusItem item;
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
