#pragma once

#include "app/SingleInstance.h"

#include <chrono>
#include <functional>
#include <thread>

class QMessageBox;

namespace velmora {

class AppDelegate;
class Keyring;
class UnixSignalWatcher;
class UserSettings;

// The whole run of the app, from the process's arguments to its exit code.
class Application {
public:
    Application() = delete;

    // Names the application (so settings, the account store, the snapshot file and the
    // caches land in Velmora's folders), makes the delegate, starts up and runs the
    // event loop. `onLaunched` is called once the delegate has started up (benchmarks
    // and tools use it; the app passes nothing).
    static int run(int argc, char** argv, const std::function<void(AppDelegate&)>& onLaunched = {});

    // The names every store's location derives from; set before anything reads a
    // setting or a path.
    static void setApplicationNames();

    // Starts loading, off the main thread, what the first window will need.
    static void warmUp();
    // Loads the account store's driver (Qt's SQLite plugin, and SQLite) on a thread of its own,
    // joined as the result goes.
    static std::jthread loadStoreDriverAhead();
    // Has the keyring connect ahead and read the default account's item, off the main
    // thread, while the app starts; nothing when there is no default account.
    static void connectKeyringAhead(Keyring& keyring, const UserSettings& settings);

    // How long an idle thread of the application's thread pool waits for more work
    // before it ends.
    static constexpr int idleThreadExpiryMs = 2000;
    // Sets the application's thread pool up for a process that mostly sleeps.
    static void configureThreadPool();

    // What a start says (in a window, and on its error output) when the running app did
    // not take its links: it did not answer in time, or it is quitting.
    static QMessageBox* handOverAlert(SingleInstance::HandOver handedOver, const QStringList& links);
    // The status of a start that found another session's app writing the data folder and
    // could not hand over to it.
    static constexpr int dataFolderInUseExitCode = 4;
    // A start over a data folder another app writes (`holder`: its socket): the links go to
    // that app, or the start refuses and says so. Yields the exit status.
    static int startOverHeldFolder(const QString& holder, const QStringList& links,
                                   UnixSignalWatcher& signalWatcher);

    // How long a termination signal that the main thread could not take waits for the
    // snapshot store's last write before the process ends.
    static constexpr std::chrono::seconds lastResortWrite{20};

    // Quits on a termination signal and when the user closed the last window, and lets
    // the delegate finish (close hook, snapshot writes) on every quit. While it finishes,
    // `instance` tells later starts that the app is quitting.
    static void connectQuitting(AppDelegate& delegate, UnixSignalWatcher& signalWatcher,
                                SingleInstance* instance = nullptr);
};

} // namespace velmora
