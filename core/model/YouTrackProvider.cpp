#include "core/model/YouTrackProvider.h"

#include "core/model/Coding.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const YouTrackProvider::Parameters& parameters) {
    json = Json::object();
    json["baseUrl"] = coding::text(parameters.baseUrl);
}

template <typename Json> void decode(const Json& json, YouTrackProvider::Parameters& parameters) {
    parameters = YouTrackProvider::Parameters{coding::requiredText(json, "baseUrl")};
}

template <typename Json> void encode(Json& json, const YouTrackProvider::Credentials& credentials) {
    json = Json::object();
    json["token"] = coding::text(credentials.token);
}

template <typename Json> void decode(const Json& json, YouTrackProvider::Credentials& credentials) {
    credentials = YouTrackProvider::Credentials{coding::requiredText(json, "token")};
}
} // namespace

YouTrackProvider::YouTrackProvider() : YouTrackProvider(std::nullopt, QString(), Parameters{}) {}

YouTrackProvider::YouTrackProvider(std::optional<QUuid> id, QString name, Parameters parameters,
                                   ProviderState state, std::optional<ProviderUser> user)
    : ProviderBase(std::move(id), std::move(name), providerType, state, std::move(user)),
      m_parameters(std::move(parameters)) {}

Result<YouTrackProvider, QString> YouTrackProvider::fromEntity(const ProviderEntity& entity) {
    return fromEntityAs<YouTrackProvider>(entity);
}

ProviderEntity YouTrackProvider::toEntity() const {
    return toEntityWith(m_parameters);
}

VELMORA_JSON_CODING(YouTrackProvider::Parameters)

VELMORA_JSON_CODING(YouTrackProvider::Credentials)

} // namespace velmora
