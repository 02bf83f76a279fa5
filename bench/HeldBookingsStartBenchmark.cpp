// A start with many bookings on hold (their answers never seen: a kill, a crash or a dropped
// connection each), as the user meets it: from reading the notes to the first turn of the event
// loop with the main window's booking strip on screen. What runs meanwhile is the app's own start
// of the bookings: the records read and settled, every held booking's look-up started, and the
// strip built with a row and its words for each. The tracker answers the look-ups at once with
// nothing listed, as an idle tracker would, after that first turn.
//
// Beside it, in turns, the same start with no booking on hold: the window and the strip alone.
//
// Bounds: 1,000 held bookings reach the first turn within half a second of the window alone,
// and so do 5,000 (past the bound of records read at a start, the rest stay in the file unread);
// and the start grows linearly: a held booking of the 1,000 costs at most 2.5 times one of the
// 100 (a start whose look-ups or words walk every record for every record grows with the square).
#include "BenchMain.h"
#include "TaskBenchSetup.h"
#include "core/storage/SnapshotManager.h"
#include "state/BookingRecord.h"
#include "state/BookingRecords.h"
#include "state/BookingRecovery.h"
#include "views/main/BookingStatusView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <memory>

namespace {

using namespace velmora;

const QString account = QStringLiteral("0E4A2F0C-6C8B-4D5B-9C55-2D4E8A1B7F10");

// `count` bookings left this morning, each on one of 20 tasks with one of 7 durations (so some
// look alike), still on their way when the run before ended.
void writeHeld(const QString& path, int count) {
    SnapshotManager snapshots(path);
    std::vector<SnapshotManager::Change> changes;
    const QDateTime morning = QDateTime::currentDateTime().addSecs(-3600);
    for (int i = 0; i < count; ++i) {
        BookingRecord record;
        record.id = QUuid::createUuid();
        record.account = account;
        record.tracker = QStringLiteral("Jira");
        record.task.id = QString::number(10000 + i % 20);
        record.task.reference = QStringLiteral("WEB-%1").arg(i % 20);
        record.task.name = QStringLiteral("Task %1").arg(i % 20);
        record.project =
            Project{QStringLiteral("10000"), QStringLiteral("WEB"), QStringLiteral("Web"), {}, {}};
        const qint64 seconds = 900 * (1 + i % 7);
        record.booking = WorkLogBooking{record.task.id, morning.addSecs(i), seconds, QStringLiteral("notes")};
        record.booking.dating = WorkLogBooking::Dating::exact;
        record.booking.sent = morning.addSecs(i + seconds);
        record.state = BookingRecord::State::leaving;
        changes.push_back(
            {SnapshotKind::Bookings, record.id.toString(QUuid::WithoutBraces), record.toSnapshot()});
    }
    snapshots.apply(changes);
    snapshots.flush();
}

void BM_StartWithHeldBookings(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    auto service = std::make_shared<bench::InMemoryTaskService>(std::vector<Issue>{});
    double cpu = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
        writeHeld(path, count);

        const double cpuBefore = bench::threadCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        SnapshotManager snapshots(path);
        StateEnvironment environment;
        environment.snapshots = &snapshots;
        environment.accountExists = [](const QString&) { return true; };
        auto records = std::make_unique<BookingRecords>(environment);
        auto lookUps = std::make_unique<BookingRecovery>(
            *records, [service](const QString&) { return std::shared_ptr<ProviderService>(service); });
        lookUps->start();
        // The window's strip, as the main window hosts it: under the content, scrolling.
        auto window = std::make_unique<QScrollArea>();
        window->resize(1000, 700);
        window->setWidgetResizable(true);
        window->setWidget(new BookingStatusView(*records, lookUps.get(), account));
        window->show();
        QEventLoop loop;
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
        loop.exec();
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        cpu += bench::threadCpuSeconds() - cpuBefore;

        state.PauseTiming();
        window.reset();
        lookUps.reset();
        records.reset();
        state.ResumeTiming();
    }
    state.counters["held"] = count;
    state.counters["mainThreadCpu"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StartWithHeldBookings)
    ->Arg(0)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(5000)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

std::optional<bench::Measurement> perHeld(const bench::Runs& runs, int large, int small) {
    const auto* big = runs.find("BM_StartWithHeldBookings/" + std::to_string(large));
    const auto* little = runs.find("BM_StartWithHeldBookings/" + std::to_string(small));
    const auto* none = runs.find("BM_StartWithHeldBookings/0");
    if (!big || !little || !none || big->failed || little->failed || none->failed) {
        return std::nullopt;
    }
    return bench::Measurement{bench::Quantity::seconds((big->seconds - none->seconds) / large),
                              bench::Quantity::seconds((little->seconds - none->seconds) / small)};
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bench::Bounds bounds;
    bounds.atMost(
        "start with 1,000 held bookings beyond the window alone",
        [](const bench::Runs& runs) -> std::optional<bench::Measurement> {
            const auto* held = runs.find("BM_StartWithHeldBookings/1000");
            const auto* none = runs.find("BM_StartWithHeldBookings/0");
            if (!held || !none || held->failed || none->failed) {
                return std::nullopt;
            }
            return bench::Measurement{bench::Quantity::seconds(held->seconds - none->seconds), std::nullopt};
        },
        0.5);
    bounds.atMost(
        "start with 5,000 held bookings (1,000 read, the rest kept in the file)",
        [](const bench::Runs& runs) -> std::optional<bench::Measurement> {
            const auto* held = runs.find("BM_StartWithHeldBookings/5000");
            if (!held || held->failed) {
                return std::nullopt;
            }
            return bench::Measurement{bench::Quantity::seconds(held->seconds), std::nullopt};
        },
        0.5);
    bounds.atMost(
        "start, per held booking: 1,000 / 100 held",
        [](const bench::Runs& runs) { return perHeld(runs, 1000, 100); }, 2.5);
    return bench::runInterleaved(argc, argv, bounds);
}
