// The real app as it runs for a user, against velmora_fake_trackers: three accounts
// (Jira, Asana, YouTrack; real TLS sessions, keyring and avatar downloads), the Jira
// account's Website project of 1,000 tasks open with every task loaded into the list,
// and the timer running. The project is opened and the list scrolled to its end as a
// user would with the mouse and keyboard: on an X display with xdotool, on Qt's
// offscreen platform by a small driver preloaded into the app
// (libvelmora_offscreen_driver.so), which sends the same clicks and keys.
//
// Measured: the resident memory once everything is loaded and settled, and again after
// a minute of the running timer (the growth), with the anonymous memory of any drawing
// process the app started for vector avatars; and the wake-ups over that minute, with
// the timer running and, in a second start, with the timer paused. A wake-up is any
// context switch of the process, as `perf stat -e context-switches` counts them: of
// every thread, voluntary or forced, threads that ended in the minute included. The
// app reports its own count (getrusage) through a small library preloaded into it
// (libvelmora_rusage_probe.so), which publishes it through a shared mapping of a file,
// so that a reading makes no write that could wait for the disk (such a wait was one
// more switch in the next reading); its first reading costs the app one switch, which
// is taken off.
//
// Bounds: on the offscreen platform, at most 56 MiB resident (54.6 on a machine with a few
// fonts; a desktop's, the Noto families and the colour emoji font, cost fontconfig and FreeType
// some 0.8 MiB more) and at most 2 MiB growth;
// on X, at most 2 wake-ups a second with the timer running and, with no timer running,
// nothing of the app's own to wake for: at most two wake-ups in the minute, both Qt's
// pixmap cache, which holds the style's drawings and ages them on a timer of its own.
// That timer fires 30 s after the first drawing went in, once the window was on screen,
// and again (10 to 30 s later) for as long as each firing lets a drawing go, then stops:
// the minute measured, from 13 s after the start, holds its first firing and may hold
// a second (two of five quiet minutes read two while the probe still wrote its
// readings; traces of the idle app show its main thread woken at 30 s by that timer
// and by nothing else, the timer stopped there). The resident memory on X is
// still measured, as a counter of its own benchmark without a bound: Qt's X11 backing
// store adds a window-sized upload buffer (about 4 MB at 1200 x 800) and the X
// libraries another 3 MB, which are Qt's and the display's, not the app's.
//
// Needs an X display (scripts/bench gives it Xvfb), xdotool, and a Secret Service
// (scripts/with-keyring).
#include "AppProcessSetup.h"
#include "BenchMain.h"
#include "ProcessMemory.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <map>
#include <optional>
#include <utility>

#include <csignal>

#include <unistd.h>

namespace {

using namespace velmora::bench;

constexpr int taskCount = 1000;
constexpr int windowSeconds = 60;

QProcessEnvironment environmentIn(const QString& home) {
    return velmora::bench::environmentIn(home, QStringLiteral("velmora-running-bench"));
}

using velmora::bench::processStatusField;

// The app's context switches so far, voluntary and forced, of all its threads (the
// ended ones' too), as the preloaded probe reports them; none when it did not answer.
std::optional<double> contextSwitches(qint64 pid, const QString& reportFile) {
    // "<reading> <voluntary> <involuntary>", the probe's latest.
    const auto latest = [&]() -> std::optional<std::pair<long, double>> {
        QFile file(reportFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return std::nullopt;
        }
        const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
        bool ok = fields.size() == 3;
        const long reading = ok ? fields.at(0).toLong(&ok) : 0;
        bool voluntaryOk = false, forcedOk = false;
        const double switches =
            ok ? fields.at(1).toDouble(&voluntaryOk) + fields.at(2).toDouble(&forcedOk) : 0;
        if (!ok || !voluntaryOk || !forcedOk) {
            return std::nullopt;
        }
        return std::make_pair(reading, switches);
    };
    const auto earlier = latest();
    const long before = earlier ? earlier->first : 0;
    ::kill(static_cast<pid_t>(pid), SIGUSR2);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        if (const auto now = latest(); now && now->first > before) {
            return now->second;
        }
        QThread::msleep(20);
    }
    return std::nullopt;
}

bool xdotool(const QStringList& arguments, QByteArray* output = nullptr) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    if (output) {
        *output = process.readAllStandardOutput();
    }
    return process.exitCode() == 0;
}

void sleepSeconds(double seconds) {
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
}

struct Figures {
    double residentMiB = 0;
    double growthMiB = 0;
    double wakeupsPerSecond = 0;
    double searchPages = 0;
};

