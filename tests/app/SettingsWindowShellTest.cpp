#include "app/SoftwareUpdater.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/EventLoop.h"
#include "views/settings/AccountsSettingsView.h"
#include "views/settings/GeneralSettingsView.h"
#include "views/settings/SettingsRow.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsSidebarView.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

namespace velmora::test {
namespace {

class SettingsWindowShellTest : public ShellFixture {};

// Tab goes down the Accounts page as it is seen: from the page list to the account rows, then
// to Add Account under them.
TEST_F(SettingsWindowShellTest, TabReachesTheAccountRowsBeforeAddAccount) {
    addAccount(QStringLiteral("Alpha"));
    addAccount(QStringLiteral("Beta"));
    launch();
    windows().showSettings();
    SettingsWindowController* window = windows().settingsWindow();
    ASSERT_NE(window, nullptr);
    window->splitViewController()->viewModel().setRoute(SettingsPage::Name::accounts);
    drainEvents();
    auto* page = qobject_cast<AccountsSettingsView*>(window->splitViewController()->detail());
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->section()->rows().size(), 2);
    QApplication::setActiveWindow(window);
    window->splitViewController()->sidebar()->setFocus(Qt::TabFocusReason);
    drainEvents();
    QStringList reached;
    for (int step = 0; step < 3; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focused = QApplication::focusWidget();
        reached << (focused == page->section()->rows().at(0)   ? QStringLiteral("row 1")
                    : focused == page->section()->rows().at(1) ? QStringLiteral("row 2")
                    : focused == page->addAccountButton()      ? QStringLiteral("Add Account")
                    : focused ? QString::fromLatin1(focused->metaObject()->className())
                              : QStringLiteral("nothing"));
    }
    EXPECT_EQ(reached,
              QStringList({QStringLiteral("row 1"), QStringLiteral("row 2"), QStringLiteral("Add Account")}))
        << reached.join(QStringLiteral(", ")).toStdString();
}

TEST_F(SettingsWindowShellTest, TheSettingsWindowIsMadeOnceKeptWhenClosedAndCountsAsAWindow) {
    addAccount(QStringLiteral("Alpha"));
    launch();
    windows().showSettings();
    SettingsWindowController* window = windows().settingsWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    window->splitViewController()->viewModel().setRoute(SettingsPage::Name::timeTracking);
    QCoreApplication::processEvents();

    // The pages write the shell's own settings, and the General page drives the app's updater.
    window->splitViewController()->viewModel().setRoute(SettingsPage::Name::general);
    QCoreApplication::processEvents();
    auto* general = qobject_cast<GeneralSettingsView*>(window->splitViewController()->detail());
    ASSERT_NE(general, nullptr);
    general->showMyTasksSwitch()->click();
    EXPECT_FALSE(settings.showMyTasksByDefault());
    EXPECT_EQ(general->automaticUpdatesSwitch()->isChecked(),
              delegate->softwareUpdater().automaticallyChecksForUpdates());

    bool quit = false;
    QObject::connect(&windows(), &WindowManager::lastWindowClosed, [&] { quit = true; });
    windows().closeApplication();
    window->close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(quit); // it was the last window
    windows().showSettings();
    EXPECT_EQ(windows().settingsWindow(), window);
}

} // namespace
} // namespace velmora::test
