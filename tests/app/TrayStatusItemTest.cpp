#include "app/TrayStatusItem.h"

#include "tests/support/EventLoop.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

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
