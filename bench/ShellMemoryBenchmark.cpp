// Resident memory of the running app, offscreen, with the main window on a project of
// 1,000 tasks (all loaded into the list) and the timer running. The bound is 60 MiB.
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
    if (resident > 60.0) {
        state.SkipWithError("resident memory above 60 MiB");
    }
}
BENCHMARK(BM_MainWindowOn1000TasksWithRunningTimer)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return velmora::bench::runShellBenchmarks(argc, argv);
}
