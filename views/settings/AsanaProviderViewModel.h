#pragma once

#include "core/model/AsanaProvider.h"
#include "platform/async/Cancellable.h"
#include "trackers/asana/AsanaDTOs.h"
#include "views/settings/ProviderSetupViewModel.h"

#include <optional>
#include <vector>

namespace velmora {

// The state of the Asana setup form: name, the workspace and the credentials that the
// browser sign-in sends back. With new credentials the user's workspaces are loaded;
// "OK" first probes the chosen workspace (only Asana Premium workspaces track time),
// then fetches the signed-in user and stores the account with the credentials.
class AsanaProviderViewModel : public ProviderSetupViewModel {
    Q_OBJECT
public:
    explicit AsanaProviderViewModel(Action onSave = {}, QObject* parent = nullptr);
    AsanaProviderViewModel(const AsanaProvider& provider, Action onSave = {}, QObject* parent = nullptr);
    ~AsanaProviderViewModel() override;

    TextField& workspace() { return *m_workspace; }
    const ValidationContainer& workspaceValidation() const { return *m_workspaceValidation; }

    const std::optional<AsanaProvider::Credentials>& credentials() const { return m_credentials; }
    // Takes credentials and loads the workspaces of their user.
    void setCredentials(std::optional<AsanaProvider::Credentials> credentials);

    const std::vector<AsanaWorkspaceDTO>& workspaces() const { return m_workspaces; }
    // The chosen workspace is not part of Asana Premium.
    bool notPremiumWorkspace() const { return m_notPremiumWorkspace; }
    void setNotPremiumWorkspace(bool value);

    const AsanaProvider& model() const { return m_model; }
    bool isExisting() const override { return m_model.id().has_value(); }

    bool showsAuthorize() const override;
    // Opens the sign-in page of the maker's server; from now on the form takes the
    // Asana credentials that the sign-in sends back.
    void authorize() override;
    // "OK": the validity check, the premium probe with new credentials, then `save()`.
    void confirm() override;
    // Stores without its own validity check (`confirm()` made it).
    void save();
    void loadWorkspaces();
    // Probes the chosen workspace; `completion` runs only when the probe succeeds.
    void checkPremium(std::function<void()> completion);

    std::vector<Choice> choices() const override;
    TextField* parameterField() override { return m_workspace.get(); }
    std::optional<ValidationContainer> parameterValidation() const override { return m_workspaceValidation; }

signals:
    void notPremiumWorkspaceChanged(bool value);

protected:
    void credentialsModeChanged(bool on) override;

private:
    AsanaProvider m_model;
    // The workspace stored with the account, which "Change credentials" off brings back.
    QString m_storedWorkspace;
    std::unique_ptr<TextField> m_workspace;
    std::optional<ValidationContainer> m_workspaceValidation;
    std::optional<AsanaProvider::Credentials> m_credentials;
    std::vector<AsanaWorkspaceDTO> m_workspaces;
    bool m_notPremiumWorkspace = false;
    Cancellable m_received;
    Cancellable m_isPremiumCancellable;
    Cancellable m_workspacesCancellable;
    Cancellable m_userCancellable;
};

} // namespace velmora
