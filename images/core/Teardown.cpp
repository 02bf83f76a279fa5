#include "images/core/Teardown.h"

#include <QCoreApplication>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace velmora::images {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<Teardown::Stage, std::vector<std::function<void()>>> steps;
    std::atomic<bool> begun{false};
};

// Never destroyed: the post routine may run after other statics are gone.
Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

void postRoutine() {
    Teardown::run();
}

} // namespace

void Teardown::add(Stage stage, std::function<void()> step) {
    if (!step) {
        return;
    }
    static std::once_flag registered;
    std::call_once(registered, [] { qAddPostRoutine(postRoutine); });
    auto& shared = registry();
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.begun) {
            shared.steps[stage].push_back(std::move(step));
            return;
        }
    }
    step();
}

bool Teardown::hasBegun() {
    return registry().begun.load();
}

void Teardown::run() {
    auto& shared = registry();
    std::map<Stage, std::vector<std::function<void()>>> steps;
    {
        std::lock_guard lock(shared.mutex);
        if (shared.begun.exchange(true)) {
            return;
        }
        steps.swap(shared.steps);
    }
    const auto runStage = [&steps](Stage stage) {
        for (const auto& step : steps[stage]) {
            step();
        }
    };
    runStage(Stage::DrawingProcesses);
    runStage(Stage::Network);
    // A pool's task may hand follow-up work to another pool, and a disk task its completion to a
    // pool: the pools are waited for twice before the disk queues stop and once after.
    runStage(Stage::Work);
    runStage(Stage::Work);
    runStage(Stage::Disk);
    runStage(Stage::Work);
}

} // namespace velmora::images
