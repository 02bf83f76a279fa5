#pragma once

#include "app/StatusItem.h"
#include "core/model/AnyProvider.h"
#include "core/model/ProviderService.h"
#include "core/storage/ProviderManager.h"
#include "state/StateEnvironment.h"

#include <QString>

#include <functional>
#include <memory>

namespace velmora {

class BookingRecovery;

// What the shell takes from the process around it. The defaults are the app's own
// stores; tests put in an account store, a snapshot file and a settings file of their
// own, and services that answer without a network.
struct ShellEnvironment {
    // Null: ProviderManager::shared().
    ProviderManager* providers = nullptr;
    // The clock, snapshot store and settings handed to every state object (and read by
    // the window manager itself).
    StateEnvironment state;
    // Makes the tracker service of an account; empty: the service factory.
    std::function<std::shared_ptr<ProviderService>(const AnyProvider&)> makeService;
    // Where window frames are kept; empty: the app's settings file.
    QString windowStateFile;
    // Makes the status item; empty: the system tray's.
    std::function<std::unique_ptr<StatusItem>()> makeStatusItem;
    // Whether the periodic jobs run (tests of the windows leave them out).
    bool scheduleJobs = true;
    // The look-ups of bookings whose answer was not seen (the application delegate's);
    // the main window's booking line asks them again at the user's word. The records
    // themselves are `state.bookings`.
    BookingRecovery* bookingRecovery = nullptr;

    ProviderManager& providerManager() const { return providers ? *providers : ProviderManager::shared(); }
    UserSettings& settings() const { return state.userSettings(); }
    SnapshotManager& snapshots() const { return state.snapshotManager(); }
    std::shared_ptr<ProviderService> service(const AnyProvider& provider) const;
};

} // namespace velmora
