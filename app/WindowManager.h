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

#include <functional>
#include <memory>
#include <optional>

namespace velmora {

class SoftwareUpdater;
class TimerViewModel;

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
    // The timer of the current account: made with the account's first main window and
    // kept while the account stays current, across that window's closes, so the status
    // item shows it and the next window takes it up as it stands. Null before.
    TimerViewModel* timerViewModel() const { return m_timer.get(); }
    // The key that timer is saved under (its account's id).
    const QString& timerKey() const { return m_timerKey; }
    // Whether the app lives on with no window open (a tray shows it and brings the
    // windows back). Then the user's close of the last window quits nothing, and a close
    // of the main window leaves the timer running; otherwise that close pauses the timer
    // as "stopTimeTrackingWhenClosed" says, and the app quits.
    void setLivesWithoutWindows(std::function<bool()> lives) { m_livesWithoutWindows = std::move(lives); }
    // Whether one of the app's windows is on screen.
    bool anyWindowVisible() const;
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
    // The application exits: the main window closes, and the timer pauses as
    // "stopTimeTrackingWhenClosed" says and is saved (also when its window had closed
    // before).
    void applicationWillTerminate();
    // The About box (name, version and build).
    void showAbout();
    void showSettings();
    void closeSettings();

signals:
    // The accounts or the current account changed in a way the main menu shows.
    void mainMenuRebuildRequested();
    // A window was made (each window carries its own main menu).
    void windowMade();
    // The user closed the last of the shell's windows and nothing else shows the app:
    // time to quit.
    void lastWindowClosed();
    // Another timer (or none) is the current account's.
    void timerChanged(velmora::TimerViewModel* timer);

private:
    // False (keeping the stored default) when the accounts could not be read.
    bool chooseDefault();
    void windowClosedByUser();
    // The main window closed: the timer pauses or runs on (see setLivesWithoutWindows).
    void applicationWindowClosed(ApplicationWindowController& window, bool byUser);
    // The current account's timer, made now unless it is there.
    std::shared_ptr<TimerViewModel> timerFor(const AnyProvider& provider);
    // Lets go of a timer whose account is no longer current, after its close hook.
    void releaseTimerOfFormerAccount();
    bool livesWithoutWindows() const { return m_livesWithoutWindows && m_livesWithoutWindows(); }

    const ShellEnvironment m_environment;
    const WindowViews m_views;
    QPointer<WelcomeWindowController> m_welcomeWindow;
    QPointer<ApplicationWindowController> m_applicationWindow;
    QPointer<SettingsWindowController> m_settingsWindow;
    QPointer<QMessageBox> m_accountsAlert;
    SoftwareUpdater* m_softwareUpdater = nullptr;
    std::optional<AnyProvider> m_provider;
    // The current account's timer and the key it is saved under (the account's id).
    std::shared_ptr<TimerViewModel> m_timer;
    QString m_timerKey;
    std::function<bool()> m_livesWithoutWindows;
    bool m_isSwitching = false;
    bool m_accountsUnreadable = false;
    // Above zero while the shell itself closes windows (a swap), which never quits.
    int m_closingOwnWindows = 0;
    // Counts the application windows begun, so a making that another overtook can tell.
    quint64 m_windowsMade = 0;
};

} // namespace velmora
