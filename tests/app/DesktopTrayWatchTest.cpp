#include "app/DesktopTrayWatch.h"

#include "tests/support/EventLoop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>
#include <QUuid>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

// What a desktop's tray puts on the session bus: the watcher that StatusNotifier items
// register with, saying whether a host (the tray itself) is there.
class FakeStatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    bool hostRegistered() const {
        ++asked;
        return host;
    }
    void setHost(bool registered) {
        host = registered;
        emit registered ? StatusNotifierHostRegistered() : StatusNotifierHostUnregistered();
    }
    bool host = false;
    // How often the watcher was asked whether a host is there.
    mutable int asked = 0;

signals:
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();
};

} // namespace

// The tray on the session bus (scripts/with-keyring gives the tests a bus of their own,
// where no tray runs): the watch follows it coming with its host, and going.
TEST(DesktopTrayWatch, FollowsAStatusNotifierTrayThatComesAndGoes) {
    if (!QDBusConnection::sessionBus().isConnected()) {
        GTEST_SKIP() << "no session bus: run the tests through scripts/with-keyring";
    }
    if (QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        GTEST_SKIP() << "a tray runs on this bus";
    }
    DesktopTrayWatch watch;
    QSignalSpy changes(&watch, &SystemTrayWatch::availabilityChanged);
    drainEvents();
    EXPECT_FALSE(watch.isAvailable());

    // The tray's own connection, as another program's.
    const QString name = QStringLiteral("tray-") + QUuid::createUuid().toString(QUuid::Id128);
    QDBusConnection tray = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    ASSERT_TRUE(tray.isConnected());
    FakeStatusNotifierWatcher watcher;
    ASSERT_TRUE(
        tray.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllProperties | QDBusConnection::ExportAllSignals));
    // A watcher without its host shows nothing yet.
    ASSERT_TRUE(tray.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
    // The watch asks the watcher as its name appears; the answer reaches the watch before
    // the answer to a question asked after it on the same connection.
    ASSERT_TRUE(waitUntil([&] { return watcher.asked > 0; }));
    ASSERT_TRUE(QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.kde.StatusNotifierWatcher")));
    drainEvents();
    EXPECT_FALSE(watch.isAvailable());
    EXPECT_EQ(changes.count(), 0);

    watcher.setHost(true);
    ASSERT_TRUE(waitUntil([&] { return watch.isAvailable(); }));
    ASSERT_EQ(changes.count(), 1);
    EXPECT_TRUE(changes.front().front().toBool());

    // The tray ends: its name goes.
    tray.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    EXPECT_TRUE(waitUntil([&] { return !watch.isAvailable(); }));
    EXPECT_EQ(changes.count(), 2);
    tray.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    QDBusConnection::disconnectFromBus(name);
}

#include "DesktopTrayWatchTest.moc"
