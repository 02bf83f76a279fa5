#pragma once

// The running app as the shell memory benchmarks see it: the delegate on an account
// store, snapshot file and settings of their own, one YouTrack account whose service
// answers from memory with one project of 1,000 tasks, a clock moved by hand, and the
// main window on that project with its timer running.
#include "BenchMain.h"
#include "TaskBenchSetup.h"
#include "app/AppDelegate.h"
#include "app/ApplicationWindowController.h"
#include "app/MenuBarManager.h"
#include "app/WindowManager.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
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
#include <QThread>

#include <memory>

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

// One project of `count` tasks, answered from memory in pages of 100.
class InMemoryProjectService : public InMemoryTaskService {
public:
    explicit InMemoryProjectService(int count) : InMemoryTaskService(sampleTasks(count)) {
        project = sampleProject();
        project.shortName = QStringLiteral("PRJ");
        project.configuration = Project::Configuration{true, false, false, true};
        projects = {project};
    }

    Project project;
};

class RunningShell {
public:
    explicit RunningShell(int taskCount = 1000)
        : store(stores.dir.filePath(QStringLiteral("Velmora.sqlite"))),
          credentials(std::make_shared<InMemoryKeyring>()), manager(store, credentials, stores.snapshots),
          service(std::make_shared<InMemoryProjectService>(taskCount)) {
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
        environment.state = stores.environment;
        environment.state.clock = clock;
        environment.state.loadMoreDelay = std::chrono::milliseconds(0);
        auto shared = service;
        environment.makeService = [shared](const AnyProvider&) -> std::shared_ptr<ProviderService> {
            return shared;
        };
        environment.windowStateFile = stores.dir.filePath(QStringLiteral("windows.conf"));
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

    TaskListStores stores;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    ProviderStore store;
    CredentialsManager credentials;
    ProviderManager manager;
    std::shared_ptr<InMemoryProjectService> service;
    std::unique_ptr<AppDelegate> delegate;
    ProviderManager* previous = nullptr;
};

// The main() of a shell benchmark: offscreen, with the app's images registered.
inline int runShellBenchmarks(int& argc, char** argv, const Bounds& bounds) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    Assets::initialise();
    return runBenchmarks(argc, argv, bounds);
}

// A bound on one counter of one benchmark, in MiB.
inline void mibAtMost(Bounds& bounds, std::string measure, std::string benchmark, std::string counter,
                      double bound) {
    bounds.atMost(
        std::move(measure),
        [benchmark, counter](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, benchmark, counter);
            return value ? std::optional<Measurement>({Quantity::mib(*value), std::nullopt}) : std::nullopt;
        },
        bound);
}

} // namespace velmora::bench
