#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/AppStyle.h"
#include "app/FirstFrameExit.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "app/WindowManager.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/UserSettings.h"
#include "platform/net/NetworkSession.h"
#include "views/main/AssetNames.h"
#include "views/main/ReturnPressesFocusedButton.h"

#include <QApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QSslSocket>
#include <QThreadPool>
#include <QUrl>

#include <csignal>
#include <cstdio>

namespace velmora {

void Application::setApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velmora.app"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velmora"));
}

void Application::connectQuitting(AppDelegate& delegate, UnixSignalWatcher& signalWatcher) {
    QCoreApplication* application = QCoreApplication::instance();
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

void Application::connectKeyringAhead(Keyring& keyring, const UserSettings& settings) {
    // Without a default account the first window is the welcome window (or one whose
    // account the shell is yet to choose): nothing to read ahead, and the session's key
    // exchange would only compete with that window's first frame. The first call opens it.
    if (const QString account = settings.defaultAccount(); !account.isEmpty()) {
        keyring.connectAhead(account);
    }
}

void Application::warmUpTls() {
    // The TLS library is large to load, and loading it holds the dynamic loader's lock,
    // which every plugin the main thread loads meanwhile (the store's database driver,
    // the window's image formats) waits for: it starts once the store is open, when the
    // current account's first request is near; with no account, once the first window
    // is on screen.
    QThreadPool::globalInstance()->start([] { QSslSocket::supportsSsl(); });
}

void Application::configureThreadPool() {
    // An idle pool thread wakes once more to end: a moment after the work (these
    // warm-ups, a release of downloads), while the app is awake anyway, rather than half
    // a minute later, in the quiet of a running timer.
    QThreadPool::globalInstance()->setExpiryTimeout(idleThreadExpiryMs);
}

int Application::run(int argc, char** argv, const std::function<void(AppDelegate&)>& onLaunched) {
    setApplicationNames();
    // On X the shared-memory upload of a window's pixels makes every repaint wait for
    // the server (a segment is reused only once the server has read it): with a running
    // timer redrawing its clock each second, that is a round trip, and a wake-up of both
    // the X event thread and the main thread, every second, plus a segment as large as
    // the window kept mapped. The windows are small; a plain upload needs no round trip.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) {
        qputenv("QT_XCB_NO_MITSHM", "1");
    }
    // The current account's service is made with its credentials before the main window
    // shows, and the keyring's first call opens a bus connection and a session (a key
    // exchange) that take longer than reading the credentials themselves: that starts
    // now, on the keyring's own thread, while the application object connects to the
    // display, and the default account's item is read right after it, so the window
    // finds its credentials read rather than waiting some round trips for them.
    connectKeyringAhead(CredentialsManager::shared().keyring(), UserSettings::shared());
    QApplication application(argc, argv);
    QApplication::setStyle(new AppStyle);
    ReturnPressesFocusedButton::install(application);
    FirstFrameExit::installIfAsked();
    // One app per user: a start while it runs hands its links over and ends.
    const QStringList links = SingleInstance::linksIn(QCoreApplication::arguments());
    SingleInstance instance;
    switch (instance.handOver(links, 3000)) {
    case SingleInstance::HandOver::Delivered:
        return 0;
    case SingleInstance::HandOver::NotConfirmed: {
        // The app runs but did not say it took the links. It may be frozen for a moment and
        // take them when it resumes, or it may never: the user hears which links are in
        // doubt, so as to open one again should nothing happen.
        QString message =
            links.isEmpty()
                ? QStringLiteral("Velmora is running but did not answer in time; it may still come forward "
                                 "when it responds.")
                : QStringLiteral("Velmora is running but did not confirm in time that it received the links; "
                                 "it may still open them when it responds.");
        // A sign-in link carries its tokens in the query: those stay out of the output.
        for (const QString& link : links) {
            message += QStringLiteral("\nNot confirmed: ") +
                       QUrl(link)
                           .adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment)
                           .toString();
        }
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return SingleInstance::notConfirmedExitCode;
    }
    case SingleInstance::HandOver::NoRunningApp:
        break;
    }
    instance.listen();
    // The windows come and go as accounts change; quitting is the shell's decision.
    QApplication::setQuitOnLastWindowClosed(false);
    Assets::initialise();
    configureThreadPool();
    warmUp();
    QApplication::setWindowIcon(Assets::icon(QStringLiteral("Velmora")));

    AppDelegate delegate;
    // The default account's window took what the keyring read ahead; when no such window
    // came (another account, the welcome window), the secret is not kept.
    QObject::connect(&delegate, &AppDelegate::firstWindowShown, &delegate,
                     [] { CredentialsManager::shared().keyring().forgetAhead(); });
    if (delegate.windowManager().provider()) {
        warmUpTls();
    } else {
        QObject::connect(&delegate, &AppDelegate::firstWindowShown, &delegate, &Application::warmUpTls);
    }
    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    connectQuitting(delegate, signalWatcher);
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
    return QApplication::exec();
}

} // namespace velmora
