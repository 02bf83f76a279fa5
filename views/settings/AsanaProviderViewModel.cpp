#include "views/settings/AsanaProviderViewModel.h"

#include "core/model/NotificationNames.h"
#include "trackers/asana/AsanaEndpoint.h"
#include "trackers/asana/AsanaService.h"

#include <QPointer>

namespace velmora {

namespace {

OAuthProviderViewModel<AsanaProvider>::SignIn asanaSignIn() {
    return {ServerEndpoint::AsanaRedirect, NotificationName::asanaCredentialsReceived,
            QLatin1StringView("AsanaProviderView"), &AsanaProvider::Parameters::workspace,
            QStringLiteral("Workspace cannot be empty.")};
}

// A service for an account that is not stored yet, working with `credentials`.
std::shared_ptr<AsanaService> asanaService(const QString& name, const QString& workspace,
                                           const AsanaProvider::Credentials& credentials) {
    AsanaProvider provisional(std::nullopt, name, AsanaProvider::Parameters{workspace});
    return AsanaService::create(provisional, credentials);
}

} // namespace

AsanaProviderViewModel::AsanaProviderViewModel(Action onSave, QObject* parent)
    : OAuthProviderViewModel(asanaSignIn(), std::move(onSave), parent) {}

AsanaProviderViewModel::AsanaProviderViewModel(const AsanaProvider& provider, Action onSave, QObject* parent)
    : OAuthProviderViewModel(asanaSignIn(), provider, std::move(onSave), parent) {}

AsanaProviderViewModel::~AsanaProviderViewModel() = default;

std::shared_ptr<ProviderService>
AsanaProviderViewModel::provisionalService(const QString& name, const Credentials& credentials) const {
    return asanaService(name, QString(), credentials);
}

void AsanaProviderViewModel::setNotPremiumWorkspace(bool value) {
    if (m_notPremiumWorkspace == value) {
        return;
    }
    m_notPremiumWorkspace = value;
    emit notPremiumWorkspaceChanged(value);
}

void AsanaProviderViewModel::loadWorkspaces() {
    if (!credentials()) {
        return;
    }
    auto service = asanaService(model().name(), QString(), *credentials());
    track(m_workspacesCancellable,
          service->fetchWorkspaces().receiveOn(this).subscribe(
              [this, service](Result<std::vector<AsanaWorkspaceDTO>, APIError> result) {
                  release(m_workspacesCancellable);
                  if (!result.ok()) {
                      checkFailed(result.error());
                      return;
                  }
                  m_workspaces = result.value();
                  if (!m_workspaces.empty()) {
                      chooseParameter(m_workspaces.front().gid);
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

void AsanaProviderViewModel::cancelChoiceRequests() {
    release(m_workspacesCancellable);
    release(m_isPremiumCancellable);
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
    if (!credentials()) {
        return;
    }
    const QString workspace = this->workspace().value();
    auto service = asanaService(model().name(), workspace, *credentials());
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
                          checkFailed(result.error());
                      }
                      return;
                  }
                  // The user fetch starts before the probe lets go of its slot, so
                  // the form never looks idle between the two.
                  completion();
                  release(m_isPremiumCancellable);
              }));
}

} // namespace velmora
