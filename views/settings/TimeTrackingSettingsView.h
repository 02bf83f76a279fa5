#pragma once

#include <QWidget>

class QCheckBox;

namespace velmora {

class SettingsForm;
class SettingsViewModel;
class UserSettings;

// The Time Tracking page: whether a running timer pauses when the main window closes and
// when the current account is switched. Each switch writes its setting at once.
class TimeTrackingSettingsView : public QWidget {
    Q_OBJECT
public:
    TimeTrackingSettingsView(SettingsViewModel& model, UserSettings& settings, QWidget* parent = nullptr);

    SettingsForm* form() const { return m_form; }
    QCheckBox* stopWhenClosedSwitch() const { return m_stopWhenClosed; }
    QCheckBox* stopWhenSwitchingSwitch() const { return m_stopWhenSwitching; }

private:
    SettingsForm* m_form = nullptr;
    QCheckBox* m_stopWhenClosed = nullptr;
    QCheckBox* m_stopWhenSwitching = nullptr;
};

} // namespace velmora
