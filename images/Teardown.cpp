#include "images/Teardown.h"

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
    // A pool's task may hand follow-up work to another pool: the worker stage runs twice so
    // both are idle at the end.
    for (auto& [stage, list] : steps) {
        const int passes = stage == Stage::Work ? 2 : 1;
        for (int pass = 0; pass < passes; ++pass) {
            for (const auto& step : list) {
                step();
            }
        }
    }
}

} // namespace velmora::images
