#include "views/settings/JiraProviderView.h"

#include "views/settings/ChoicePicker.h"

#include <QVBoxLayout>

namespace velmora {

JiraProviderView::JiraProviderView(JiraProviderViewModel* viewModel, Action onDelete, Action onCancel,
                                   QWidget* parent)
    : ProviderSetupView(viewModel, std::move(onDelete), std::move(onCancel), parent), m_model(viewModel) {
    setObjectName(QStringLiteral("JiraProviderView"));
    build();
    connect(m_model, &JiraProviderViewModel::noAccessibleResourcesChanged, this,
            &JiraProviderView::refreshAlert);
}

void JiraProviderView::buildCredentials(QVBoxLayout* layout) {
    layout->addWidget(labelled(QStringLiteral("Organisation"), m_model->organisationValidation()));
    m_picker = new ChoicePicker(*m_model, QStringLiteral("Select organisation"));
    layout->addWidget(m_picker);
}

std::optional<ProviderSetupView::Alert> JiraProviderView::pendingAlert() {
    if (m_model->badCredentials()) {
        return ProviderSetupView::pendingAlert();
    }
    if (m_model->noAccessibleResources()) {
        return Alert{QStringLiteral("No accessible resources."),
                     QStringLiteral("Your authorized Jira account does not have any accessible resources."),
                     [this] { m_model->setNoAccessibleResources(false); }};
    }
    return ProviderSetupView::pendingAlert();
}

} // namespace velmora
