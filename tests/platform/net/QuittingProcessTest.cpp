#include "tests/support/FakeHttpsServer.h"
#include "tests/support/TimeScale.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

struct QuitRun {
    int exitCode = -1;
    bool crashed = true;
    long long teardownMs = -1;
    QString tlsState;
    QString output;
};

// Runs the quitting program against `server` and waits for its end (bounded: a loaded
// machine under the sanitizers starts and ends it in well under a minute).
QuitRun runQuittingProgram(test::FakeHttpsServer& server, const QStringList& extra = {},
                           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProgram(QCoreApplication::applicationDirPath() +
                       QStringLiteral("/velmora_net_quitting_program"));
    process.setArguments(QStringList{server.url(QStringLiteral("/ping")).toString()} + extra);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    QuitRun run;
    if (!process.waitForStarted(test::scaledMs(60000))) {
        run.output = process.errorString();
        return run;
    }
    // The fake server answers on this thread's event loop.
    QElapsedTimer waited;
    waited.start();
    while (process.state() != QProcess::NotRunning && waited.elapsed() < test::scaledMs(120000)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForFinished(10);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        run.output = QStringLiteral("did not end");
        return run;
    }
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = process.exitCode();
    const auto match = QRegularExpression(QStringLiteral("teardown-ms (-?\\d+)")).match(run.output);
    if (match.hasMatch()) {
        run.teardownMs = match.captured(1).toLongLong();
    }
    const auto tls = QRegularExpression(QStringLiteral("tls-state (\\w+)")).match(run.output);
    if (tls.hasMatch()) {
        run.tlsState = tls.captured(1);
    }
    return run;
}

} // namespace

// A network thread can still be in its own thread-exit clean-up when the process exits;
// had the TLS library freed every thread's state at exit, such a thread's would be freed
// twice. The library leaves it alone, whichever thread spoke TLS.
TEST(QuittingProcess, TheTlsLibraryFreesNothingAtExit) {
    test::FakeHttpsServer server;
    server.on("GET", "/ping", test::FakeResponse::json(R"({"ok":true})"));
    const QuitRun run = runQuittingProgram(server);
    ASSERT_FALSE(run.crashed) << run.output.toStdString();
    ASSERT_EQ(run.exitCode, 0) << "the request was not answered: " << run.output.toStdString();
    EXPECT_EQ(run.tlsState, QStringLiteral("kept")) << run.output.toStdString();
}

// Threads of any kind start while the app runs; one that starts beside a request is
// none of the network's business, and the quit does not wait for it.
TEST(QuittingProcess, AThreadStartedBesideARequestDoesNotHoldTheQuit) {
    test::FakeHttpsServer server;
    server.on("GET", "/ping", test::FakeResponse::json(R"({"ok":true})"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QuitRun run = runQuittingProgram(server, {QStringLiteral("--start-threads")});
        ASSERT_FALSE(run.crashed) << run.output.toStdString();
        ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
        ASSERT_GE(run.teardownMs, 0) << run.output.toStdString();
        // The transfer thread's own ending takes milliseconds; a wait for the other
        // threads took the whole 2 s.
        EXPECT_LT(run.teardownMs, test::scaledMs(1500))
            << "attempt " << attempt << ": " << run.output.toStdString();
    }
}

// Whoever sets SSLKEYLOGFILE in the user's environment would read every TLS secret of every
// connection from that file: it is never written, nor made.
TEST(QuittingProcess, NoTlsSecretIsWrittenWhereTheEnvironmentAsks) {
    test::FakeHttpsServer server;
    server.on("GET", "/ping", test::FakeResponse::json(R"({"ok":true})"));
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString keys = folder.filePath(QStringLiteral("keys"));
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SSLKEYLOGFILE"), keys);
    // The first request made may be one that names authorities of its own.
    for (const QStringList& arguments : {QStringList(), QStringList{QStringLiteral("--trust-first")}}) {
        const QuitRun run = runQuittingProgram(server, arguments, environment);
        ASSERT_FALSE(run.crashed) << run.output.toStdString();
        ASSERT_EQ(run.exitCode, 0) << "the request was not answered: " << run.output.toStdString();
        EXPECT_FALSE(QFile::exists(keys)) << QFile(keys).size() << " bytes of secrets " << arguments.join(' ').toStdString();
    }
}
