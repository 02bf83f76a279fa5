#include "views/settings/JiraProviderViewModel.h"

#include "core/model/NotificationNames.h"
#include "core/net/APIRequest.h"
#include "trackers/jira/JiraService.h"

namespace velmora {

namespace {

OAuthProviderViewModel<JiraProvider>::SignIn jiraSignIn() {
    return {ServerEndpoint::JiraRedirect, NotificationName::jiraCredentialsReceived,
            QLatin1StringView("JiraProviderView"), &JiraProvider::Parameters::organisation,
            QStringLiteral("Organisation cannot be empty.")};
}

// A service for an account that is not stored yet, working with `credentials`.
std::shared_ptr<JiraService> jiraService(const QString& name, const JiraProvider::Credentials& credentials) {
    JiraProvider provisional(std::nullopt, name, JiraProvider::Parameters{});
    return JiraService::create(provisional,
                               APIRequest::jira(credentials.token, credentials.refreshToken, QString()));
}

} // namespace

JiraProviderViewModel::JiraProviderViewModel(Action onSave, QObject* parent)
    : OAuthProviderViewModel(jiraSignIn(), std::move(onSave), parent) {}

JiraProviderViewModel::JiraProviderViewModel(const JiraProvider& provider, Action onSave, QObject* parent)
    : OAuthProviderViewModel(jiraSignIn(), provider, std::move(onSave), parent) {}

JiraProviderViewModel::~JiraProviderViewModel() = default;

std::shared_ptr<ProviderService>
JiraProviderViewModel::provisionalService(const QString& name, const Credentials& credentials) const {
    return jiraService(name, credentials);
}

void JiraProviderViewModel::setNoAccessibleResources(bool value) {
    if (m_noAccessibleResources == value) {
        return;
    }
    m_noAccessibleResources = value;
    emit noAccessibleResourcesChanged(value);
}

void JiraProviderViewModel::loadAccessibleResources() {
    if (!credentials()) {
        return;
    }
    auto service = jiraService(model().name(), *credentials());
    track(m_resourcesCancellable,
          service->fetchAccessibleResources().receiveOn(this).subscribe(
              [this, service](Result<std::vector<JiraAccessibleResourceDTO>, APIError> result) {
                  release(m_resourcesCancellable);
                  if (!result.ok()) {
                      checkFailed(result.error());
                      return;
                  }
                  if (result.value().empty()) {
                      setNoAccessibleResources(true);
                      return;
                  }
                  m_accessibleResources = result.value();
                  chooseParameter(m_accessibleResources.front().id);
                  emit choicesChanged();
              }));
}

std::vector<ProviderSetupViewModel::Choice> JiraProviderViewModel::choices() const {
    std::vector<Choice> result;
    for (const auto& resource : m_accessibleResources) {
        result.push_back({resource.id, resource.name});
    }
    return result;
}

void JiraProviderViewModel::confirm() {
    if (networkRequestInProgress() || !manager().checkAllValid()) {
        return;
    }
    save();
}

} // namespace velmora
