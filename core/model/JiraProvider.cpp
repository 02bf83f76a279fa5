#include "core/model/JiraProvider.h"

#include "core/model/Coding.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const JiraProvider::Parameters& parameters) {
    json = Json::object();
    json["organisation"] = coding::text(parameters.organisation);
}

template <typename Json> void decode(const Json& json, JiraProvider::Parameters& parameters) {
    parameters = JiraProvider::Parameters{coding::requiredText(json, "organisation")};
}

template <typename Json> void encode(Json& json, const JiraProvider::Credentials& credentials) {
    json = Json::object();
    json["token"] = coding::text(credentials.token);
    json["refreshToken"] = coding::text(credentials.refreshToken);
}

template <typename Json> void decode(const Json& json, JiraProvider::Credentials& credentials) {
    credentials = JiraProvider::Credentials{coding::requiredText(json, "token"),
                                            coding::requiredText(json, "refreshToken")};
}
} // namespace

JiraProvider::JiraProvider() : JiraProvider(std::nullopt, QString(), Parameters{}) {}

JiraProvider::JiraProvider(std::optional<QUuid> id, QString name, Parameters parameters, ProviderState state,
                           std::optional<ProviderUser> user)
    : ProviderBase(std::move(id), std::move(name), providerType, state, std::move(user)),
      m_parameters(std::move(parameters)) {}

Result<JiraProvider, QString> JiraProvider::fromEntity(const ProviderEntity& entity) {
    return fromEntityAs<JiraProvider>(entity);
}

ProviderEntity JiraProvider::toEntity() const {
    return toEntityWith(m_parameters);
}

VELMORA_JSON_CODING(JiraProvider::Parameters)

VELMORA_JSON_CODING(JiraProvider::Credentials)

} // namespace velmora
