#pragma once

#include "views/settings/JiraProviderViewModel.h"
#include "views/settings/ProviderSetupView.h"

namespace velmora {

class ChoicePicker;

// Creates or edits a Jira account: the name, "Authorize" in the browser, the site
// ("Organisation") among those the sign-in grants, and "OK".
class JiraProviderView : public ProviderSetupView {
    Q_OBJECT
public:
    using ViewModel = JiraProviderViewModel;

    // Takes `viewModel`.
    JiraProviderView(JiraProviderViewModel* viewModel, Action onDelete = {}, Action onCancel = {},
                     QWidget* parent = nullptr);

    JiraProviderViewModel& model() const { return *m_model; }
    ChoicePicker* picker() const { return m_picker; }

protected:
    void buildCredentials(QVBoxLayout* layout) override;
    std::optional<Alert> pendingAlert() override;

private:
    JiraProviderViewModel* m_model;
    ChoicePicker* m_picker = nullptr;
};

} // namespace velmora
