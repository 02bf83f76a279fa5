// How the task list's cost grows with the project: paging through every task of a
// project, page after page, as the list does when its end keeps coming into view.
// The service answers at once from memory, so what is measured is the task list's
// own work (delivery through the event loop, appending, flags); it must grow
// linearly with the number of tasks.
#include "BenchMain.h"
#include "TaskBenchSetup.h"
#include "state/ProjectViewModel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <chrono>
#include <memory>

namespace {

using namespace velmora;

template <typename Done> void spinUntil(Done done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void BM_PageThroughProject(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    // Every task assigned, served in pages of 100.
    auto service =
        std::make_shared<bench::InMemoryTaskService>(bench::sampleTasks(count, [](Issue& task, int i) {
            task.assignee = User{QStringLiteral("u-%1").arg(i % 7), QStringLiteral("Someone"), std::nullopt};
        }));
    bench::TaskListStores stores;
    StateEnvironment environment = stores.environment;
    environment.loadMoreDelay = std::chrono::milliseconds(0);

    const Project project = bench::sampleProject();

    for (auto _ : state) {
        auto model = std::make_unique<ProjectViewModel>(service, project, std::nullopt, environment);
        spinUntil([&] { return !model->loading() && !model->tasks().empty(); });
        while (model->hasMoreTasks()) {
            model->loadMoreTasks();
            spinUntil([&] { return !model->loadingMoreTasks(); });
        }
        if (static_cast<int>(model->tasks().size()) != count) {
            state.SkipWithError("not every task arrived");
            break;
        }
        state.PauseTiming();
        model.reset();
        state.ResumeTiming();
    }
    state.counters["tasks"] = count;
    state.counters["perTask"] =
        benchmark::Counter(static_cast<double>(count),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PageThroughProject)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    velmora::bench::Bounds bounds;
    // Linear: a task of the 10,000 costs what a task of the 1,000 costs.
    bounds.atMost(
        "paging, per task: 10,000 / 1,000 tasks",
        [](const velmora::bench::Runs& runs) -> std::optional<velmora::bench::Measurement> {
            const auto* large = runs.find("BM_PageThroughProject/10000");
            const auto* small = runs.find("BM_PageThroughProject/1000");
            if (!large || !small || large->failed || small->failed) {
                return std::nullopt;
            }
            return velmora::bench::Measurement{velmora::bench::Quantity::seconds(large->seconds / 10000),
                                               velmora::bench::Quantity::seconds(small->seconds / 1000)};
        },
        2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds, true);
}
