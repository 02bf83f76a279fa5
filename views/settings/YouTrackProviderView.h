#pragma once

#include "views/settings/ProviderSetupView.h"
#include "views/settings/YouTrackProviderViewModel.h"

class QLineEdit;

namespace velmora {

// Creates or edits a YouTrack account: the name, the instance's base URL and a
// permanent token, checked with the instance on "OK".
class YouTrackProviderView : public ProviderSetupView {
    Q_OBJECT
public:
    using ViewModel = YouTrackProviderViewModel;

    // Takes `viewModel`.
    YouTrackProviderView(YouTrackProviderViewModel* viewModel, Action onDelete = {}, Action onCancel = {},
                         QWidget* parent = nullptr);

    YouTrackProviderViewModel& model() const { return *m_model; }
    QLineEdit* baseUrlField() const { return m_baseUrl; }
    QLineEdit* tokenField() const { return m_token; }

protected:
    void buildCredentials(QVBoxLayout* layout) override;

private:
    YouTrackProviderViewModel* m_model;
    QLineEdit* m_baseUrl = nullptr;
    QLineEdit* m_token = nullptr;
    Cancellable m_baseUrlShown;
    Cancellable m_tokenShown;
};

} // namespace velmora
