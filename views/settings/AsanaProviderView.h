#pragma once

#include "views/settings/AsanaProviderViewModel.h"
#include "views/settings/ProviderSetupView.h"

namespace velmora {

class ChoicePicker;

// Creates or edits an Asana account: the name, "Authorize" in the browser, the
// workspace among the user's, and "OK" (which refuses a workspace outside Asana
// Premium).
class AsanaProviderView : public ProviderSetupView {
    Q_OBJECT
public:
    using ViewModel = AsanaProviderViewModel;

    // Takes `viewModel`.
    AsanaProviderView(AsanaProviderViewModel* viewModel, Action onDelete = {}, Action onCancel = {},
                      QWidget* parent = nullptr);

    AsanaProviderViewModel& model() const { return *m_model; }
    ChoicePicker* picker() const { return m_picker; }

protected:
    void buildCredentials(QVBoxLayout* layout) override;
    std::optional<Alert> pendingAlert() override;

private:
    AsanaProviderViewModel* m_model;
    ChoicePicker* m_picker = nullptr;
};

} // namespace velmora
