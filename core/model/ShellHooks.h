#pragma once

#include "core/model/AnyProvider.h"

#include <QUuid>

#include <optional>

namespace velmora {

// What core asks of the window manager, and the only way it reaches the shell. The
// app installs its implementation at start-up; tests install a fake. All calls are
// made on the main thread.
class ShellHooks {
public:
    virtual ~ShellHooks() = default;

    // The account the main window shows, if any.
    virtual std::optional<AnyProvider> currentProvider() const = 0;

    // Switches to a saved account: marks the switch as under way, stores its id as
    // the "defaultAccount" setting when the user lets the default follow (always
    // with `force`), shows it when it is operational (otherwise chooses the default
    // account again), rebuilds the menu and ends the switch.
    virtual void switchToProvider(const QUuid& id, bool force) = 0;

    // Chooses the current account again among the operational ones (after one was
    // marked missing credentials, say); with `showWindow` it also rebuilds the menu
    // and shows the window that fits the choice (main or welcome).
    virtual void selectDefaultProvider(bool showWindow) = 0;

    // An account was deleted: when it was the current one, choose another.
    virtual void providerDeleted(const AnyProvider& provider) = 0;

    // The accounts changed in a way the main menu shows.
    virtual void rebuildMainMenu() = 0;

    // The hooks in force. Until an implementation is installed, a silent one that
    // has no current account and does nothing.
    static ShellHooks& instance();

    // Installs `hooks` (not owned; it must outlive its installation), or the silent
    // default with null. Yields the one installed before.
    static ShellHooks* setInstance(ShellHooks* hooks);
};

} // namespace velmora
