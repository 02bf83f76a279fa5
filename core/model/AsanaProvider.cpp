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
    using R = Result<AsanaProvider, QString>;
    auto common = readCommon(entity, providerType);
    if (!common.ok()) {
        return R::failure(common.error());
    }
    auto parameters = decodeJsonText<Parameters>(entity.parametersValue);
    if (!parameters.ok()) {
        return R::failure(QStringLiteral("Provider is missing parameters"));
    }
    const ProviderBase& base = common.value();
    return R::success(
        AsanaProvider(base.id(), base.name(), std::move(parameters).value(), base.state(), base.user()));
}

ProviderEntity AsanaProvider::toEntity() const {
    ProviderEntity entity;
    writeCommon(entity);
    entity.parametersValue = encodeJsonText(m_parameters);
    return entity;
}

void to_json(nlohmann::json& json, const AsanaProvider::Parameters& parameters) {
    encode(json, parameters);
}
void to_json(nlohmann::ordered_json& json, const AsanaProvider::Parameters& parameters) {
    encode(json, parameters);
}
void from_json(const nlohmann::json& json, AsanaProvider::Parameters& parameters) {
    decode(json, parameters);
}
void from_json(const nlohmann::ordered_json& json, AsanaProvider::Parameters& parameters) {
    decode(json, parameters);
}

void to_json(nlohmann::json& json, const AsanaProvider::Credentials& credentials) {
    encode(json, credentials);
}
void to_json(nlohmann::ordered_json& json, const AsanaProvider::Credentials& credentials) {
    encode(json, credentials);
}
void from_json(const nlohmann::json& json, AsanaProvider::Credentials& credentials) {
    decode(json, credentials);
}
void from_json(const nlohmann::ordered_json& json, AsanaProvider::Credentials& credentials) {
    decode(json, credentials);
}

} // namespace velmora
