#include "core/model/AnyProvider.h"

#include "core/model/AppIdentity.h"
#include "core/model/Logger.h"

namespace velmora {

const ProviderBase& providerBase(const AnyProvider& provider) {
    return std::visit([](const auto& p) -> const ProviderBase& { return p; }, provider);
}

ProviderBase& providerBase(AnyProvider& provider) {
    return std::visit([](auto& p) -> ProviderBase& { return p; }, provider);
}

namespace {
template <typename P> Result<AnyProvider, QString> read(const ProviderEntity& entity) {
    auto provider = P::fromEntity(entity);
    if (!provider.ok()) {
        return Result<AnyProvider, QString>::failure(provider.error());
    }
    return Result<AnyProvider, QString>::success(AnyProvider(std::move(provider).value()));
}
} // namespace

Result<AnyProvider, QString> anyProviderFromEntity(const ProviderEntity& entity) {
    const auto type = providerTypeFromRawText(entity.typeValue);
    if (!type) {
        return Result<AnyProvider, QString>::failure(
            QStringLiteral("Provider has an unknown type \"%1\"").arg(entity.typeValue));
    }
    switch (*type) {
    case ProviderType::jira:
        return read<JiraProvider>(entity);
    case ProviderType::asana:
        return read<AsanaProvider>(entity);
    case ProviderType::youTrack:
        return read<YouTrackProvider>(entity);
    }
    return Result<AnyProvider, QString>::failure(QStringLiteral("Provider has an unknown type"));
}

ProviderEntity toEntity(const AnyProvider& provider) {
    return std::visit([](const auto& p) { return p.toEntity(); }, provider);
}

std::vector<AnyProvider> providersFromEntities(const std::vector<ProviderEntity>& entities) {
    std::vector<AnyProvider> providers;
    providers.reserve(entities.size());
    for (const auto& entity : entities) {
        auto provider = anyProviderFromEntity(entity);
        if (provider.ok()) {
            providers.push_back(std::move(provider).value());
        } else {
            logError(Logger::dataManager(),
                     QStringLiteral("[ProviderEntity] Skipped a stored account that cannot be read (%1): %2")
                         .arg(entity.id.isNull() ? QStringLiteral("no id") : uuidText(entity.id),
                              provider.error()));
        }
    }
    return providers;
}

} // namespace velmora
