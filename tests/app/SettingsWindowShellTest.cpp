#include "app/SoftwareUpdater.h"
#include "tests/app/ShellFixture.h"
#include "views/settings/GeneralSettingsView.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"

#include <QCheckBox>

namespace velmora::test {
namespace {

class SettingsWindowShellTest : public ShellFixture {};

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
