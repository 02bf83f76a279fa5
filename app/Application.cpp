#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/AppStyle.h"
#include "app/FirstFrameExit.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalWatcher.h"
#include "app/WindowManager.h"
#include "views/main/AssetNames.h"

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
    // The first text on screen loads the font database and the first request the TLS
    // library; each takes longer than opening the account store and building the
    // window. Loaded here on worker threads they are ready, or nearly, when the window
    // first needs them. Qt guards each with its own lock. (Image plugins load one at a
    // time, as images of their type arrive.)
    QThreadPool::globalInstance()->start([] { QFontDatabase::families(); });
    QThreadPool::globalInstance()->start([] { QSslSocket::supportsSsl(); });
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
    QApplication application(argc, argv);
    QApplication::setStyle(new AppStyle);
    FirstFrameExit::installIfAsked();
    // One app per user: a start while it runs hands its links over and ends.
    const QStringList links = SingleInstance::linksIn(QCoreApplication::arguments());
    SingleInstance instance;
    switch (instance.handOver(links, 3000)) {
    case SingleInstance::HandOver::Delivered:
        return 0;
    case SingleInstance::HandOver::NotDelivered: {
        // The app runs but did not take the links: they would be lost without a word.
        QString message =
            QStringLiteral("Velmora is running but did not answer; nothing was handed over to it.");
        // A sign-in link carries its tokens in the query: those stay out of the output.
        for (const QString& link : links) {
            message += QStringLiteral("\nNot opened: ") +
                       QUrl(link)
                           .adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment)
                           .toString();
        }
        std::fprintf(stderr, "%s\n", qPrintable(message));
        return 1;
    }
    case SingleInstance::HandOver::NoRunningApp:
        break;
    }
    instance.listen();
    // The windows come and go as accounts change; quitting is the shell's decision.
    QApplication::setQuitOnLastWindowClosed(false);
    Assets::initialise();
    warmUp();
    QApplication::setWindowIcon(Assets::icon(QStringLiteral("Velmora")));

    AppDelegate delegate;
    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    connectQuitting(delegate, signalWatcher);
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
