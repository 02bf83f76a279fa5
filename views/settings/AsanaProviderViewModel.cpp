#include "views/settings/AsanaProviderViewModel.h"

#include "core/model/Logger.h"
#include "core/model/NotificationNames.h"
#include "core/net/ServerEndpoint.h"
#include "platform/notifications/NotificationCenter.h"
#include "trackers/asana/AsanaEndpoint.h"
#include "trackers/asana/AsanaService.h"
#include "validation/NonEmptyValidator.h"

#include <QDesktopServices>
#include <QPointer>
#include <QUrl>

namespace velmora {

namespace {

std::unique_ptr<ProviderSetupViewModel::TextField> workspaceField(const QString& value) {
    std::vector<std::shared_ptr<StringValidator>> rules{
        std::make_shared<NonEmptyValidator>([] { return QStringLiteral("Workspace cannot be empty."); })};
    return std::make_unique<ProviderSetupViewModel::TextField>(
        value,
        std::make_shared<CompositeValidator>(std::move(rules), CompositeValidator::ValidationType::all(),
                                             CompositeValidationMessagesStrategy::onByOne));
}

// A service for an account that is not stored yet, working with `credentials`.
std::shared_ptr<AsanaService> provisionalService(const QString& name, const QString& workspace,
                                                 const AsanaProvider::Credentials& credentials) {
    AsanaProvider provisional(std::nullopt, name, AsanaProvider::Parameters{workspace});
    return AsanaService::create(provisional, credentials);
}

} // namespace

AsanaProviderViewModel::AsanaProviderViewModel(Action onSave, QObject* parent)
    : ProviderSetupViewModel(ProviderType::asana, QString(), std::move(onSave), parent),
      m_workspace(workspaceField(QString())) {
    m_workspaceValidation = follow(*m_workspace);
    setChangeCredentials(true);
}

AsanaProviderViewModel::AsanaProviderViewModel(const AsanaProvider& provider, Action onSave, QObject* parent)
    : ProviderSetupViewModel(ProviderType::asana, provider.name(), std::move(onSave), parent),
      m_model(provider), m_storedWorkspace(provider.parameters().workspace),
      m_workspace(workspaceField(provider.parameters().workspace)) {
    m_workspaceValidation = follow(*m_workspace);
    initialiseChangeCredentials(false);
}

AsanaProviderViewModel::~AsanaProviderViewModel() = default;

bool AsanaProviderViewModel::showsAuthorize() const {
    return m_workspaces.empty() && (!isExisting() || changeCredentials());
}

void AsanaProviderViewModel::authorize() {
    const QUrl url(ServerEndpoint(ServerEndpoint::AsanaRedirect).url());
    if (!url.isValid() || url.isEmpty()) {
        // The configuration error was told at start-up; there is nowhere to go.
        logError(Logger::network(),
                 QStringLiteral("[AsanaProviderView] The sign-in address is not configured"));
        return;
    }
    if (!m_received.isActive()) {
        m_received = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::asanaCredentialsReceived), this,
            [this](const Notification& notification) {
                // Only while this form still waits for a sign-in of its own.
                if (!awaitingCredentials()) {
                    return;
                }
                if (const auto* credentials = notification.objectAs<AsanaProvider::Credentials>()) {
                    setCredentials(*credentials);
                }
            });
    }
    setAwaitingCredentials(true);
    QDesktopServices::openUrl(url);
}

void AsanaProviderViewModel::setCredentials(std::optional<AsanaProvider::Credentials> credentials) {
    m_credentials = std::move(credentials);
    loadWorkspaces();
}

void AsanaProviderViewModel::setNotPremiumWorkspace(bool value) {
    if (m_notPremiumWorkspace == value) {
        return;
    }
    m_notPremiumWorkspace = value;
    emit notPremiumWorkspaceChanged(value);
}

void AsanaProviderViewModel::loadWorkspaces() {
    if (!m_credentials) {
        return;
    }
    auto service = provisionalService(m_model.name(), QString(), *m_credentials);
    track(m_workspacesCancellable,
          service->fetchWorkspaces().receiveOn(this).subscribe(
              [this, service](Result<std::vector<AsanaWorkspaceDTO>, APIError> result) {
                  release(m_workspacesCancellable);
                  if (!result.ok()) {
                      setBadCredentials(true);
                      return;
                  }
                  m_workspaces = result.value();
                  if (!m_workspaces.empty()) {
                      AsanaProvider::Parameters parameters = m_model.parameters();
                      parameters.workspace = m_workspaces.front().gid;
                      m_model.setParameters(parameters);
                  }
                  emit choicesChanged();
              }));
}

std::vector<ProviderSetupViewModel::Choice> AsanaProviderViewModel::choices() const {
    std::vector<Choice> result;
    for (const auto& workspace : m_workspaces) {
        result.push_back({workspace.gid, workspace.name});
    }
    return result;
}

void AsanaProviderViewModel::credentialsModeChanged(bool on) {
    if (on) {
        m_workspace->setValue(QString());
        return;
    }
    // Back to what is stored: the stored workspace, and no credentials of a sign-in
    // that was not saved.
    setAwaitingCredentials(false);
    m_received.cancel();
    release(m_workspacesCancellable);
    release(m_isPremiumCancellable);
    release(m_userCancellable);
    m_credentials.reset();
    m_workspaces.clear();
    AsanaProvider::Parameters parameters = m_model.parameters();
    parameters.workspace = m_storedWorkspace;
    m_model.setParameters(parameters);
    m_workspace->setValue(m_storedWorkspace);
}

void AsanaProviderViewModel::confirm() {
    if (networkRequestInProgress() || !manager().checkAllValid()) {
        return;
    }
    if (!changeCredentials()) {
        save();
        return;
    }
    QPointer<AsanaProviderViewModel> self(this);
    checkPremium([self] {
        if (self) {
            self->save();
        }
    });
}

void AsanaProviderViewModel::checkPremium(std::function<void()> completion) {
    if (!m_credentials) {
        return;
    }
    const QString workspace = m_workspace->value();
    auto service = provisionalService(m_model.name(), workspace, *m_credentials);
    const QueryItems items{{QStringLiteral("completed"), QStringLiteral("false")},
                           {QStringLiteral("limit"), QStringLiteral("1")}};
    track(m_isPremiumCancellable,
          service->request()
              ->perform<Void>(AsanaEndpoint::search(workspace), HttpMethod::Get, items)
              .receiveOn(this)
              .subscribe([this, service, completion = std::move(completion)](Result<Void, APIError> result) {
                  if (!result.ok()) {
                      release(m_isPremiumCancellable);
                      if (result.error().kind() == APIError::Kind::PaymentRequired) {
                          setNotPremiumWorkspace(true);
                      } else {
                          setBadCredentials(true);
                      }
                      return;
                  }
                  // The user fetch starts before the probe lets go of its slot, so
                  // the form never looks idle between the two.
                  completion();
                  release(m_isPremiumCancellable);
              }));
}

void AsanaProviderViewModel::save() {
    AsanaProvider account = m_model;
    account.setName(name().value());
    account.setParameters(AsanaProvider::Parameters{m_workspace->value()});
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
    const AsanaProvider::Credentials credentials = *m_credentials;
    auto service = provisionalService(account.name(), QString(), credentials);
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
                  m_storedWorkspace = m_model.parameters().workspace;
                  setAwaitingCredentials(false);
                  m_received.cancel();
                  finishSave();
              }));
}

} // namespace velmora
