#include "core/model/ProviderBase.h"

namespace velmora {

Result<ProviderBase, QString> ProviderBase::readCommon(const ProviderEntity& entity, ProviderType expected) {
    using R = Result<ProviderBase, QString>;
    if (entity.id.isNull()) {
        return R::failure(QStringLiteral("Provider has no valid id"));
    }
    const auto type = providerTypeFromRawText(entity.typeValue);
    if (!type) {
        return R::failure(QStringLiteral("Provider has an unknown type \"%1\"").arg(entity.typeValue));
    }
    if (*type != expected) {
        return R::failure(QStringLiteral("Provider of type \"%1\" read as \"%2\"")
                              .arg(entity.typeValue, rawText(expected)));
    }
    const auto state = providerStateFromRawText(entity.stateValue);
    if (!state) {
        return R::failure(QStringLiteral("Provider has an unknown state \"%1\"").arg(entity.stateValue));
    }
    std::optional<ProviderUser> user;
    if (entity.user) {
        user = ProviderUser{entity.user->externalId, entity.user->name, entity.user->avatar};
    }
    return R::success(ProviderBase(entity.id, entity.name, *type, *state, std::move(user)));
}

void ProviderBase::writeCommon(ProviderEntity& entity) const {
    entity.id = m_id.value_or(QUuid());
    entity.name = m_name;
    entity.stateValue = rawText(m_state);
    entity.typeValue = rawText(m_type);
    if (m_user) {
        entity.user = ProviderUserEntity{m_user->externalId, m_user->avatar, m_user->name};
    } else {
        entity.user.reset();
    }
}

} // namespace velmora
