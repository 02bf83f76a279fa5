#pragma once

// What the task list benchmarks set up alike: a made-up project whose tasks a service
// answers from memory, page by page, and the snapshot file and settings of their own
// with the list's filters off, so every task shows.
#include "core/model/APIPaginator.h"
#include "core/model/AnyPaginator.h"
#include "core/model/ProviderService.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "state/StateEnvironment.h"

#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace velmora::bench {

struct TaskPage {
    std::vector<Issue> items;
    std::int64_t skip = 0;
    std::int64_t total = 0;
};

struct TaskPageConfig {
    using ResponseType = TaskPage;
    using ItemType = Issue;
    using SkipType = std::int64_t;
    std::int64_t pageSize = 100;
    std::int64_t initialSkip = 0;
    bool isLastPage(const TaskPage& page) const {
        return page.skip + static_cast<std::int64_t>(page.items.size()) >= page.total;
    }
    std::int64_t calculateNextSkip(std::int64_t skip, const TaskPage& page) const {
        return skip + static_cast<std::int64_t>(page.items.size());
    }
    std::vector<Issue> extractItems(const TaskPage& page) const { return page.items; }
};

// The project the tasks belong to: its id and name only.
inline Project sampleProject() {
    Project project;
    project.id = QStringLiteral("10000");
    project.name = QStringLiteral("Project");
    return project;
}

// `count` tasks in progress with a long name and some time spent; `adjust` adds what a
// benchmark needs beyond that (an assignee) to the task of each number.
inline std::vector<Issue> sampleTasks(int count, const std::function<void(Issue&, int)>& adjust = {}) {
    std::vector<Issue> tasks;
    tasks.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Issue task;
        task.id = QString::number(100000 + i);
        task.reference = QStringLiteral("PRJ-%1").arg(i);
        task.name = QStringLiteral("Make the thing number %1 work with the other things").arg(i);
        task.state = Issue::State{QStringLiteral("3"), QStringLiteral("In Progress")};
        task.spentTime = QStringLiteral("1h 30m");
        if (adjust) {
            adjust(task, i);
        }
        tasks.push_back(std::move(task));
    }
    return tasks;
}

// Answers every request at once from memory: `projects`, and `tasks` in pages of
// `pageSize`. The user fetch fails; states, assignees and work entries are empty.
class InMemoryTaskService : public ProviderService {
public:
    explicit InMemoryTaskService(std::vector<Issue> tasks, std::int64_t pageSize = 100)
        : tasks(std::move(tasks)), pageSize(pageSize) {}

    Publisher<ProviderUser, APIError> fetchUser() override {
        return Publisher<ProviderUser, APIError>::fail({});
    }
    Publisher<std::vector<Project>, APIError> fetchProjects() override {
        return Publisher<std::vector<Project>, APIError>::just(projects);
    }
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project&) override {
        return Publisher<std::vector<Issue::State>, APIError>::just({});
    }
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project&) override {
        return Publisher<std::vector<User>, APIError>::just({});
    }
    AnyPaginator<Issue> fetchTasks(const Project&, const std::optional<QString>&,
                                   const std::optional<Issue::State>&, const std::optional<User>&) override {
        const std::vector<Issue>* all = &tasks;
        TaskPageConfig config;
        config.pageSize = pageSize;
        return AnyPaginator<Issue>(
            APIPaginator<TaskPageConfig>(config, [all](std::int64_t size, std::int64_t skip) {
                TaskPage page;
                page.skip = skip;
                page.total = static_cast<std::int64_t>(all->size());
                const auto end = std::min<std::int64_t>(skip + size, page.total);
                page.items.assign(all->begin() + skip, all->begin() + end);
                return Publisher<TaskPage, APIError>::just(std::move(page));
            }));
    }
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval&) override {
        return Publisher<std::vector<WorkEntry>, APIError>::just({});
    }
    Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue&,
                                                                    const DateInterval&) override {
        return Publisher<std::vector<WorkEntry>, APIError>::just({});
    }
    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry&) override {
        return Publisher<Void, APIError>::just(Void{});
    }

    std::vector<Project> projects;
    std::vector<Issue> tasks;
    std::int64_t pageSize;
};

// A snapshot file and settings in a folder of their own, the settings with the task
// list's filters off, and a state environment on both.
struct TaskListStores {
    TaskListStores()
        : snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          settings(dir.filePath(QStringLiteral("settings.conf"))) {
        settings.setShowUnresolvedTasksByDefault(false);
        settings.setShowMyTasksByDefault(false);
        settings.setPersistProjectFilters(false);
        environment.snapshots = &snapshots;
        environment.settings = &settings;
    }

    QTemporaryDir dir;
    SnapshotManager snapshots;
    UserSettings settings;
    StateEnvironment environment;
};

} // namespace velmora::bench
