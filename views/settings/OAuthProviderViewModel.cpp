#include "views/settings/OAuthProviderViewModel.h"

#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/Logger.h"
#include "platform/notifications/NotificationCenter.h"
#include "validation/NonEmptyValidator.h"

#include <QUrl>

namespace velmora {

namespace {

std::unique_ptr<ProviderSetupViewModel::TextField> requiredField(const QString& value,
                                                                 const QString& emptyMessage) {
    std::vector<std::shared_ptr<StringValidator>> rules{
        std::make_shared<NonEmptyValidator>([emptyMessage] { return emptyMessage; })};
    return std::make_unique<ProviderSetupViewModel::TextField>(
        value,
        std::make_shared<CompositeValidator>(std::move(rules), CompositeValidator::ValidationType::all(),
                                             CompositeValidationMessagesStrategy::onByOne));
}

} // namespace

template <ProviderProtocol P>
OAuthProviderViewModel<P>::OAuthProviderViewModel(SignIn signIn, Action onSave, QObject* parent)
    : ProviderSetupViewModel(P::providerType, QString(), std::move(onSave), parent),
      m_signIn(std::move(signIn)), m_parameter(requiredField(QString(), m_signIn.emptyParameterMessage)) {
    m_parameterValidation = follow(*m_parameter);
    setChangeCredentials(true);
}

template <ProviderProtocol P>
OAuthProviderViewModel<P>::OAuthProviderViewModel(SignIn signIn, const P& provider, Action onSave,
                                                  QObject* parent)
    : ProviderSetupViewModel(P::providerType, provider.name(), std::move(onSave), parent),
      m_signIn(std::move(signIn)), m_model(provider),
      m_storedParameter(provider.parameters().*m_signIn.parameter),
      m_parameter(requiredField(m_storedParameter, m_signIn.emptyParameterMessage)) {
    m_parameterValidation = follow(*m_parameter);
    initialiseChangeCredentials(false);
}

template <ProviderProtocol P> OAuthProviderViewModel<P>::~OAuthProviderViewModel() = default;

template <ProviderProtocol P> bool OAuthProviderViewModel<P>::showsAuthorize() const {
    return !hasChoices() && (!isExisting() || changeCredentials());
}

template <ProviderProtocol P> void OAuthProviderViewModel<P>::authorize() {
    const QUrl url(ServerEndpoint(m_signIn.redirect).url());
    if (!url.isValid() || url.isEmpty()) {
        // The configuration error was told at start-up; there is nowhere to go.
        logError(Logger::network(),
                 QStringLiteral("[%1] The sign-in address is not configured").arg(m_signIn.logTag));
        return;
    }
    if (!m_received.isActive()) {
        m_received = NotificationCenter::defaultCenter().addObserver(
            QString(m_signIn.credentialsReceived), this, [this](const Notification& notification) {
                // Only while this form still waits for a sign-in of its own.
                if (!awaitingCredentials()) {
                    return;
                }
                if (const auto* credentials = notification.objectAs<Credentials>()) {
                    forgetUnopenedAddress();
                    setCredentials(*credentials);
                }
            });
    }
    setAwaitingCredentials(true);
    openInBrowser(url);
}

template <ProviderProtocol P>
void OAuthProviderViewModel<P>::setCredentials(std::optional<Credentials> credentials) {
    m_credentials = std::move(credentials);
    loadChoices();
}

template <ProviderProtocol P> void OAuthProviderViewModel<P>::chooseParameter(const QString& id) {
    Parameters parameters = m_model.parameters();
    parameters.*m_signIn.parameter = id;
    m_model.setParameters(parameters);
}

template <ProviderProtocol P> void OAuthProviderViewModel<P>::credentialsModeChanged(bool on) {
    if (on) {
        m_parameter->setValue(QString());
        return;
    }
    // Back to what is stored: the stored parameter, and no credentials of a sign-in
    // that was not saved.
    setAwaitingCredentials(false);
    m_received.cancel();
    cancelChoiceRequests();
    release(m_userCancellable);
    m_credentials.reset();
    clearChoices();
    chooseParameter(m_storedParameter);
    m_parameter->setValue(m_storedParameter);
}

template <ProviderProtocol P> void OAuthProviderViewModel<P>::save() {
    P account = m_model;
    account.setName(name().value());
    Parameters parameters{};
    parameters.*m_signIn.parameter = m_parameter->value();
    account.setParameters(parameters);
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
    const Credentials credentials = *m_credentials;
    auto service = provisionalService(account.name(), credentials);
    track(m_userCancellable,
          service->fetchUser().receiveOn(this).subscribe(
              [this, service, account, credentials](Result<ProviderUser, APIError> result) mutable {
                  if (!result.ok()) {
                      release(m_userCancellable);
                      checkFailed(result.error());
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
                  m_storedParameter = m_model.parameters().*m_signIn.parameter;
                  setAwaitingCredentials(false);
                  m_received.cancel();
                  finishSave();
              }));
}

template class OAuthProviderViewModel<AsanaProvider>;
template class OAuthProviderViewModel<JiraProvider>;

} // namespace velmora
