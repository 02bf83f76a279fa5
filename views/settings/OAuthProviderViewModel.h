#pragma once

#include "core/model/ProviderProtocol.h"
#include "core/model/ProviderService.h"
#include "core/net/ServerEndpoint.h"
#include "platform/async/Cancellable.h"
#include "views/settings/ProviderSetupViewModel.h"

#include <QLatin1StringView>

#include <memory>
#include <optional>

namespace velmora {

// The setup form of a tracker whose credentials come from a browser sign-in through the
// maker's server (Jira, Asana): the form opens the sign-in page, waits for the
// credentials to arrive by notification, loads the tracker's choices with them, and
// "OK" fetches the signed-in user and stores the account with the credentials.
//
// The tracker's model adds its choices (how they are loaded and what an empty list
// means) and whatever checks its "OK" makes before `save()`.
template <ProviderProtocol P> class OAuthProviderViewModel : public ProviderSetupViewModel {
public:
    using Credentials = typename P::Credentials;
    using Parameters = typename P::Parameters;

    // What tells one tracker's sign-in from another's.
    struct SignIn {
        ServerEndpoint::Case redirect;
        QLatin1StringView credentialsReceived;
        // Names the form in the log.
        QLatin1StringView logTag;
        // The one parameter the choices set, and the message of its empty rule.
        QString Parameters::*parameter;
        QString emptyParameterMessage;
    };

    ~OAuthProviderViewModel() override;

    const std::optional<Credentials>& credentials() const { return m_credentials; }
    // Takes credentials and loads the tracker's choices for them.
    void setCredentials(std::optional<Credentials> credentials);

    const P& model() const { return m_model; }
    bool isExisting() const override { return m_model.id().has_value(); }

    bool showsAuthorize() const override;
    // Opens the sign-in page of the maker's server; from now on the form takes the
    // credentials that the sign-in sends back.
    void authorize() override;
    // Stores without its own validity check (the caller made it).
    void save();

    TextField* parameterField() override { return m_parameter.get(); }
    std::optional<ValidationContainer> parameterValidation() const override { return m_parameterValidation; }

protected:
    OAuthProviderViewModel(SignIn signIn, Action onSave, QObject* parent);
    OAuthProviderViewModel(SignIn signIn, const P& provider, Action onSave, QObject* parent);

    TextField& parameter() { return *m_parameter; }
    const ValidationContainer& parameterValidationContainer() const { return *m_parameterValidation; }

    // Makes the choice with this id the account's parameter.
    void chooseParameter(const QString& id);

    // The tracker's part: its choices and the requests that load them.
    virtual bool hasChoices() const = 0;
    virtual void loadChoices() = 0;
    // Stops the tracker's own requests, then (once the credentials are gone) forgets
    // its choices.
    virtual void cancelChoiceRequests() = 0;
    virtual void clearChoices() = 0;
    // A service for an account that is not stored yet, working with `credentials`.
    virtual std::shared_ptr<ProviderService> provisionalService(const QString& name,
                                                                const Credentials& credentials) const = 0;

    void credentialsModeChanged(bool on) override;

private:
    SignIn m_signIn;
    P m_model;
    // The parameter stored with the account, which "Change credentials" off brings back.
    QString m_storedParameter;
    std::unique_ptr<TextField> m_parameter;
    std::optional<ValidationContainer> m_parameterValidation;
    std::optional<Credentials> m_credentials;
    Cancellable m_received;
    Cancellable m_userCancellable;
};

} // namespace velmora
