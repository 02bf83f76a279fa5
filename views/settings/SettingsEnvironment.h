#pragma once

#include <QWidget>

#include <functional>

namespace velmora {

class ProviderStore;
class SettingsViewModel;
class Updater;
class UserSettings;

// What the settings window's pages work on. The app passes its own; tests their stores.
struct SettingsEnvironment {
    // The user settings the pages write; null: UserSettings::shared().
    UserSettings* settings = nullptr;
    // The software updater's engine (the General page's update switch and "Check Now").
    Updater* updater = nullptr;
    // The accounts' store; null: the app's.
    ProviderStore* store = nullptr;
    // Makes the Accounts page; unset: an empty page.
    std::function<QWidget*(SettingsViewModel& model)> accountsPage;
    // Where the window's frame is kept; empty: the app's settings file.
    QString windowStateFile;
};

} // namespace velmora
