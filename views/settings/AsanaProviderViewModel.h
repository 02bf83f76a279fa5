#pragma once

#include "core/model/AsanaProvider.h"
#include "platform/async/Cancellable.h"
#include "trackers/asana/AsanaDTOs.h"
#include "views/settings/OAuthProviderViewModel.h"

#include <functional>
#include <vector>

namespace velmora {

extern template class OAuthProviderViewModel<AsanaProvider>;

// The state of the Asana setup form: name, the workspace and the credentials that the
// browser sign-in sends back. With new credentials the user's workspaces are loaded;
// "OK" first probes the chosen workspace (only Asana Premium workspaces track time),
// then fetches the signed-in user and stores the account with the credentials.
class AsanaProviderViewModel : public OAuthProviderViewModel<AsanaProvider> {
    Q_OBJECT
public:
    explicit AsanaProviderViewModel(Action onSave = {}, QObject* parent = nullptr);
    AsanaProviderViewModel(const AsanaProvider& provider, Action onSave = {}, QObject* parent = nullptr);
    ~AsanaProviderViewModel() override;

    TextField& workspace() { return parameter(); }
    const ValidationContainer& workspaceValidation() const { return parameterValidationContainer(); }

    const std::vector<AsanaWorkspaceDTO>& workspaces() const { return m_workspaces; }
    // The chosen workspace is not part of Asana Premium.
    bool notPremiumWorkspace() const { return m_notPremiumWorkspace; }
    void setNotPremiumWorkspace(bool value);

    // "OK": the validity check, the premium probe with new credentials, then `save()`.
    void confirm() override;
    void loadWorkspaces();
    // Probes the chosen workspace; `completion` runs only when the probe succeeds.
    void checkPremium(std::function<void()> completion);

    std::vector<Choice> choices() const override;

signals:
    void notPremiumWorkspaceChanged(bool value);

protected:
    bool hasChoices() const override { return !m_workspaces.empty(); }
    void loadChoices() override { loadWorkspaces(); }
    void cancelChoiceRequests() override;
    void clearChoices() override { m_workspaces.clear(); }
    std::shared_ptr<ProviderService> provisionalService(const QString& name,
                                                        const Credentials& credentials) const override;

private:
    std::vector<AsanaWorkspaceDTO> m_workspaces;
    bool m_notPremiumWorkspace = false;
    Cancellable m_isPremiumCancellable;
    Cancellable m_workspacesCancellable;
};

} // namespace velmora
