#pragma once

class QMenuBar;

namespace velmora {

class AppDelegate;

// The main menu of a window, built whole every time (never edited in place): the
// application menu (About, Check for Updates..., Settings, Quit), the Accounts menu
// (every account by name, the current one checked, operational ones switch to, then
// "Add Account") and the Edit menu (acting on the focused text field).
class MainMenu {
public:
    MainMenu() = delete;

    static QMenuBar* build(AppDelegate& delegate);
};

} // namespace velmora
