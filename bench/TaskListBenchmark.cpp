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

#include <functional>
#include <memory>
#include <optional>

namespace {

using namespace velmora;

void assignEveryThird(Issue& task, int i) {
    if (i % 3 == 0) {
        task.assignee = User{QStringLiteral("u-%1").arg(i % 7), QStringLiteral("Someone"), std::nullopt};
    }
}

// Names, states and times a server could send that once drew lines over the rows
// around them or took seconds to lay out: 100,000 line breaks, 100,000 marks on one
// letter, letters under eight marks each, invisible characters, megabytes of text.
void giveHostileTexts(Issue& task, int i) {
    static const QList<QString> texts{
        QStringLiteral("Fix\n").repeated(100000),
        QStringLiteral("a") + QStringLiteral("\u0301").repeated(100000),
        QStringLiteral("Z\u0301\u0302\u0303\u0304\u0305\u0306\u0307\u0308").repeated(20000),
        QStringLiteral("\u200B\u2028\u00AD\u2060").repeated(100000) + QStringLiteral("end"),
        QString(5000000, QChar(u'W')),
    };
    task.name = texts[i % texts.size()];
    task.state = Issue::State{QStringLiteral("s"), texts[(i + 1) % texts.size()]};
    task.spentTime = texts[(i + 2) % texts.size()];
}

// A project of `count` tasks, every third one assigned unless `adjust` says otherwise,
// loaded in one page.
struct LoadedProject {
    explicit LoadedProject(int count, const std::function<void(Issue&, int)>& adjust = assignEveryThird)
        : service(std::make_shared<bench::InMemoryTaskService>(bench::sampleTasks(count, adjust), count)) {
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

// One iteration: 100 rows of hostile texts painted at once, in a list tall enough to
// show them all.
void BM_PaintHostileTaskRows(benchmark::State& state) {
    LoadedProject project(100, giveHostileTexts);
    ProjectTasksView list(*project.model, project.timer.get());
    list.resize(viewport);
    list.show();
    QCoreApplication::processEvents();
    list.resize(viewport.width(), list.sizeHintForRow(0) * 100 + 2 * list.frameWidth());
    QCoreApplication::processEvents();
    for (auto _ : state) {
        list.viewport()->repaint();
    }
}

BENCHMARK(BM_LoadTasksIntoList)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScrollTaskListPerPage)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PaintHostileTaskRows)->Unit(benchmark::kMillisecond);

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
    // Whatever a server calls its tasks, a screenful of rows paints within a frame or two.
    bounds.atMost(
        "100 task rows of hostile texts painted (CPU)",
        [](const velmora::bench::Runs& runs) -> std::optional<velmora::bench::Measurement> {
            const velmora::bench::Figures* figures = runs.find("BM_PaintHostileTaskRows");
            if (!figures || figures->failed) {
                return std::nullopt;
            }
            return velmora::bench::Measurement{velmora::bench::Quantity::seconds(figures->cpuSeconds),
                                               std::nullopt};
        },
        0.020);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
