#pragma once

#include <QDateTime>
#include <QWidget>

#include <optional>

class QCheckBox;
class QComboBox;
class QPushButton;

namespace velmora {

class FetchProviders;
class ProviderStore;
class SettingsForm;
class SettingsRow;
class SettingsViewModel;
class Updater;
class UserSettings;

// The General page: how the current account is chosen and switched, the defaults of the task
// filters, and software updates. Every control writes through at once, to the user settings
// or to the updater; there is nothing to save.
class GeneralSettingsView : public QWidget {
    Q_OBJECT
public:
    // `store`: where the accounts for the default-account picker come from; null: the app's.
    GeneralSettingsView(SettingsViewModel& model, UserSettings& settings, Updater& updater,
                        ProviderStore* store = nullptr, QWidget* parent = nullptr);

    // "Never" before the first check, else the date and time in the user's format.
    static QString lastCheckText(const std::optional<QDateTime>& date);

    SettingsForm* form() const { return m_form; }
    QCheckBox* changeDefaultAccountSwitch() const { return m_changeDefault; }
    QComboBox* defaultAccountPicker() const { return m_picker; }
    QCheckBox* showUnresolvedSwitch() const { return m_showUnresolved; }
    QCheckBox* showMyTasksSwitch() const { return m_showMyTasks; }
    QCheckBox* persistFiltersSwitch() const { return m_persistFilters; }
    SettingsRow* checkForUpdatesRow() const { return m_checkRow; }
    QPushButton* checkNowButton() const { return m_checkNow; }
    QCheckBox* automaticUpdatesSwitch() const { return m_automaticUpdates; }

private:
    void refreshPicker();
    void refreshLastCheck();

    UserSettings& m_settings;
    Updater& m_updater;
    FetchProviders* m_providers = nullptr;
    SettingsForm* m_form = nullptr;
    QCheckBox* m_changeDefault = nullptr;
    QComboBox* m_picker = nullptr;
    QCheckBox* m_showUnresolved = nullptr;
    QCheckBox* m_showMyTasks = nullptr;
    QCheckBox* m_persistFilters = nullptr;
    SettingsRow* m_checkRow = nullptr;
    QPushButton* m_checkNow = nullptr;
    QCheckBox* m_automaticUpdates = nullptr;
};

} // namespace velmora
