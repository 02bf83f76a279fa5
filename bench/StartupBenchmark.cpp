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
// display it is given (Xvfb under scripts/bench), or offscreen without one. It holds a
// connection of its own to that display for the whole run, so the display never resets
// between two starts, as a desktop's never does.
//
// Bounds: the app's median at most 1.5 x the bare program's with the empty store, 2.0 x
// with three accounts.
#include "AppProcessSetup.h"
#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>
#include <vector>

#include <unistd.h>

namespace {

using namespace velmora::bench;

// A start is some 30 to 80 ms, and on a shared machine single starts wander by a third:
// enough pairs that the medians hold still (each store takes a few seconds).
constexpr int pairs = 41;

QString velmoraBinary() {
    const QString given = qEnvironmentVariable("VELMORA_BINARY");
    return given.isEmpty() ? binaryDir() + QStringLiteral("/../app/velmora") : given;
}

QString bareBinary() {
    return binaryDir() + QStringLiteral("/velmora_bare_window");
}

QProcessEnvironment environmentIn(const QString& home) {
    return velmora::bench::environmentIn(home, QStringLiteral("velmora-startup-bench"));
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
    FakeTrackers trackers(home.path(), QStringLiteral("velmora-startup-bench"));
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
    const DisplayHold display;
    Bounds bounds;
    ratioOfMedians(bounds, "exec to first frame, empty store: velmora / bare Qt window",
                   "BM_FirstFrameEmptyStore", 1.5);
    ratioOfMedians(bounds, "exec to first frame, three accounts: velmora / bare Qt window",
                   "BM_FirstFrameThreeAccounts", 2.0);
    return runBenchmarks(argc, argv, bounds, true);
}
