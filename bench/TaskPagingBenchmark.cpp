// How the task list's cost grows with the project: paging through every task of a
// project, page after page, as the list does when its end keeps coming into view.
// The service answers at once from memory, so what is measured is the task list's
// own work (delivery through the event loop, appending, flags); it must grow
// linearly with the number of tasks.
#include "core/model/APIPaginator.h"
#include "core/model/AnyPaginator.h"
#include "core/model/ProviderService.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "state/ProjectViewModel.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
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

// A project's tasks in memory, served in pages of 100.
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
            task.assignee = User{QStringLiteral("u-%1").arg(i % 7), QStringLiteral("Someone"), std::nullopt};
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
        return AnyPaginator<Issue>(
            APIPaginator<PageConfig>(PageConfig{}, [tasks](std::int64_t size, std::int64_t skip) {
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

template <typename Done> void spinUntil(Done done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void BM_PageThroughProject(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    auto service = std::make_shared<InMemoryService>(count);
    QTemporaryDir dir;
    SnapshotManager snapshots(dir.filePath(QStringLiteral("Velmora.plist")));
    UserSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    settings.setShowUnresolvedTasksByDefault(false);
    settings.setShowMyTasksByDefault(false);
    settings.setPersistProjectFilters(false);

    StateEnvironment environment;
    environment.snapshots = &snapshots;
    environment.settings = &settings;
    environment.loadMoreDelay = std::chrono::milliseconds(0);

    Project project;
    project.id = QStringLiteral("10000");
    project.name = QStringLiteral("Project");

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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
