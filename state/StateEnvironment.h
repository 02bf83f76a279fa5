#pragma once

#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/BootClock.h"
#include "platform/async/Clock.h"

#include <chrono>
#include <functional>
#include <memory>

namespace velmora {

class BookingRecords;

// What the state objects take from the process around them: the clocks, the snapshot
// store, the user settings, the bookings' records and the pause before the task list
// asks for its next page. The defaults are the process-wide instances; tests put in a
// ManualClock, a snapshot file and a settings file of their own.
struct StateEnvironment {
    std::shared_ptr<Clock> clock = Clock::system();
    // Spans that must hold whatever the wall clock does (a booking's arrival window).
    std::shared_ptr<BootClock> bootClock = BootClock::system();
    // Null: SnapshotManager::shared().
    SnapshotManager* snapshots = nullptr;
    // Null: UserSettings::shared().
    UserSettings* settings = nullptr;
    // The process's records of bookings (made by the application shell); null where
    // nothing books (a timer without them books nothing of its own accord).
    BookingRecords* bookings = nullptr;
    // The list asks for more when its last row comes into view; the pause keeps a
    // quick scroll from firing one request per row. Measured on `clock`.
    std::chrono::milliseconds loadMoreDelay{1000};
    // Whether an account (its id text) is one the app still has; null: every one is.
    std::function<bool(const QString& account)> accountExists;

    QDateTime currentTime() const { return clock->now(); }
    SnapshotManager& snapshotManager() const { return snapshots ? *snapshots : SnapshotManager::shared(); }
    UserSettings& userSettings() const { return settings ? *settings : UserSettings::shared(); }
};

} // namespace velmora
