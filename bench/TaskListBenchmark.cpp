// What the task list costs as the project grows: putting the loaded tasks into the list
// (the model and its layout), and scrolling from top to bottom one viewport page at a
// time with the rows painted, offscreen, in a list of fixed size. Only the rows in view
// may be painted, so a page of a 10,000-task list must cost about what a page of a
// 1,000-task list costs; loading must grow no faster than the number of tasks.
#include "BenchMain.h"
#include "TaskBenchSetup.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>

#include <memory>

namespace {

using namespace velmora;

// A project of `count` tasks, every third one assigned, loaded in one page.
struct LoadedProject {
    explicit LoadedProject(int count)
        : service(std::make_shared<bench::InMemoryTaskService>(
              bench::sampleTasks(count,
                                 [](Issue& task, int i) {
                                     if (i % 3 == 0) {
                                         task.assignee = User{QStringLiteral("u-%1").arg(i % 7),
                                                              QStringLiteral("Someone"), std::nullopt};
                                     }
                                 }),
              count)) {
        Project project = bench::sampleProject();
        project.configuration = Project::Configuration{true, false, false, true};
        model = std::make_unique<ProjectViewModel>(service, project, std::nullopt, stores.environment);
        while (model->loading() || model->tasks().empty()) {
            QCoreApplication::processEvents();
        }
        timer = std::make_unique<TimerViewModel>(QStringLiteral("KEY"), stores.environment);
    }

    bench::TaskListStores stores;
    std::shared_ptr<bench::InMemoryTaskService> service;
    std::unique_ptr<ProjectViewModel> model;
    std::unique_ptr<TimerViewModel> timer;
};

constexpr QSize viewport(320, 600);

void BM_LoadTasksIntoList(benchmark::State& state) {
    LoadedProject project(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ProjectTasksView list(*project.model, project.timer.get());
        list.resize(viewport);
        list.show();
        list.viewport()->repaint();
        QCoreApplication::processEvents();
        benchmark::DoNotOptimize(list.tasksModel()->rowCount());
        state.PauseTiming();
        list.hide();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

// One iteration: one viewport page further down, painted; back to the top at the end.
void BM_ScrollTaskListPerPage(benchmark::State& state) {
    LoadedProject project(static_cast<int>(state.range(0)));
    ProjectTasksView list(*project.model, project.timer.get());
    list.resize(viewport);
    list.show();
    QCoreApplication::processEvents();
    QScrollBar* bar = list.verticalScrollBar();
    for (auto _ : state) {
        const int next =
            bar->value() >= bar->maximum() ? 0 : std::min(bar->maximum(), bar->value() + bar->pageStep());
        bar->setValue(next);
        list.viewport()->repaint();
        QCoreApplication::processEvents();
    }
    state.counters["pages"] = static_cast<double>(bar->maximum()) / bar->pageStep();
}

BENCHMARK(BM_LoadTasksIntoList)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScrollTaskListPerPage)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    velmora::bench::Bounds bounds;
    // Ten times the tasks: uniform rows lay out at once, so loading costs about the same
    // (a layout row by row would cost ten times as much).
    bounds.timeRatio("task list load: 10,000 / 1,000 tasks", "BM_LoadTasksIntoList/10000",
                     "BM_LoadTasksIntoList/1000", 3.0);
    // Only the rows in view are painted.
    bounds.timeRatio("task list page scroll: 10,000 / 1,000 tasks", "BM_ScrollTaskListPerPage/10000",
                     "BM_ScrollTaskListPerPage/1000", 2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