class RunningApp {
    static QStringList trackerArguments(bool timerRunning) {
        QStringList arguments{QStringLiteral("--website-tasks"), QString::number(taskCount)};
        if (timerRunning) {
            arguments << QStringLiteral("--timer-running");
        }
        return arguments;
    }

public:
    enum class Display { X, Offscreen };

    explicit RunningApp(bool timerRunning, Display display = Display::X)
        : trackers(home.path(), QStringLiteral("velmora-running-bench"), trackerArguments(timerRunning),
                   home.filePath(QStringLiteral("requests.log"))),
          display(display) {}
    ~RunningApp() { FakeTrackers::stop(app); }

    bool start() {
        if (!trackers.ready) {
            return false;
        }
        QProcessEnvironment environment = environmentIn(home.path());
        trackers.addTo(environment);
        if (display == Display::Offscreen) {
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            environment.insert(QStringLiteral("LD_PRELOAD"),
                               binaryDir() + QStringLiteral("/libvelmora_offscreen_driver.so"));
        } else {
            environment.insert(QStringLiteral("LD_PRELOAD"),
                               binaryDir() + QStringLiteral("/libvelmora_rusage_probe.so"));
            environment.insert(QStringLiteral("VELMORA_RUSAGE_FILE"), rusageFile());
        }
        app.setProcessEnvironment(environment);
        app.setStandardOutputFile(QProcess::nullDevice());
        app.setStandardErrorFile(QProcess::nullDevice());
        app.start(binaryDir() + QStringLiteral("/../app/velmora"), {});
        if (!app.waitForStarted(10000)) {
            return false;
        }
        if (display == Display::Offscreen) {
            return true;
        }
        QByteArray found;
        if (!xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--pid"), QString::number(app.processId())},
                     &found)) {
            return false;
        }
        window = QString::fromLatin1(found.split('\n').front().trimmed());
        sleepSeconds(3);
        return !window.isEmpty();
    }

    // Clicks the Website project in the sidebar and brings every one of its tasks into
    // the list, a page at a time, as scrolling to the end does.
    bool openLargeProject() {
        if (display == Display::Offscreen) {
            // The driver opens it and scrolls; wait for the pages to stop coming.
            int pages = 0;
            for (int idle = 0, attempt = 0; idle < 8 && attempt < 200; ++attempt) {
                sleepSeconds(0.7);
                const int now = searchPages();
                idle = now > pages || now == 0 ? 0 : idle + 1;
                pages = now;
            }
            return pages >= taskCount / 50;
        }
        // The Website project is the last of the Jira account's two projects, sorted by
        // name, under the calendar entry.
        if (!xdotool({QStringLiteral("windowmove"), window, QStringLiteral("0"), QStringLiteral("0")}) ||
            !xdotool({QStringLiteral("windowsize"), window, QStringLiteral("1200"), QStringLiteral("800")})) {
            return false;
        }
        sleepSeconds(1);
        click(sidebarX, websiteRowY);
        sleepSeconds(3);
        // Into the task list, then to its end, again and again while pages arrive.
        click(taskListX, taskListY);
        int pages = searchPages();
        for (int idle = 0, attempt = 0; idle < 4 && attempt < 100; ++attempt) {
            xdotool({QStringLiteral("key"), QStringLiteral("--window"), window, QStringLiteral("ctrl+End")});
            sleepSeconds(0.7);
            const int now = searchPages();
            idle = now > pages ? 0 : idle + 1;
            pages = now;
        }
        // Pages of 50: the whole project, beside the calendar's searches.
        return pages >= taskCount / 50;
    }

    // The fake Jira's search pages asked for so far.
    int searchPages() const {
        QFile log(home.filePath(QStringLiteral("requests.log")));
        if (!log.open(QIODevice::ReadOnly)) {
            return 0;
        }
        return static_cast<int>(log.readAll().count("/search/jql"));
    }

    Figures measure() {
        Figures figures;
        sleepSeconds(10);
        const qint64 pid = app.processId();
        // What the user pays for the app: its own resident pages, and the anonymous memory of
        // its drawing processes, which only they hold.
        const auto resident = [pid] {
            return (processStatusField(pid, "VmRSS").value_or(0) + childrenMemory(pid).anonKiB) / 1024.0;
        };
        const double before = resident();
        const auto switches = display == Display::X ? contextSwitches(pid, rusageFile()) : std::nullopt;
        sleepSeconds(windowSeconds);
        if (const auto after = switches ? contextSwitches(pid, rusageFile()) : std::nullopt) {
            // The first reading's own wake-up of the app is no wake-up of the app's.
            figures.wakeupsPerSecond = (*after - *switches - 1) / windowSeconds;
        } else {
            figures.wakeupsPerSecond = -1;
        }
        const double after = resident();
        figures.residentMiB = std::max(before, after);
        figures.growthMiB = after - before;
        figures.searchPages = searchPages();
        return figures;
    }

    bool running() const { return app.state() == QProcess::Running; }
    QString rusageFile() const { return home.filePath(QStringLiteral("rusage.txt")); }

    // In a window of 1200 x 800 at the screen's corner.
    static constexpr int sidebarX = 80;
    static constexpr int websiteRowY = 234;
    static constexpr int taskListX = 500;
    static constexpr int taskListY = 300;

