#include "views/settings/JiraProviderViewModel.h"

#include "core/model/Logger.h"
#include "core/model/NotificationNames.h"
#include "core/net/APIRequest.h"
#include "core/net/ServerEndpoint.h"
#include "platform/notifications/NotificationCenter.h"
#include "trackers/jira/JiraService.h"
#include "validation/NonEmptyValidator.h"

#include <QDesktopServices>
#include <QUrl>

namespace velmora {

namespace {

std::unique_ptr<ProviderSetupViewModel::TextField> organisationField(const QString& value) {
    std::vector<std::shared_ptr<StringValidator>> rules{
        std::make_shared<NonEmptyValidator>([] { return QStringLiteral("Organisation cannot be empty."); })};
    return std::make_unique<ProviderSetupViewModel::TextField>(
        value,
        std::make_shared<CompositeValidator>(std::move(rules), CompositeValidator::ValidationType::all(),
                                             CompositeValidationMessagesStrategy::onByOne));
}

// A service for an account that is not stored yet, working with `credentials`.
std::shared_ptr<JiraService> provisionalService(const QString& name,
                                                const JiraProvider::Credentials& credentials) {
    JiraProvider provisional(std::nullopt, name, JiraProvider::Parameters{});
    return JiraService::create(provisional,
                               APIRequest::jira(credentials.token, credentials.refreshToken, QString()));
}

} // namespace

JiraProviderViewModel::JiraProviderViewModel(Action onSave, QObject* parent)
    : ProviderSetupViewModel(ProviderType::jira, QString(), std::move(onSave), parent),
      m_organisation(organisationField(QString())) {
    m_organisationValidation = follow(*m_organisation);
    setChangeCredentials(true);
}

JiraProviderViewModel::JiraProviderViewModel(const JiraProvider& provider, Action onSave, QObject* parent)
    : ProviderSetupViewModel(ProviderType::jira, provider.name(), std::move(onSave), parent),
      m_model(provider), m_storedOrganisation(provider.parameters().organisation),
      m_organisation(organisationField(provider.parameters().organisation)) {
    m_organisationValidation = follow(*m_organisation);
    initialiseChangeCredentials(false);
}

JiraProviderViewModel::~JiraProviderViewModel() = default;

bool JiraProviderViewModel::showsAuthorize() const {
    return m_accessibleResources.empty() && (!isExisting() || changeCredentials());
}

void JiraProviderViewModel::authorize() {
    const QUrl url(ServerEndpoint(ServerEndpoint::JiraRedirect).url());
    if (!url.isValid() || url.isEmpty()) {
        // The configuration error was told at start-up; there is nowhere to go.
        logError(Logger::network(),
                 QStringLiteral("[JiraProviderView] The sign-in address is not configured"));
        return;
    }
    if (!m_received.isActive()) {
        m_received = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::jiraCredentialsReceived), this,
            [this](const Notification& notification) {
                // Only while this form still waits for a sign-in of its own.
                if (!awaitingCredentials()) {
                    return;
                }
                if (const auto* credentials = notification.objectAs<JiraProvider::Credentials>()) {
                    setCredentials(*credentials);
                }
            });
    }
    setAwaitingCredentials(true);
    QDesktopServices::openUrl(url);
}

void JiraProviderViewModel::setCredentials(std::optional<JiraProvider::Credentials> credentials) {
    m_credentials = std::move(credentials);
    loadAccessibleResources();
}

void JiraProviderViewModel::setNoAccessibleResources(bool value) {
    if (m_noAccessibleResources == value) {
        return;
    }
    m_noAccessibleResources = value;
    emit noAccessibleResourcesChanged(value);
}

void JiraProviderViewModel::loadAccessibleResources() {
    if (!m_credentials) {
        return;
    }
    auto service = provisionalService(m_model.name(), *m_credentials);
    track(m_resourcesCancellable,
          service->fetchAccessibleResources().receiveOn(this).subscribe(
              [this, service](Result<std::vector<JiraAccessibleResourceDTO>, APIError> result) {
                  release(m_resourcesCancellable);
                  if (!result.ok()) {
                      setBadCredentials(true);
                      return;
                  }
                  if (result.value().empty()) {
                      setNoAccessibleResources(true);
                      return;
                  }
                  m_accessibleResources = result.value();
                  JiraProvider::Parameters parameters = m_model.parameters();
                  parameters.organisation = m_accessibleResources.front().id;
                  m_model.setParameters(parameters);
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

void JiraProviderViewModel::credentialsModeChanged(bool on) {
    if (on) {
        m_organisation->setValue(QString());
        return;
    }
    // Back to what is stored: the stored site, and no credentials of a sign-in that
    // was not saved.
    setAwaitingCredentials(false);
    m_received.cancel();
    release(m_resourcesCancellable);
    release(m_userCancellable);
    m_credentials.reset();
    m_accessibleResources.clear();
    JiraProvider::Parameters parameters = m_model.parameters();
    parameters.organisation = m_storedOrganisation;
    m_model.setParameters(parameters);
    m_organisation->setValue(m_storedOrganisation);
}

void JiraProviderViewModel::save() {
    if (networkRequestInProgress() || !manager().checkAllValid()) {
        return;
    }
    JiraProvider account = m_model;
    account.setName(name().value());
    account.setParameters(JiraProvider::Parameters{m_organisation->value()});
    if (!changeCredentials()) {
        auto saved = store(account, std::nullopt);
        if (!saved) {
            return;
        }
        m_model = *saved;
        finishSave();
        return;
    }
    if (!m_credentials) {
        return;
    }
    const JiraProvider::Credentials credentials = *m_credentials;
    auto service = provisionalService(account.name(), credentials);
    track(m_userCancellable,
          service->fetchUser().receiveOn(this).subscribe(
              [this, service, account, credentials](Result<ProviderUser, APIError> result) mutable {
                  if (!result.ok()) {
                      release(m_userCancellable);
                      setBadCredentials(true);
                      return;
                  }
                  account.setUser(result.value());
                  account.setState(ProviderState::operational);
                  auto saved = store(account, credentials);
                  release(m_userCancellable);
                  if (!saved) {
                      return;
                  }
                  m_model = *saved;
                  m_storedOrganisation = m_model.parameters().organisation;
                  setAwaitingCredentials(false);
                  m_received.cancel();
                  finishSave();
              }));
}

} // namespace velmora
