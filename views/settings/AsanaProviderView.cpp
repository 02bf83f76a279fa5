#include "views/settings/AsanaProviderView.h"

#include "views/settings/ChoicePicker.h"

#include <QVBoxLayout>

namespace velmora {

AsanaProviderView::AsanaProviderView(AsanaProviderViewModel* viewModel, Action onDelete, Action onCancel,
                                     QWidget* parent)
    : ProviderSetupView(viewModel, std::move(onDelete), std::move(onCancel), parent), m_model(viewModel) {
    setObjectName(QStringLiteral("AsanaProviderView"));
    build();
    connect(m_model, &AsanaProviderViewModel::notPremiumWorkspaceChanged, this,
            &AsanaProviderView::refreshAlert);
}

void AsanaProviderView::buildCredentials(QVBoxLayout* layout) {
    layout->addWidget(labelled(QStringLiteral("Workspace"), m_model->workspaceValidation()));
    m_picker = new ChoicePicker(*m_model, QStringLiteral("Select workspace"));
    layout->addWidget(m_picker);
}

std::optional<ProviderSetupView::Alert> AsanaProviderView::pendingAlert() {
    // One alert for both refusals; the premium one first, as it tells the user what to do.
    if (m_model->notPremiumWorkspace()) {
        return Alert{authorizationFailedTitle(),
                     QStringLiteral("Selected workspace must be a part of Asana Premium."),
                     [this] { m_model->setNotPremiumWorkspace(false); }};
    }
    return ProviderSetupView::pendingAlert();
}

} // namespace velmora