private:
    void click(int x, int y) {
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                 QString::number(y), QStringLiteral("click"), QStringLiteral("1")});
    }

    QTemporaryDir home;
    FakeTrackers trackers;
    Display display;
    QProcess app;
    QString window;
};

// Starts the app with the timer running, loads the large project and measures; the
// wake-ups only on X, where the display's event thread is there to wake.
void runOnLargeProject(benchmark::State& state, RunningApp::Display display) {
    for (auto _ : state) {
        RunningApp running(true, display);
        if (!running.start()) {
            state.SkipWithError("the app did not start or showed no window");
            return;
        }
        if (!running.openLargeProject()) {
            state.SkipWithError("the large project's tasks did not all load");
            return;
        }
        const Figures figures = running.measure();
        if (!running.running()) {
            state.SkipWithError("the app ended");
            return;
        }
        state.counters["rss_mib"] = figures.residentMiB;
        state.counters["growth_mib"] = figures.growthMiB;
        state.counters["search_pages"] = figures.searchPages;
        if (display == RunningApp::Display::X) {
            if (figures.wakeupsPerSecond < 0) {
                state.SkipWithError("the app did not report its context switches");
                return;
            }
            state.counters["wakeups_per_s"] = figures.wakeupsPerSecond;
        }
    }
}

void BM_RunningTimerOnLargeProject(benchmark::State& state) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("needs an X display (scripts/bench runs it under Xvfb)");
        return;
    }
    runOnLargeProject(state, RunningApp::Display::X);
}

void BM_RunningTimerOnLargeProjectOffscreen(benchmark::State& state) {
    runOnLargeProject(state, RunningApp::Display::Offscreen);
}

void BM_PausedTimerOnMainWindow(benchmark::State& state) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("needs an X display (scripts/bench runs it under Xvfb)");
        return;
    }
    for (auto _ : state) {
        RunningApp running(false);
        if (!running.start()) {
            state.SkipWithError("the app showed no window");
            return;
        }
        const Figures figures = running.measure();
        if (figures.wakeupsPerSecond < 0) {
            state.SkipWithError("the app did not report its context switches");
            return;
        }
        state.counters["rss_mib"] = figures.residentMiB;
        state.counters["wakeups_per_min"] = figures.wakeupsPerSecond * 60;
    }
}

BENCHMARK(BM_RunningTimerOnLargeProject)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RunningTimerOnLargeProjectOffscreen)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PausedTimerOnMainWindow)->Iterations(1)->Unit(benchmark::kSecond);

void counterAtMost(Bounds& bounds, std::string measure, std::string benchmark, std::string counter,
                   std::string unit, double bound) {
    bounds.atMost(
        std::move(measure),
        [benchmark, counter, unit](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, benchmark, counter);
            return value ? std::optional<Measurement>({Quantity{*value, unit}, std::nullopt}) : std::nullopt;
        },
        bound);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // As on a desktop, the display has a client all along.
    const DisplayHold display;
    Bounds bounds;
    counterAtMost(bounds, "real app offscreen, 1,000 tasks, timer running: resident + drawing procs",
                  "BM_RunningTimerOnLargeProjectOffscreen", "rss_mib", "MiB", 56);
    counterAtMost(bounds, "real app offscreen, timer running: resident growth in a minute",
                  "BM_RunningTimerOnLargeProjectOffscreen", "growth_mib", "MiB", 2);
    counterAtMost(bounds, "real app, timer running: wake-ups a second", "BM_RunningTimerOnLargeProject",
                  "wakeups_per_s", "/s", 2);
    counterAtMost(bounds, "real app, no timer running: wake-ups a minute", "BM_PausedTimerOnMainWindow",
                  "wakeups_per_min", "/min", 2);
    return runBenchmarks(argc, argv, bounds, true);
}
