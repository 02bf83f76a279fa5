#pragma once

// The running app as the shell memory benchmarks see it: the delegate on an account
// store, snapshot file and settings of their own, one YouTrack account whose service
// answers from memory with one project of 1,000 tasks, a clock moved by hand, and the
// main window on that project with its timer running.
#include "app/AppDelegate.h"
#include "app/ApplicationWindowController.h"
#include "app/MenuBarManager.h"
#include "app/WindowManager.h"
#include "core/model/APIPaginator.h"
#include "core/model/AnyPaginator.h"
#include "core/model/ProviderService.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/store/ProviderStore.h"
#include "state/ApplicationRoute.h"
#include "state/ApplicationViewModel.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/AssetNames.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::bench {

// Resident memory of this process in MiB, from /proc/self/status.
inline double residentMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
        }
    }
    return -1;
}

inline void settle(int ms = 200) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

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

// One project of `count` tasks, answered from memory in pages of 100.
class InMemoryProjectService : public ProviderService {
public:
    explicit InMemoryProjectService(int count) {
        project.id = QStringLiteral("10000");
        project.shortName = QStringLiteral("PRJ");
        project.name = QStringLiteral("Project");
        project.configuration = Project::Configuration{true, false, false, true};
        for (int i = 0; i < count; ++i) {
            Issue task;
            task.id = QString::number(100000 + i);
            task.reference = QStringLiteral("PRJ-%1").arg(i);
            task.name = QStringLiteral("Make the thing number %1 work with the other things").arg(i);
            task.state = Issue::State{QStringLiteral("3"), QStringLiteral("In Progress")};
            task.spentTime = QStringLiteral("1h 30m");
            tasks.push_back(std::move(task));
        }
    }

    Publisher<ProviderUser, APIError> fetchUser() override {
        return Publisher<ProviderUser, APIError>::fail({});
    }
    Publisher<std::vector<Project>, APIError> fetchProjects() override {
        return Publisher<std::vector<Project>, APIError>::just({project});
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
        return AnyPaginator<Issue>(
            APIPaginator<TaskPageConfig>(TaskPageConfig{}, [all](std::int64_t size, std::int64_t skip) {
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
    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry&) override {
        return Publisher<Void, APIError>::just(Void{});
    }

    Project project;
    std::vector<Issue> tasks;
};

class RunningShell {
public:
    explicit RunningShell(int taskCount = 1000)
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))),
          credentials(std::make_shared<InMemoryKeyring>()),
          snapshots(dir.filePath(QStringLiteral("Velmora.plist"))),
          settings(dir.filePath(QStringLiteral("settings.conf"))), manager(store, credentials, snapshots),
          service(std::make_shared<InMemoryProjectService>(taskCount)) {
        settings.setShowUnresolvedTasksByDefault(false);
        settings.setShowMyTasksByDefault(false);
        settings.setPersistProjectFilters(false);
        YouTrackProvider provider(std::nullopt, QStringLiteral("Work"),
                                  YouTrackProvider::Parameters{QStringLiteral("https://yt.test")},
                                  ProviderState::operational,
                                  ProviderUser{QStringLiteral("me"), QStringLiteral("Me"), QString()});
        ProviderEntity entity = provider.toEntity();
        entity.id = QUuid::createUuid();
        store.insertProvider(entity);
        previous = ProviderManager::setShared(&manager);

        ShellEnvironment environment;
        environment.providers = &manager;
        environment.state.clock = clock;
        environment.state.snapshots = &snapshots;
        environment.state.settings = &settings;
        environment.state.loadMoreDelay = std::chrono::milliseconds(0);
        auto shared = service;
        environment.makeService = [shared](const AnyProvider&) -> std::shared_ptr<ProviderService> {
            return shared;
        };
        environment.windowStateFile = dir.filePath(QStringLiteral("windows.conf"));
        delegate = std::make_unique<AppDelegate>(environment);
        delegate->applicationDidFinishLaunching();
        settle();

        ApplicationWindowController* window = delegate->windowManager().applicationWindow();
        window->applicationViewModel()->setRoute(ApplicationRoute::forProject(service->project));
        // The whole project is loaded: the list asks for page after page as it fills.
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            // The list's pause before asking for more runs on the clock.
            clock->advance(0);
            settle(20);
            auto* project = window->findChild<ProjectViewModel*>();
            if (project && !project->loading() && project->tasks().size() >= std::size_t(taskCount)) {
                break;
            }
            if (project && !project->loading() && !project->loadingMoreTasks()) {
                project->loadMoreTasks();
            }
        }
        window->timerViewModel()->start(service->project, service->tasks.front());
        settle();
    }
    ~RunningShell() {
        delegate.reset();
        ProviderManager::setShared(previous);
    }

    ApplicationWindowController& window() const { return *delegate->windowManager().applicationWindow(); }
    std::size_t loadedTasks() const {
        auto* project = window().findChild<ProjectViewModel*>();
        return project ? project->tasks().size() : 0;
    }

    QTemporaryDir dir;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    ProviderStore store;
    CredentialsManager credentials;
    SnapshotManager snapshots;
    UserSettings settings;
    ProviderManager manager;
    std::shared_ptr<InMemoryProjectService> service;
    std::unique_ptr<AppDelegate> delegate;
    ProviderManager* previous = nullptr;
};

} // namespace velmora::bench
