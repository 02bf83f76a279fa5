#include "views/settings/EditAccountView.h"

#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/time/ReadableTimeFormatter.h"
#include "state/TimerSnapshot.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/ProviderSetupViews.h"
#include "views/settings/SettingsViewModel.h"

#include <QDateTime>
#include <QPointer>
#include <QVBoxLayout>

namespace velmora {

EditAccountView::EditAccountView(SettingsViewModel& settingsModel, const AnyProvider& provider,
                                 QWidget* parent, SnapshotManager* snapshots)
    : QWidget(parent), m_settingsModel(settingsModel), m_provider(provider), m_snapshots(snapshots) {
    setObjectName(QStringLiteral("EditAccountView"));
    QPointer<SettingsViewModel> model(&settingsModel);
    QPointer<EditAccountView> self(this);
    m_setup = ProviderSetupViews::edit(
        provider,
        [model] {
            if (model) {
                model->setRoute(SettingsPage::Name::accounts);
            }
        },
        [self] {
            if (self) {
                self->deleteAccount();
            }
        });
    m_setup->setDeleteNote([self] { return self ? self->unbookedTimeNote() : QString(); });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_setup);
}

QString EditAccountView::unbookedTimeNote() const {
    const auto& id = providerId(m_provider);
    if (!id) {
        return {};
    }
    SnapshotManager& snapshots = m_snapshots ? *m_snapshots : SnapshotManager::shared();
    // As the account's window last wrote it: a running timer counts on to now.
    const auto timer = snapshots.value<TimerSnapshot>(uuidText(*id));
    const double seconds = timer ? timer->elapsed(QDateTime::currentDateTime()) : 0;
    if (seconds < 1) {
        return {};
    }
    return tr("The timer of this account holds %1 not booked.")
        .arg(ReadableTimeFormatter::format(seconds, ReadableTimeFormatter::Smallest::seconds).value_or(QString()));
}

void EditAccountView::deleteAccount() {
    const auto& id = providerId(m_provider);
    if (!id) {
        return;
    }
    // A failure is logged by the account store; the list then still shows the account.
    (void)ProviderManager::shared().deleteProvider(*id);
    m_settingsModel.setRoute(SettingsPage::Name::accounts);
}

} // namespace velmora
