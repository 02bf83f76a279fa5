#pragma once

#include "core/model/ProviderBase.h"
#include "platform/async/Result.h"
#include "platform/store/ProviderEntity.h"

#include <QString>
#include <QUuid>

#include <nlohmann/json_fwd.hpp>

#include <optional>

namespace velmora {

// A YouTrack account. Its token is permanent: it is never refreshed.
class YouTrackProvider : public ProviderBase {
public:
    // Coded form: one key "baseUrl" (required when decoding); the account row keeps it
    // as JSON text.
    struct Parameters {
        // The address of the YouTrack instance without scheme (the host the user typed).
        QString baseUrl;

        friend bool operator==(const Parameters&, const Parameters&) = default;
    };

    // Kept in the keyring, never in the account row. Coded form: "token", required.
    struct Credentials {
        // The permanent token, sent as the bearer token.
        QString token;

        // The tracker's name for the keyring item.
        static QString identifier() { return QStringLiteral("YouTrack"); }
        // Every text empty: what an account without stored credentials works with.
        static Credentials empty() { return Credentials{}; }

        friend bool operator==(const Credentials&, const Credentials&) = default;
    };

    using ParametersType = Parameters;
    using CredentialsType = Credentials;
    static constexpr ProviderType providerType = ProviderType::youTrack;

    // A fresh account as the setup starts it: no id, empty name and parameters,
    // operational, no user.
    YouTrackProvider();
    YouTrackProvider(std::optional<QUuid> id, QString name, Parameters parameters,
                     ProviderState state = ProviderState::operational,
                     std::optional<ProviderUser> user = std::nullopt);

    const Parameters& parameters() const { return m_parameters; }
    void setParameters(Parameters parameters) { m_parameters = std::move(parameters); }

    // The account kept in a stored row. Fails, with a text for the log, for a row
    // of another kind, an unknown state, a missing id or parameters that do not
    // decode ("Provider is missing parameters").
    static Result<YouTrackProvider, QString> fromEntity(const ProviderEntity& entity);

    // The row that keeps this account. Without an id the row's id is null: the store
    // assigns one when it saves a new account.
    ProviderEntity toEntity() const;

    friend bool operator==(const YouTrackProvider& a, const YouTrackProvider& b) {
        return a.sameCommonFields(b) && a.m_parameters == b.m_parameters;
    }

private:
    Parameters m_parameters;
};

void to_json(nlohmann::json& json, const YouTrackProvider::Parameters& parameters);
void to_json(nlohmann::ordered_json& json, const YouTrackProvider::Parameters& parameters);
void from_json(const nlohmann::json& json, YouTrackProvider::Parameters& parameters);
void from_json(const nlohmann::ordered_json& json, YouTrackProvider::Parameters& parameters);

void to_json(nlohmann::json& json, const YouTrackProvider::Credentials& credentials);
void to_json(nlohmann::ordered_json& json, const YouTrackProvider::Credentials& credentials);
void from_json(const nlohmann::json& json, YouTrackProvider::Credentials& credentials);
void from_json(const nlohmann::ordered_json& json, YouTrackProvider::Credentials& credentials);

} // namespace velmora
