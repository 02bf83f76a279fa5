#pragma once

// What the benchmarks that start the real app as a process share: where the programs are,
// a home of the app's own, and the fake trackers on a free port for it to talk to.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>

#include <xcb/xcb.h>

#include <unistd.h>

namespace velmora::bench {

inline QString binaryDir() {
    return QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
}

// A home of its own: the app keeps its store, settings and caches in it. `instance` names
// the app's single-instance socket, so that an app already running for this user does not
// take the start over.
inline QProcessEnvironment environmentIn(const QString& home, const QString& instance) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    environment.insert(QStringLiteral("VELMORA_INSTANCE_NAME"),
                       QStringLiteral("%1-%2").arg(instance).arg(::getpid()));
    return environment;
}

// A connection to the X display (when there is one) held open for the life of the
// benchmark program. An X server resets itself each time its last client disconnects
// (unless started with -noreset), and the next program to connect waits for the reset;
// on a desktop some client is always connected. Without this, programs started one after
// the other on a bare server would each pay for a reset that no user ever pays for, and
// a program that connects sooner after exec (the bare Qt window) would pay more of it.
class DisplayHold {
public:
    DisplayHold() {
        if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
            m_connection = xcb_connect(nullptr, nullptr);
            if (xcb_connection_has_error(m_connection)) {
                xcb_disconnect(m_connection);
                m_connection = nullptr;
            }
        }
    }
    ~DisplayHold() {
        if (m_connection) {
            xcb_disconnect(m_connection);
        }
    }
    DisplayHold(const DisplayHold&) = delete;
    DisplayHold& operator=(const DisplayHold&) = delete;

    // False without a display, or when it could not be reached.
    bool held() const { return m_connection != nullptr; }

private:
    xcb_connection_t* m_connection = nullptr;
};

// velmora_fake_trackers on a free port, with three accounts stored in `home` (and what
// `arguments` adds); `ready` once it serves. Its request log goes to `log` when given.
class FakeTrackers {
public:
    FakeTrackers(const QString& home, const QString& instance, const QStringList& arguments = {},
                 const QString& log = QProcess::nullDevice()) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        process.setProcessEnvironment(environmentIn(home, instance));
        process.setStandardErrorFile(log);
        process.start(
            binaryDir() + QStringLiteral("/../tests/support/velmora_fake_trackers"),
            QStringList{QStringLiteral("--port"), QString::number(port), QStringLiteral("--add-accounts")} +
                arguments);
        // The accounts are stored before the server says where it listens.
        QElapsedTimer waited;
        waited.start();
        QByteArray output;
        while (waited.elapsed() < 20000 && process.state() != QProcess::NotRunning && !ready) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
            ready = output.contains("Serving");
        }
    }
    ~FakeTrackers() { stop(process); }
    FakeTrackers(const FakeTrackers&) = delete;
    FakeTrackers& operator=(const FakeTrackers&) = delete;

    // What the app needs to reach them and trust their certificate.
    void addTo(QProcessEnvironment& environment) const {
        const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
        environment.insert(QStringLiteral("VELMORA_EXTRA_CA_FILE"),
                           QStringLiteral(VELMORA_SOURCE_DIR "/tests/support/certs/test-ca.pem"));
        environment.insert(QStringLiteral("VELMORA_JIRA_API_HOST"), host);
        environment.insert(QStringLiteral("VELMORA_ASANA_API_HOST"), host);
        environment.insert(QStringLiteral("VELMORA_SERVER_URL"), host);
    }

    // Asks a process to end, and ends it when it does not.
    static void stop(QProcess& process) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(1000);
        }
    }

    QProcess process;
    quint16 port = 0;
    bool ready = false;
};

} // namespace velmora::bench
