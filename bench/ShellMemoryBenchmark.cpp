// Resident memory of the running app, offscreen, with the main window on a project of
// 1,000 tasks (all loaded into the list) and the timer running.
#include "ShellBenchSetup.h"

#include <benchmark/benchmark.h>

namespace {

using namespace velmora;
using namespace velmora::bench;

void BM_MainWindowOn1000TasksWithRunningTimer(benchmark::State& state) {
    RunningShell shell(1000);
    for (auto _ : state) {
        settle(100);
    }
    state.counters["tasks"] = double(shell.loadedTasks());
    const double resident = residentMiB();
    state.counters["rss_mib"] = resident;
}
BENCHMARK(BM_MainWindowOn1000TasksWithRunningTimer)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    velmora::bench::Bounds bounds;
    velmora::bench::mibAtMost(bounds, "in-process shell, 1,000 tasks, timer running: resident",
                              "BM_MainWindowOn1000TasksWithRunningTimer", "rss_mib", 50.0);
    return velmora::bench::runShellBenchmarks(argc, argv, bounds);
}
