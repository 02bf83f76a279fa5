#include "core/model/AsanaProvider.h"

#include "core/model/Coding.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {
template <typename Json> void encode(Json& json, const AsanaProvider::Parameters& parameters) {
    json = Json::object();
    json["workspace"] = coding::text(parameters.workspace);
}

template <typename Json> void decode(const Json& json, AsanaProvider::Parameters& parameters) {
    parameters = AsanaProvider::Parameters{coding::requiredText(json, "workspace")};
}

template <typename Json> void encode(Json& json, const AsanaProvider::Credentials& credentials) {
    json = Json::object();
    json["token"] = coding::text(credentials.token);
    json["refreshToken"] = coding::text(credentials.refreshToken);
}

template <typename Json> void decode(const Json& json, AsanaProvider::Credentials& credentials) {
    credentials = AsanaProvider::Credentials{coding::requiredText(json, "token"),
                                             coding::requiredText(json, "refreshToken")};
}
} // namespace

AsanaProvider::AsanaProvider() : AsanaProvider(std::nullopt, QString(), Parameters{}) {}

AsanaProvider::AsanaProvider(std::optional<QUuid> id, QString name, Parameters parameters,
                             ProviderState state, std::optional<ProviderUser> user)
    : ProviderBase(std::move(id), std::move(name), providerType, state, std::move(user)),
      m_parameters(std::move(parameters)) {}

Result<AsanaProvider, QString> AsanaProvider::fromEntity(const ProviderEntity& entity) {
    return fromEntityAs<AsanaProvider>(entity);
}

ProviderEntity AsanaProvider::toEntity() const {
    return toEntityWith(m_parameters);
}

VELMORA_JSON_CODING(AsanaProvider::Parameters)

VELMORA_JSON_CODING(AsanaProvider::Credentials)

} // namespace velmora
