// A day of the status item: 86,400 one-second refreshes on a clock moved by hand, with
// the main window on a project of 1,000 tasks and the timer running, and what they add
// to the resident memory. The bound is 2 MiB of growth.
#include "ShellBenchSetup.h"

#include <benchmark/benchmark.h>

namespace {

using namespace velmora;
using namespace velmora::bench;

void BM_StatusItemRefreshesForADay(benchmark::State& state) {
    RunningShell shell(1000);
    MenuBarManager& menuBar = shell.delegate->menuBarManager();
    // A first stretch warms the caches (glyphs, the icons of each minute) before the
    // baseline is taken.
    for (int second = 0; second < 600; ++second) {
        shell.clock->advance(1000);
        menuBar.refresh();
    }
    settle(100);
    const double before = residentMiB();
    for (auto _ : state) {
        for (int second = 0; second < 86'400; ++second) {
            shell.clock->advance(1000);
            menuBar.refresh();
            if (second % 1000 == 999) {
                // What the event loop would do between the ticks.
                QCoreApplication::processEvents();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            }
        }
    }
    settle(100);
    const double after = residentMiB();
    state.counters["rss_before_mib"] = before;
    state.counters["rss_after_mib"] = after;
    state.counters["growth_mib"] = after - before;
    state.counters["timer_seconds"] = shell.window().timerViewModel()->elapsed();
}
BENCHMARK(BM_StatusItemRefreshesForADay)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    velmora::bench::Bounds bounds;
    velmora::bench::mibAtMost(bounds, "a day of status item refreshes: resident growth",
                              "BM_StatusItemRefreshesForADay", "growth_mib", 2.0);
    return velmora::bench::runShellBenchmarks(argc, argv, bounds);
}
