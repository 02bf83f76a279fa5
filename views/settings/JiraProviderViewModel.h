#pragma once

#include "core/model/JiraProvider.h"
#include "platform/async/Cancellable.h"
#include "trackers/jira/JiraDTOs.h"
#include "views/settings/ProviderSetupViewModel.h"

#include <optional>
#include <vector>

namespace velmora {

// The state of the Jira setup form: name, the Jira site ("organisation") and the
// credentials that the browser sign-in sends back. With new credentials the sites
// they grant are loaded; "OK" fetches the signed-in user and stores the account with
// the credentials.
class JiraProviderViewModel : public ProviderSetupViewModel {
    Q_OBJECT
public:
    explicit JiraProviderViewModel(Action onSave = {}, QObject* parent = nullptr);
    JiraProviderViewModel(const JiraProvider& provider, Action onSave = {}, QObject* parent = nullptr);
    ~JiraProviderViewModel() override;

    TextField& organisation() { return *m_organisation; }
    const ValidationContainer& organisationValidation() const { return *m_organisationValidation; }

    const std::optional<JiraProvider::Credentials>& credentials() const { return m_credentials; }
    // Takes credentials and loads the sites they grant.
    void setCredentials(std::optional<JiraProvider::Credentials> credentials);

    const std::vector<JiraAccessibleResourceDTO>& accessibleResources() const {
        return m_accessibleResources;
    }
    bool noAccessibleResources() const { return m_noAccessibleResources; }
    void setNoAccessibleResources(bool value);

    const JiraProvider& model() const { return m_model; }
    bool isExisting() const override { return m_model.id().has_value(); }

    bool showsAuthorize() const override;
    // Opens the sign-in page of the maker's server; from now on the form takes the
    // Jira credentials that the sign-in sends back.
    void authorize() override;
    void confirm() override { save(); }
    void save();
    void loadAccessibleResources();

    std::vector<Choice> choices() const override;
    TextField* parameterField() override { return m_organisation.get(); }
    std::optional<ValidationContainer> parameterValidation() const override {
        return m_organisationValidation;
    }

signals:
    void noAccessibleResourcesChanged(bool value);

protected:
    void credentialsModeChanged(bool on) override;

private:
    JiraProvider m_model;
    // The site stored with the account, which "Change credentials" off brings back.
    QString m_storedOrganisation;
    std::unique_ptr<TextField> m_organisation;
    std::optional<ValidationContainer> m_organisationValidation;
    std::optional<JiraProvider::Credentials> m_credentials;
    std::vector<JiraAccessibleResourceDTO> m_accessibleResources;
    bool m_noAccessibleResources = false;
    Cancellable m_received;
    Cancellable m_resourcesCancellable;
    Cancellable m_userCancellable;
};

} // namespace velmora
