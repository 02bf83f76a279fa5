// What the task list costs as the project grows: putting the loaded tasks into the list
// (the model and its layout), and scrolling from top to bottom one viewport page at a
// time with the rows painted, offscreen, in a list of fixed size. Only the rows in view
// may be painted, so a page of a 10,000-task list must cost about what a page of a
// 1,000-task list costs; loading must grow no faster than the number of tasks.
#include "core/model/APIPaginator.h"
#include "core/model/AnyPaginator.h"
#include "core/model/ProviderService.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using namespace velmora;

struct Page {
    std::vector<Issue> items;
    std::int64_t skip = 0;
    std::int64_t total = 0;
};

struct PageConfig {
    using ResponseType = Page;
    using ItemType = Issue;
    using SkipType = std::int64_t;

    std::int64_t pageSize = 100;
    std::int64_t initialSkip = 0;

    bool isLastPage(const Page& page) const {
        return page.skip + static_cast<std::int64_t>(page.items.size()) >= page.total;
    }
    std::int64_t calculateNextSkip(std::int64_t skip, const Page& page) const {
        return skip + static_cast<std::int64_t>(page.items.size());
    }
    std::vector<Issue> extractItems(const Page& page) const { return page.items; }
};

// A project's tasks in memory, all in one page.
class InMemoryService : public ProviderService {
public:
    explicit InMemoryService(int count) {
        m_tasks.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            Issue task;
            task.id = QString::number(100000 + i);
            task.reference = QStringLiteral("PRJ-%1").arg(i);
            task.name = QStringLiteral("Make the thing number %1 work with the other things").arg(i);
            task.state = Issue::State{QStringLiteral("3"), QStringLiteral("In Progress")};
            task.spentTime = QStringLiteral("1h 30m");
            if (i % 3 == 0) {
                task.assignee =
                    User{QStringLiteral("u-%1").arg(i % 7), QStringLiteral("Someone"), std::nullopt};
            }
            m_tasks.push_back(std::move(task));
        }
    }

    Publisher<ProviderUser, APIError> fetchUser() override {
        return Publisher<ProviderUser, APIError>::fail({});
    }
    Publisher<std::vector<Project>, APIError> fetchProjects() override {
        return Publisher<std::vector<Project>, APIError>::just({});
    }
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project&) override {
        return Publisher<std::vector<Issue::State>, APIError>::just({});
    }
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project&) override {
        return Publisher<std::vector<User>, APIError>::just({});
    }
    AnyPaginator<Issue> fetchTasks(const Project&, const std::optional<QString>&,
                                   const std::optional<Issue::State>&, const std::optional<User>&) override {
        const std::vector<Issue>* tasks = &m_tasks;
        PageConfig config;
        config.pageSize = static_cast<std::int64_t>(m_tasks.size());
        return AnyPaginator<Issue>(
            APIPaginator<PageConfig>(config, [tasks](std::int64_t size, std::int64_t skip) {
                Page page;
                page.skip = skip;
                page.total = static_cast<std::int64_t>(tasks->size());
                const auto end = std::min<std::int64_t>(skip + size, page.total);
                page.items.assign(tasks->begin() + skip, tasks->begin() + end);
                return Publisher<Page, APIError>::just(std::move(page));
            }));
    }
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval&) override {
        return Publisher<std::vector<WorkEntry>, APIError>::just({});
    }
    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry&) override {
        return Publisher<Void, APIError>::just(Void{});
    }

private:
    std::vector<Issue> m_tasks;
};

// A project of `count` tasks, loaded.
struct LoadedProject {
    explicit LoadedProject(int count)
        : service(std::make_shared<InMemoryService>(count)),
          snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          settings(dir.filePath(QStringLiteral("settings.conf"))) {
        settings.setShowUnresolvedTasksByDefault(false);
        settings.setShowMyTasksByDefault(false);
        settings.setPersistProjectFilters(false);
        environment.snapshots = &snapshots;
        environment.settings = &settings;
        Project project;
        project.id = QStringLiteral("10000");
        project.name = QStringLiteral("Project");
        project.configuration = Project::Configuration{true, false, false, true};
        model = std::make_unique<ProjectViewModel>(service, project, std::nullopt, environment);
        while (model->loading() || model->tasks().empty()) {
            QCoreApplication::processEvents();
        }
        timer = std::make_unique<TimerViewModel>(QStringLiteral("KEY"), environment);
    }

    QTemporaryDir dir;
    std::shared_ptr<InMemoryService> service;
    SnapshotManager snapshots;
    UserSettings settings;
    StateEnvironment environment;
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
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
