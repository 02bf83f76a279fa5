#include "views/settings/GeneralSettingsView.h"

#include "core/storage/FetchProviders.h"
#include "core/storage/UserSettings.h"
#include "platform/updates/Updater.h"
#include "views/main/PlainText.h"
#include "views/settings/SettingsForm.h"
#include "views/settings/SettingsRow.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsSwitch.h"

#include <QComboBox>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {

GeneralSettingsView::GeneralSettingsView(SettingsViewModel& model, UserSettings& settings, Updater& updater,
                                         ProviderStore* store, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_updater(updater),
      m_providers(store != nullptr ? new FetchProviders(*store, this) : new FetchProviders(this)) {
    m_form = new SettingsForm(model, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_form);

    UserSettings* s = &settings;
    m_changeDefault = SettingsSwitch::make(
        s, [s] { return s->changeDefaultAccountAutomatically(); },
        [s](bool on) { s->setChangeDefaultAccountAutomatically(on); },
        &UserSettings::changeDefaultAccountAutomaticallyChanged);
    m_picker = new QComboBox;
    m_picker->setMinimumWidth(160);
    connect(m_picker, &QComboBox::activated, this, [this](int index) {
        const QString id = m_picker->itemData(index).toString();
        if (!id.isEmpty())
            m_settings.setDefaultAccount(id);
    });
    connect(s, &UserSettings::defaultAccountChanged, this, &GeneralSettingsView::refreshPicker);
    connect(s, &UserSettings::changeDefaultAccountAutomaticallyChanged, this,
            &GeneralSettingsView::refreshPicker);
    connect(m_providers, &FetchProviders::providersChanged, this, &GeneralSettingsView::refreshPicker);

    SettingsSection* accounts = m_form->addSection();
    accounts->addRow(new SettingsRow(
        tr("Change default account automatically"),
        tr("When switching accounts, the most recently selected account will be set as the default."),
        m_changeDefault));
    accounts->addRow(new SettingsRow(
        tr("Default account"),
        tr("If the selected account is functioning properly, it will be used as default."), m_picker));

    m_showUnresolved = SettingsSwitch::make(
        s, [s] { return s->showUnresolvedTasksByDefault(); },
        [s](bool on) { s->setShowUnresolvedTasksByDefault(on); },
        &UserSettings::showUnresolvedTasksByDefaultChanged);
    m_showMyTasks = SettingsSwitch::make(
        s, [s] { return s->showMyTasksByDefault(); }, [s](bool on) { s->setShowMyTasksByDefault(on); },
        &UserSettings::showMyTasksByDefaultChanged);
    m_persistFilters = SettingsSwitch::make(
        s, [s] { return s->persistProjectFilters(); }, [s](bool on) { s->setPersistProjectFilters(on); },
        &UserSettings::persistProjectFiltersChanged);
    SettingsSection* filters = m_form->addSection(tr("Project filters"));
    filters->addRow(new SettingsRow(tr("Show unresolved tasks by default"), QString(), m_showUnresolved));
    filters->addRow(new SettingsRow(tr("Show my tasks by default"), QString(), m_showMyTasks));
    filters->addRow(new SettingsRow(tr("Persist project filters"),
                                    tr("When switching projects, all selected filters will be saved."),
                                    m_persistFilters));

    Updater* u = &updater;
    m_checkNow = new QPushButton(tr("Check Now"));
    connect(m_checkNow, &QPushButton::clicked, u, &Updater::checkForUpdates);
    m_automaticUpdates = SettingsSwitch::make(
        u, [u] { return u->automaticallyChecksForUpdates(); },
        [u](bool on) { u->setAutomaticallyChecksForUpdates(on); },
        &Updater::automaticallyChecksForUpdatesChanged);
    SettingsSection* updates = m_form->addSection(tr("Updates"));
    m_checkRow = new SettingsRow(tr("Check for updates"), QString(), m_checkNow);
    updates->addRow(m_checkRow);
    updates->addRow(
        new SettingsRow(tr("Automatically check for app updates"), QString(), m_automaticUpdates));
    connect(u, &Updater::lastUpdateCheckDateChanged, this, &GeneralSettingsView::refreshLastCheck);

    refreshPicker();
    refreshLastCheck();
}

QString GeneralSettingsView::lastCheckText(const std::optional<QDateTime>& date) {
    if (!date)
        return tr("Never");
    return QLocale().toString(date->toLocalTime(), QLocale::ShortFormat);
}

void GeneralSettingsView::refreshLastCheck() {
    m_checkRow->setFootnote(tr("Last checked: ") + lastCheckText(m_updater.lastUpdateCheckDate()));
}

void GeneralSettingsView::refreshPicker() {
    const QString stored = m_settings.defaultAccount();
    const QSignalBlocker quiet(m_picker);
    m_picker->clear();
    if (stored.isEmpty()) {
        // No account was ever saved: nothing to choose from yet.
        m_picker->addItem(tr("Add account first"), QString());
        m_picker->setCurrentIndex(0);
        m_picker->setEnabled(false);
        return;
    }
    int selected = -1;
    for (const AnyProvider& provider : m_providers->providers()) {
        const std::optional<QUuid>& id = providerId(provider);
        if (!id)
            continue;
        const QString idText = id->toString(QUuid::WithoutBraces).toUpper();
        if (idText.compare(stored, Qt::CaseInsensitive) == 0)
            selected = m_picker->count();
        m_picker->addItem(plainName(providerName(provider)), idText);
    }
    m_picker->setCurrentIndex(selected);
    m_picker->setEnabled(!m_settings.changeDefaultAccountAutomatically());
}

} // namespace velmora
