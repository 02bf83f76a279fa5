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
    using R = Result<JiraProvider, QString>;
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
        JiraProvider(base.id(), base.name(), std::move(parameters).value(), base.state(), base.user()));
}

ProviderEntity JiraProvider::toEntity() const {
    ProviderEntity entity;
    writeCommon(entity);
    entity.parametersValue = encodeJsonText(m_parameters);
    return entity;
}

void to_json(nlohmann::json& json, const JiraProvider::Parameters& parameters) {
    encode(json, parameters);
}
void to_json(nlohmann::ordered_json& json, const JiraProvider::Parameters& parameters) {
    encode(json, parameters);
}
void from_json(const nlohmann::json& json, JiraProvider::Parameters& parameters) {
    decode(json, parameters);
}
void from_json(const nlohmann::ordered_json& json, JiraProvider::Parameters& parameters) {
    decode(json, parameters);
}

void to_json(nlohmann::json& json, const JiraProvider::Credentials& credentials) {
    encode(json, credentials);
}
void to_json(nlohmann::ordered_json& json, const JiraProvider::Credentials& credentials) {
    encode(json, credentials);
}
void from_json(const nlohmann::json& json, JiraProvider::Credentials& credentials) {
    decode(json, credentials);
}
void from_json(const nlohmann::ordered_json& json, JiraProvider::Credentials& credentials) {
    decode(json, credentials);
}

} // namespace velmora
