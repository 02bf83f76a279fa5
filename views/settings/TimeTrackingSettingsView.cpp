#include "views/settings/TimeTrackingSettingsView.h"

#include "core/storage/UserSettings.h"
#include "views/settings/SettingsForm.h"
#include "views/settings/SettingsRow.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsSwitch.h"

#include <QVBoxLayout>

namespace velmora {

TimeTrackingSettingsView::TimeTrackingSettingsView(SettingsViewModel& model, UserSettings& settings,
                                                   QWidget* parent)
    : QWidget(parent) {
    m_form = new SettingsForm(model, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_form);

    UserSettings* s = &settings;
    m_stopWhenClosed = SettingsSwitch::make(
        s, [s] { return s->stopTimeTrackingWhenClosed(); },
        [s](bool on) { s->setStopTimeTrackingWhenClosed(on); },
        &UserSettings::stopTimeTrackingWhenClosedChanged);
    m_stopWhenSwitching = SettingsSwitch::make(
        s, [s] { return s->stopTimeTrackingWhenSwitching(); },
        [s](bool on) { s->setStopTimeTrackingWhenSwitching(on); },
        &UserSettings::stopTimeTrackingWhenSwitchingChanged);

    SettingsSection* section = m_form->addSection();
    section->addRow(new SettingsRow(tr("Pause time tracking on close"),
                                    tr("Time tracking will be paused when application will be exiting."),
                                    m_stopWhenClosed));
    section->addRow(new SettingsRow(tr("Pause time tracking on switch"),
                                    tr("Time tracking will be paused when switching providers."),
                                    m_stopWhenSwitching));
}

} // namespace velmora
