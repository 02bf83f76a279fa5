#pragma once

#include "app/ApplicationWindowController.h"
#include "app/ShellEnvironment.h"
#include "app/WelcomeWindowController.h"
#include "app/WindowViews.h"
#include "core/model/AnyProvider.h"
#include "core/model/ShellHooks.h"
#include "views/settings/SettingsWindowController.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>

#include <optional>

namespace velmora {

class SoftwareUpdater;

// Decides which account is current and which window shows: the main window of the
// current account, or the welcome window while no account is usable. The current
// account is always an operational stored account or none; the choice survives
// restarts through the "defaultAccount" setting.
//
// It is the shell's side of ShellHooks: core reaches it after an account is saved,
// deleted or marked missing credentials. Main thread only.
class WindowManager : public QObject, public ShellHooks {
    Q_OBJECT

public:
    explicit WindowManager(ShellEnvironment environment = {}, WindowViews views = WindowViews::standard(),
                           QObject* parent = nullptr);
    ~WindowManager() override;

    const std::optional<AnyProvider>& provider() const { return m_provider; }
    // True only while switchProvider() swaps the windows.
    bool isSwitching() const { return m_isSwitching; }

    // Made on first use and then kept.
    WelcomeWindowController* welcomeWindow();
    // Made on first use and then kept; needs the software updater (setSoftwareUpdater).
    SettingsWindowController* settingsWindow();
    // The updater whose switch and checks the settings window's General page shows.
    void setSoftwareUpdater(SoftwareUpdater* updater) { m_softwareUpdater = updater; }
    // The main window of the current account, while there is one.
    ApplicationWindowController* applicationWindow() const { return m_applicationWindow; }
    // The welcome and settings windows if they were made (none is made here).
    WelcomeWindowController* existingWelcomeWindow() const { return m_welcomeWindow; }
    SettingsWindowController* existingSettingsWindow() const { return m_settingsWindow; }
    // True when the last choice of the current account found the stored accounts
    // unreadable (a damaged store): no account is current then, yet the user has not
    // been found to have none, so the welcome window is not the answer.
    bool accountsUnreadable() const { return m_accountsUnreadable; }
    // The alert saying so, while it is on screen.
    QMessageBox* accountsAlert() const { return m_accountsAlert; }

    // Picks the current account at start-up: the stored default when it is usable,
    // otherwise the default chosen again (without touching windows). When the stored
    // accounts cannot be read, none is current, the stored default is kept and
    // `accountsUnreadable()` is true.
    virtual void selectInitialAccount();
    // The operational stored account with this id text, or none.
    virtual std::optional<AnyProvider> loadProvider(const QString& id);
    // Chooses the current account again: the first operational account by name, stored
    // as the default (or none, and an empty default). A current account that is still
    // operational stays current, so an account marked in the background never pulls
    // the user away from a healthy one. With `showWindow` the menu is rebuilt and the
    // window that fits the choice is shown (the alert of `showAccountsUnreadable` when
    // the accounts cannot be read).
    virtual void selectDefaultProvider(bool showWindow) override;
    // Makes the account current; its id is stored as the default when the user lets the
    // default follow, or with `setAsDefault`. An account without id does nothing.
    void switchProvider(const AnyProvider& provider, bool setAsDefault);

    // ShellHooks.
    std::optional<AnyProvider> currentProvider() const override { return m_provider; }
    void switchToProvider(const QUuid& id, bool force) override;
    void providerDeleted(const AnyProvider& provider) override;
    void rebuildMainMenu() override;

    void showWelcome();
    // The alert "Your accounts could not be read.", naming the store's file; shown once
    // (raised again while it is open). Closing it counts as closing a window.
    void showAccountsUnreadable();
    void closeWelcome();
    void showApplication();
    void closeApplication();
    // The About box (name, version and build).
    void showAbout();
    void showSettings();
    void closeSettings();

signals:
    // The accounts or the current account changed in a way the main menu shows.
    void mainMenuRebuildRequested();
    // A window was made (each window carries its own main menu).
    void windowMade();
    // The user closed the last of the shell's windows: time to quit.
    void lastWindowClosed();

private:
    // False (keeping the stored default) when the accounts could not be read.
    bool chooseDefault();
    void windowClosedByUser();
    bool anyWindowVisible() const;

    const ShellEnvironment m_environment;
    const WindowViews m_views;
    QPointer<WelcomeWindowController> m_welcomeWindow;
    QPointer<ApplicationWindowController> m_applicationWindow;
    QPointer<SettingsWindowController> m_settingsWindow;
    QPointer<QMessageBox> m_accountsAlert;
    SoftwareUpdater* m_softwareUpdater = nullptr;
    std::optional<AnyProvider> m_provider;
    bool m_isSwitching = false;
    bool m_accountsUnreadable = false;
    // Above zero while the shell itself closes windows (a swap), which never quits.
    int m_closingOwnWindows = 0;
    // Counts the application windows begun, so a making that another overtook can tell.
    quint64 m_windowsMade = 0;
};

} // namespace velmora
