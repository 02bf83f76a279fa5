#pragma once

#include "app/ShellEnvironment.h"
#include "app/WindowViews.h"

#include <QDialog>
#include <QObject>
#include <QPointer>

#include <memory>

namespace velmora {

class BackgroundTaskManager;
class BookingRecords;
class BookingRecovery;
class DeepLinkHandler;
class FirstFrameWatch;
class MenuBarManager;
class SoftwareUpdater;
class WindowManager;

// Ties the shell together: owns the window manager (which picks the current account
// as it is made), runs the start-up sequence once the event loop is about to run, and
// sees to it that any quit (the last window closed without a tray, the tray's Quit, the
// session ending, SIGTERM) gives the timer its close hook and writes what the snapshot
// store still holds before the process ends.
//
// The running app has exactly one, reached through shared().
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(ShellEnvironment environment = {}, WindowViews views = WindowViews::standard(),
                         QObject* parent = nullptr);
    ~AppDelegate() override;

    // The app's delegate; null before it is made and after it is gone.
    static AppDelegate* shared();

    WindowManager& windowManager() const { return *m_windowManager; }
    // Made first of the shell's services; it checks for updates from the start.
    SoftwareUpdater& softwareUpdater() const { return *m_softwareUpdater; }
    MenuBarManager& menuBarManager() const { return *m_menuBarManager; }
    BackgroundTaskManager& backgroundTaskManager() const { return *m_backgroundTaskManager; }
    DeepLinkHandler& deepLinkHandler() const { return *m_deepLinkHandler; }
    ProviderManager& providerManager() const { return m_environment.providerManager(); }
    // What became of every booking, for the whole run (outliving windows and account
    // switches), and the look-ups of those whose answer was not seen.
    BookingRecords& bookingRecords() const { return *m_environment.state.bookings; }

    // Links the app was opened with (by this start or a later one); none brings the
    // app's window to the front.
    void openLinks(const QStringList& links);

    // Brings the app's window to the front: the main window of the current account
    // (made anew when the user had closed it), or else the welcome window, or the
    // alert about unreadable accounts. What the status item's click and menu do.
    void showMainWindow();

    // Gives every window of the shell a new main menu, and binds the status item to
    // the current account's timer.
    void buildMainMenu();

    // The start-up sequence: registers the image coders the avatars need, checks the
    // configuration, and opens the main window for the current account or the welcome
    // window.
    void applicationDidFinishLaunching();

    // The session manager asks the app to save its state before the session ends; the
    // user may still cancel the end. Writes the main window's timer as it stands and
    // the snapshot store's pending changes, and leaves every window where it is: the
    // windows close only when the application really quits.
    void commitData();

    // Closes the main window, gives the timer its close hook (which pauses it when
    // "stopTimeTrackingWhenClosed" says so) and writes the snapshot store's pending
    // changes. Runs at most once; every way of quitting ends here.
    void applicationWillTerminate();

    // A note that Velmora waits for the disk before it quits shows once the wait is this long.
    static constexpr int diskWaitNoteAfterMs = 400;
    // How long the note may take to be on screen before the app goes on without it.
    static constexpr int diskNotePaintMs = 500;

    // Whether the configuration error alert was shown in this run.
    bool configurationAlertShown() const { return m_configurationAlertShown; }

protected:
    // Sees the application's quit coming, before Qt closes the windows.
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // The first of the shell's windows has painted its first frame (or none did within
    // a second of the start-up); the status item is there from now on.
    void firstWindowShown();

private:
    // How long the start-up waits for a first frame before it goes on without one.
    static constexpr int firstFrameFallbackMs = 1000;
    // So that SVG avatars decode.
    static void registerImageCoders();
    // Every change of the stored accounts rebuilds the main menu.
    void observeAccountStore();
    void checkConfiguration();
    // The window alerts about the app's own stored state open on.
    QWidget* alertParent() const;
    // Tells the user once that the snapshot file could not be read at start, and what it held.
    void tellStoredStateProblem();
    void showTimerInTitle(const QString& text);
    // Returns once what the bookings' records were asked to write, and every change of the
    // snapshot store, has been written (or has failed). The main thread handles its events
    // meanwhile: a later start hears that the app is quitting, and a note says why the app is
    // still there when the disk takes its time.
    void waitForTheDisk(bool quitting);
    // Shows the note that the app waits for the disk (once), painted before this returns.
    void showDiskNote(bool quitting);
    // The environment with the booking records and their look-ups in it (made here
    // unless the caller brought its own records).
    ShellEnvironment withBookings(ShellEnvironment environment);
    // The tracker service a look-up of `account`'s booking uses: its open window's, or
    // a new one.
    std::shared_ptr<ProviderService> lookUpService(const QString& account);

    // The booking records and their look-ups are made first: every window is handed
    // them.
    bool m_storedStateTold = false;
    std::unique_ptr<BookingRecords> m_bookingRecords;
    std::unique_ptr<BookingRecovery> m_bookingRecovery;
    ShellEnvironment m_environment;
    std::unique_ptr<SoftwareUpdater> m_softwareUpdater;
    std::unique_ptr<WindowManager> m_windowManager;
    std::unique_ptr<MenuBarManager> m_menuBarManager;
    std::unique_ptr<BackgroundTaskManager> m_backgroundTaskManager;
    std::unique_ptr<DeepLinkHandler> m_deepLinkHandler;
    std::unique_ptr<FirstFrameWatch> m_firstFrameWatch;
    bool m_menuRebuildPending = false;
    QMetaObject::Connection m_storeObserver;
    bool m_terminated = false;
    QPointer<QDialog> m_diskNote;
    bool m_configurationAlertShown = false;
};

} // namespace velmora
