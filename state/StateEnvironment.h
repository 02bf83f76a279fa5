#pragma once

#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"

#include <chrono>
#include <memory>

namespace velmora {

// What the state objects take from the process around them: the clock, the snapshot
// store, the user settings and the pause before the task list asks for its next
// page. The defaults are the process-wide instances; tests put in a ManualClock, a
// snapshot file and a settings file of their own.
struct StateEnvironment {
    std::shared_ptr<Clock> clock = Clock::system();
    // Null: SnapshotManager::shared().
    SnapshotManager* snapshots = nullptr;
    // Null: UserSettings::shared().
    UserSettings* settings = nullptr;
    // The list asks for more when its last row comes into view; the pause keeps a
    // quick scroll from firing one request per row. Measured on `clock`.
    std::chrono::milliseconds loadMoreDelay{1000};

    QDateTime currentTime() const { return clock->now(); }
    SnapshotManager& snapshotManager() const { return snapshots ? *snapshots : SnapshotManager::shared(); }
    UserSettings& userSettings() const { return settings ? *settings : UserSettings::shared(); }
};

} // namespace velmora
