#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/UnixSignalWatcher.h"
#include "app/WindowManager.h"
#include "views/main/AssetNames.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>

#include <csignal>

namespace velmora {

void Application::setApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velmora.app"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velmora"));
}

int Application::run(int argc, char** argv, const std::function<void(AppDelegate&)>& onLaunched) {
    setApplicationNames();
    QApplication application(argc, argv);
    // The windows come and go as accounts change; quitting is the shell's decision.
    QApplication::setQuitOnLastWindowClosed(false);
    Assets::initialise();
    QApplication::setWindowIcon(QIcon(Assets::imagePath(QStringLiteral("Velmora"))));

    AppDelegate delegate;
    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &application,
                     [] { QCoreApplication::quit(); });
    QObject::connect(
        &delegate.windowManager(), &WindowManager::lastWindowClosed, &application,
        [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    // Every way out passes here: quit(), the session ending, a termination signal.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });

    delegate.applicationDidFinishLaunching();
    if (onLaunched) {
        onLaunched(delegate);
    }
    return QApplication::exec();
}

} // namespace velmora
