#include "views/settings/EditAccountView.h"

#include "core/storage/ProviderManager.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/ProviderSetupViews.h"
#include "views/settings/SettingsViewModel.h"

#include <QPointer>
#include <QVBoxLayout>

namespace velmora {

EditAccountView::EditAccountView(SettingsViewModel& settingsModel, const AnyProvider& provider,
                                 QWidget* parent)
    : QWidget(parent), m_settingsModel(settingsModel), m_provider(provider) {
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
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_setup);
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
