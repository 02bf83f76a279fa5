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
    using R = Result<YouTrackProvider, QString>;
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
        YouTrackProvider(base.id(), base.name(), std::move(parameters).value(), base.state(), base.user()));
}

ProviderEntity YouTrackProvider::toEntity() const {
    ProviderEntity entity;
    writeCommon(entity);
    entity.parametersValue = encodeJsonText(m_parameters);
    return entity;
}

void to_json(nlohmann::json& json, const YouTrackProvider::Parameters& parameters) {
    encode(json, parameters);
}
void to_json(nlohmann::ordered_json& json, const YouTrackProvider::Parameters& parameters) {
    encode(json, parameters);
}
void from_json(const nlohmann::json& json, YouTrackProvider::Parameters& parameters) {
    decode(json, parameters);
}
void from_json(const nlohmann::ordered_json& json, YouTrackProvider::Parameters& parameters) {
    decode(json, parameters);
}

void to_json(nlohmann::json& json, const YouTrackProvider::Credentials& credentials) {
    encode(json, credentials);
}
void to_json(nlohmann::ordered_json& json, const YouTrackProvider::Credentials& credentials) {
    encode(json, credentials);
}
void from_json(const nlohmann::json& json, YouTrackProvider::Credentials& credentials) {
    decode(json, credentials);
}
void from_json(const nlohmann::ordered_json& json, YouTrackProvider::Credentials& credentials) {
    decode(json, credentials);
}

} // namespace velmora
