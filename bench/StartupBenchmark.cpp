// Start-up as the user feels it: from exec of the real `velmora` binary to the first
// frame painted of its first window, beside a bare Qt Widgets program (a QMainWindow with
// a label, velmora_bare_window) timed the same way. Both end themselves right after that
// frame (VELMORA_EXIT_AFTER_FIRST_FRAME) and print a line, and the time runs from just
// before the fork to that line. Starts come in pairs, bare and app in turns, each in a
// throw-away home of its own; the figures are the medians.
//
// Two stores: an empty one (the welcome window) and three accounts (Jira, Asana and
// YouTrack, stored by velmora_fake_trackers --add-accounts, which keeps serving them, so
// the main window opens with its requests answered). The accounts' tokens go to the
// Secret Service: run it inside scripts/with-keyring (scripts/bench does). It uses the
// display it is given (Xvfb under scripts/bench), or offscreen without one.
//
// Bounds: the app's median at most 2.0 x the bare program's with the empty store, 2.5 x
// with three accounts.
#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>
#include <vector>

#include <unistd.h>

namespace {

using namespace velmora::bench;

constexpr int pairs = 15;

QString binaryDir() {
    return QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
}

QString velmoraBinary() {
    const QString given = qEnvironmentVariable("VELMORA_BINARY");
    return given.isEmpty() ? binaryDir() + QStringLiteral("/../app/velmora") : given;
}

QString bareBinary() {
    return binaryDir() + QStringLiteral("/velmora_bare_window");
}

QString fakeTrackersBinary() {
    return binaryDir() + QStringLiteral("/../tests/support/velmora_fake_trackers");
}

// A home of its own: the app keeps its store, settings and caches in it.
QProcessEnvironment environmentIn(const QString& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    // An app already running for this user would take the start over.
    environment.insert(QStringLiteral("VELMORA_INSTANCE_NAME"),
                       QStringLiteral("velmora-startup-bench-%1").arg(::getpid()));
    return environment;
}

// Seconds from just before the fork to the program's "first frame" line; none when it
// did not come within 30 s.
std::optional<double> timeToFirstFrame(const QString& program, QProcessEnvironment environment) {
    environment.insert(QStringLiteral("VELMORA_EXIT_AFTER_FIRST_FRAME"), QStringLiteral("1"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, {});
    QByteArray output;
    std::optional<double> seconds;
    while (!seconds && timer.elapsed() < 30000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        output += process.readAllStandardOutput();
        if (output.contains("first frame\n")) {
            seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        }
    }
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? seconds : std::nullopt;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The fake trackers on a free port, with three accounts stored in `home`.
class FakeTrackers {
public:
    explicit FakeTrackers(const QString& home) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        process.setProcessEnvironment(environmentIn(home));
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(fakeTrackersBinary(),
                      {QStringLiteral("--port"), QString::number(port), QStringLiteral("--add-accounts")});
        QElapsedTimer timer;
        timer.start();
        QByteArray output;
        while (timer.elapsed() < 20000 && process.state() != QProcess::NotRunning && !ready) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
            ready = output.contains("Serving");
        }
    }
    ~FakeTrackers() {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(1000);
        }
    }

    // What the app needs to reach them and trust their certificate.
    void addTo(QProcessEnvironment& environment) const {
        const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
        environment.insert(QStringLiteral("VELMORA_EXTRA_CA_FILE"),
                           QStringLiteral(VELMORA_SOURCE_DIR "/tests/support/certs/test-ca.pem"));
        environment.insert(QStringLiteral("VELMORA_JIRA_API_HOST"), host);
        environment.insert(QStringLiteral("VELMORA_ASANA_API_HOST"), host);
        environment.insert(QStringLiteral("VELMORA_SERVER_URL"), host);
    }

    QProcess process;
    quint16 port = 0;
    bool ready = false;
};

// Paired starts of the bare program and the app in `home`; the medians as counters.
void measurePairs(benchmark::State& state, const QString& home, const QProcessEnvironment& appEnvironment) {
    const QProcessEnvironment bareEnvironment = environmentIn(home);
    std::vector<double> bare, app;
    for (auto _ : state) {
        // One pair first, unmeasured: the libraries into the page cache.
        timeToFirstFrame(bareBinary(), bareEnvironment);
        timeToFirstFrame(velmoraBinary(), appEnvironment);
        for (int pair = 0; pair < pairs; ++pair) {
            std::optional<double> b, a;
            // Turn about, so neither always runs on the other's warm caches.
            if (pair % 2 == 0) {
                b = timeToFirstFrame(bareBinary(), bareEnvironment);
                a = timeToFirstFrame(velmoraBinary(), appEnvironment);
            } else {
                a = timeToFirstFrame(velmoraBinary(), appEnvironment);
                b = timeToFirstFrame(bareBinary(), bareEnvironment);
            }
            if (!a || !b) {
                state.SkipWithError(!b ? "the bare program showed no frame" : "the app showed no frame");
                return;
            }
            bare.push_back(*b);
            app.push_back(*a);
        }
        state.SetIterationTime(median(app));
    }
    state.counters["velmora_ms"] = median(app) * 1e3;
    state.counters["bare_ms"] = median(bare) * 1e3;
    state.counters["velmora_max_ms"] = *std::max_element(app.begin(), app.end()) * 1e3;
}

void BM_FirstFrameEmptyStore(benchmark::State& state) {
    QTemporaryDir home;
    measurePairs(state, home.path(), environmentIn(home.path()));
}

void BM_FirstFrameThreeAccounts(benchmark::State& state) {
    QTemporaryDir home;
    FakeTrackers trackers(home.path());
    if (!trackers.ready) {
        state.SkipWithError("the fake trackers did not start (inside scripts/with-keyring?)");
        return;
    }
    QProcessEnvironment environment = environmentIn(home.path());
    trackers.addTo(environment);
    measurePairs(state, home.path(), environment);
}

BENCHMARK(BM_FirstFrameEmptyStore)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FirstFrameThreeAccounts)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void ratioOfMedians(Bounds& bounds, std::string measure, std::string benchmark, double bound) {
    bounds.atMost(
        std::move(measure),
        [benchmark](const Runs& runs) -> std::optional<Measurement> {
            const auto app = Bounds::counter(runs, benchmark, "velmora_ms");
            const auto bare = Bounds::counter(runs, benchmark, "bare_ms");
            if (!app || !bare) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*app / 1e3), Quantity::seconds(*bare / 1e3)};
        },
        bound);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    Bounds bounds;
    ratioOfMedians(bounds, "exec to first frame, empty store: velmora / bare Qt window",
                   "BM_FirstFrameEmptyStore", 2.0);
    ratioOfMedians(bounds, "exec to first frame, three accounts: velmora / bare Qt window",
                   "BM_FirstFrameThreeAccounts", 2.5);
    return runBenchmarks(argc, argv, bounds, true);
}
