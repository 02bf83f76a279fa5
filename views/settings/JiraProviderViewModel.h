#pragma once

#include "core/model/JiraProvider.h"
#include "platform/async/Cancellable.h"
#include "trackers/jira/JiraDTOs.h"
#include "views/settings/OAuthProviderViewModel.h"

#include <vector>

namespace velmora {

extern template class OAuthProviderViewModel<JiraProvider>;

// The state of the Jira setup form: name, the Jira site ("organisation") and the
// credentials that the browser sign-in sends back. With new credentials the sites
// they grant are loaded; "OK" fetches the signed-in user and stores the account with
// the credentials.
class JiraProviderViewModel : public OAuthProviderViewModel<JiraProvider> {
    Q_OBJECT
public:
    explicit JiraProviderViewModel(Action onSave = {}, QObject* parent = nullptr);
    JiraProviderViewModel(const JiraProvider& provider, Action onSave = {}, QObject* parent = nullptr);
    ~JiraProviderViewModel() override;

    TextField& organisation() { return parameter(); }
    const ValidationContainer& organisationValidation() const { return parameterValidationContainer(); }

    const std::vector<JiraAccessibleResourceDTO>& accessibleResources() const {
        return m_accessibleResources;
    }
    bool noAccessibleResources() const { return m_noAccessibleResources; }
    void setNoAccessibleResources(bool value);

    // "OK": the validity check, then `save()`.
    void confirm() override;
    void loadAccessibleResources();

    std::vector<Choice> choices() const override;

signals:
    void noAccessibleResourcesChanged(bool value);

protected:
    bool hasChoices() const override { return !m_accessibleResources.empty(); }
    void loadChoices() override { loadAccessibleResources(); }
    void cancelChoiceRequests() override { release(m_resourcesCancellable); }
    void clearChoices() override { m_accessibleResources.clear(); }
    std::shared_ptr<ProviderService> provisionalService(const QString& name,
                                                        const Credentials& credentials) const override;

private:
    std::vector<JiraAccessibleResourceDTO> m_accessibleResources;
    bool m_noAccessibleResources = false;
    Cancellable m_resourcesCancellable;
};

} // namespace velmora
