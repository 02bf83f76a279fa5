#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/AppStyle.h"
#include "app/DataFolderLock.h"
#include "app/FirstFrameExit.h"
#include "app/QuitKey.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "app/WindowManager.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/net/NetworkSession.h"
#include "views/main/AssetNames.h"
#include "views/main/ReadableAlert.h"
#include "views/main/ReturnPressesFocusedButton.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <dlfcn.h>

#include <csignal>
#include <cstdio>

namespace velmora {

void Application::setApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velmora.app"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velmora"));
}

void Application::connectQuitting(AppDelegate& delegate, UnixSignalWatcher& signalWatcher,
                                  SingleInstance* instance) {
    QCoreApplication* application = QCoreApplication::instance();
    if (instance) {
        // First of all: it holds while the delegate waits for the disk.
        QObject::connect(application, &QCoreApplication::aboutToQuit, instance,
                         [instance] { instance->setQuitting(); });
    }
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &delegate,
                     [] { QCoreApplication::quit(); });
    QObject::connect(
        &delegate.windowManager(), &WindowManager::lastWindowClosed, &delegate,
        [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    // Every way out passes here: the last window closed, the session ending, a
    // termination signal.
    QObject::connect(application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    if (auto* gui = qobject_cast<QGuiApplication*>(application)) {
        // Only a save: the user may still cancel the session's end, and the app must
        // then be as it was. A real end quits, which runs the rest.
        QObject::connect(gui, &QGuiApplication::commitDataRequest, &delegate,
                         [&delegate] { delegate.commitData(); });
    }
}

void Application::warmUp() {
    // The first text on screen loads the font database, which takes longer than opening
    // the account store: loaded here on a worker thread it is ready, or nearly, when the
    // window first needs it. Qt guards it with its own lock. (Image plugins load one at
    // a time, as images of their type arrive.)
    QThreadPool::globalInstance()->start([] { QFontDatabase::families(); });
}

std::jthread Application::loadStoreDriverAhead() {
    // The store is first opened while the first window is built, and that open loads the driver
    // and SQLite (a plugin and a library, mapped and bound): loaded meanwhile, while the app
    // checks for another running one and takes its data folder, they are there when it opens.
    // Not while the application object is made: that loads the display's plugin and its
    // libraries under the same loader lock, and each thread's mappings interrupt the other's
    // processor, which cost the first frame more than the load saved (3 ms of a 43 ms start).
    // Qt's plugin loader takes the same file, already loaded; where it looks elsewhere, this
    // was only a library loaded for nothing.
    return std::jthread([] {
        const QString plugin =
            QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/sqldrivers/libqsqlite.so");
        ::dlopen(QFile::encodeName(plugin).constData(), RTLD_NOW | RTLD_LOCAL);
    });
}

void Application::connectKeyringAhead(Keyring& keyring, const UserSettings& settings) {
    // Without a default account the first window is the welcome window (or one whose
    // account the shell is yet to choose): nothing to read ahead, and the session's key
    // exchange would only compete with that window's first frame. The first call opens it.
    if (const QString account = settings.defaultAccount(); !account.isEmpty()) {
        keyring.connectAhead(account);
    }
}

void Application::configureThreadPool() {
    // An idle pool thread wakes once more to end: a moment after the work (these
    // warm-ups, a release of downloads), while the app is awake anyway, rather than half
    // a minute later, in the quiet of a running timer.
    QThreadPool::globalInstance()->setExpiryTimeout(idleThreadExpiryMs);
}

QMessageBox* Application::handOverAlert(SingleInstance::HandOver handedOver, const QStringList& links) {
    const bool quitting = handedOver == SingleInstance::HandOver::Quitting;
    QString text;
    QString informative;
    if (quitting) {
        text = QStringLiteral("Velmora is still quitting.");
        informative =
            QStringLiteral("It is saving your timers and bookings first, so it can't be started again yet. "
                           "Start it once it has quit.");
        if (!links.isEmpty()) {
            informative += QStringLiteral(" These links weren't opened; open them again then:");
        }
    } else {
        text = QStringLiteral("Velmora is running but didn't answer in time.");
        informative =
            links.isEmpty()
                ? QStringLiteral("It may still come forward when it responds.")
                : QStringLiteral("It may still open these links when it responds; should nothing happen, "
                                 "open them again:");
    }
    // A sign-in link carries its tokens in the query: those stay out of the words.
    for (const QString& link : links) {
        informative +=
            QStringLiteral("\n") +
            QUrl(link).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
    }
    auto* alert = new QMessageBox(quitting ? QMessageBox::Information : QMessageBox::Warning,
                                  QApplication::applicationDisplayName(), text, QMessageBox::Ok);
    alert->setObjectName(QStringLiteral("HandOverAlert"));
    alert->setInformativeText(informative);
    ReadableAlert::prepare(*alert);
    return alert;
}

int Application::startOverHeldFolder(const QString& holder, const QStringList& links,
                                     UnixSignalWatcher& signalWatcher) {
    if (!holder.isEmpty() && SingleInstance(holder).handOver(links, 3000) == SingleInstance::HandOver::Delivered) {
        std::fprintf(stderr, "Velmora already runs in another session of yours over the same data; it has "
                             "taken over this start.\n");
        std::fflush(stderr);
        return 0;
    }
    auto* alert = new QMessageBox(QMessageBox::Warning, QApplication::applicationDisplayName(),
                                  QStringLiteral("Velmora already runs in another session of yours."),
                                  QMessageBox::Ok);
    alert->setObjectName(QStringLiteral("DataFolderInUseAlert"));
    alert->setInformativeText(
        QStringLiteral("It writes your timers and bookings, and a second Velmora over the same data would "
                       "undo what it saves. Use the one that runs, or quit it and start Velmora again."));
    ReadableAlert::prepare(*alert);
    std::fprintf(stderr, "%s\n%s\n", qPrintable(alert->text()), qPrintable(alert->informativeText()));
    std::fflush(stderr);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, alert, &QMessageBox::reject);
    alert->exec();
    delete alert;
    return dataFolderInUseExitCode;
}

int Application::run(int argc, char** argv, const std::function<void(AppDelegate&)>& onLaunched) {
    // Before anything can hold the main thread (the font database, which a font file that
    // never opens blocks for ever): a termination signal ends the process from here on.
    UnixSignalWatcher::install({SIGTERM, SIGINT, SIGHUP});
    UnixSignalWatcher::setLastResort([] {
        SnapshotManager::flushSharedIfMade(
            std::chrono::duration_cast<std::chrono::milliseconds>(lastResortWrite));
    });
    setApplicationNames();
    // On X the shared-memory upload of a window's pixels makes every repaint wait for
    // the server (a segment is reused only once the server has read it): with a running
    // timer redrawing its clock each second, that is a round trip, and a wake-up of both
    // the X event thread and the main thread, every second, plus a segment as large as
    // the window kept mapped. The windows are small; a plain upload needs no round trip.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) {
        qputenv("QT_XCB_NO_MITSHM", "1");
    }
    // The keyring and the settings are made before the application object: made after it,
    // beside the display's connection, they put the welcome window 1.5 ms later.
    Keyring& keyring = CredentialsManager::shared().keyring();
    const UserSettings& settings = UserSettings::shared();
    QApplication application(argc, argv);
    // The current account's service is made with its credentials before the main window
    // shows, and the keyring's first call opens a bus connection and a session (a key
    // exchange) that take longer than reading the credentials themselves: that starts
    // now, on the keyring's own thread, while the app checks for another running one and
    // builds its shell, and the default account's item is read right after it, so the
    // window finds its credentials read rather than waiting some round trips for them.
    // (Started before the application object, it competed with the object's loading of
    // the display's plugin and connection, and the window came 1.5 ms later.)
    connectKeyringAhead(keyring, settings);
    // The font database and the store's driver next: the checks for another app that follow
    // take a millisecond or two, which their loading on threads of their own fills. (A start
    // handed over to a running app ends once they are loaded.)
    warmUp();
    std::jthread storeDriver = loadStoreDriverAhead();
    QApplication::setStyle(new AppStyle);
    ReturnPressesFocusedButton::install(application);
    QuitKey::install(application);
    FirstFrameExit::installIfAsked();
    // From here on a termination signal quits through the event loop, or ends the process
    // where the main thread cannot take it.
    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    // One app per user: a start while it runs hands its links over and ends.
    const QStringList links = SingleInstance::linksIn(QCoreApplication::arguments());
    SingleInstance instance;
    switch (const auto handedOver = instance.handOver(links, 3000)) {
    case SingleInstance::HandOver::Delivered:
        return 0;
    case SingleInstance::HandOver::NotConfirmed:
    case SingleInstance::HandOver::Quitting: {
        QMessageBox* alert = handOverAlert(handedOver, links);
        // Also for whoever started it from a terminal, or reads the session's log.
        std::fprintf(stderr, "%s\n%s\n", qPrintable(alert->text()), qPrintable(alert->informativeText()));
        std::fflush(stderr);
        QObject::connect(&signalWatcher, &UnixSignalWatcher::received, alert, &QMessageBox::reject);
        alert->exec();
        delete alert;
        return handedOver == SingleInstance::HandOver::Quitting ? SingleInstance::quittingExitCode
                                                                : SingleInstance::notConfirmedExitCode;
    }
    case SingleInstance::HandOver::NoRunningApp:
        break;
    }
    // One writer per data folder: an app of another session of the user (another runtime
    // folder, so another socket) may write it already.
    DataFolderLock dataLock(QFileInfo(SnapshotManager::defaultFilePath()).absolutePath());
    if (dataLock.take(instance.name()) == DataFolderLock::Outcome::heldByAnother) {
        return startOverHeldFolder(dataLock.holder(), links, signalWatcher);
    }
    instance.listen();
    // The windows come and go as accounts change; quitting is the shell's decision.
    QApplication::setQuitOnLastWindowClosed(false);
    Assets::initialise();
    configureThreadPool();
    QApplication::setWindowIcon(Assets::icon(QStringLiteral("Velmora")));

    storeDriver.join();
    AppDelegate delegate;
    // The default account's window took what the keyring read ahead; when no such window
    // came (another account, the welcome window), the secret is not kept.
    QObject::connect(&delegate, &AppDelegate::firstWindowShown, &delegate,
                     [] { CredentialsManager::shared().keyring().forgetAhead(); });
    connectQuitting(delegate, signalWatcher, &instance);
    // The first window's requests wait for its first frame (the TLS library and its set-up
    // would come first otherwise); a second later at most, should no frame come.
    NetworkSession::holdMainThreadRequests();
    QObject::connect(&delegate, &AppDelegate::firstWindowShown, &delegate,
                     [] { NetworkSession::releaseMainThreadRequests(); });
    delegate.applicationDidFinishLaunching();
    QObject::connect(&instance, &SingleInstance::linksReceived, &delegate,
                     [&delegate](const QStringList& received) { delegate.openLinks(received); });
    if (!links.isEmpty()) {
        QMetaObject::invokeMethod(
            &delegate, [&delegate, links] { delegate.openLinks(links); }, Qt::QueuedConnection);
    }
    if (onLaunched) {
        onLaunched(delegate);
    }
    // A signal taken before the loop ran (a quit then does nothing) quits once it runs.
    if (signalWatcher.lastReceived() != 0) {
        QTimer::singleShot(0, &application, &QCoreApplication::quit);
    }
    return QApplication::exec();
}

} // namespace velmora
