#include "core/storage/FetchProvider.h"

#include "core/model/AppIdentity.h"
#include "core/model/Logger.h"
#include "core/storage/ProviderManager.h"
#include "platform/store/ProviderStore.h"

namespace velmora {

FetchProvider::FetchProvider(QObject* parent) : FetchProvider(ProviderManager::shared().store(), parent) {}

FetchProvider::FetchProvider(ProviderStore& store, QObject* parent) : QObject(parent), m_store(&store) {
    connect(&store, &ProviderStore::changed, this, &FetchProvider::refresh);
}

void FetchProvider::setProviderId(std::optional<QUuid> id) {
    m_providerId = std::move(id);
    refresh();
}

void FetchProvider::refresh() {
    std::optional<AnyProvider> provider;
    if (m_store && m_providerId) {
        auto row = m_store->fetchProvider(*m_providerId);
        if (!row.ok()) {
            logError(Logger::dataManager(),
                     QStringLiteral("[FetchProvider] An error occurred while fetching provider: ") +
                         row.error().description);
            return;
        }
        if (row.value()) {
            auto read = anyProviderFromEntity(*row.value());
            if (read.ok()) {
                provider = std::move(read).value();
            } else {
                logError(Logger::dataManager(),
                         QStringLiteral("[FetchProvider] Stored provider %1 cannot be read: %2")
                             .arg(uuidText(*m_providerId), read.error()));
            }
        }
    }
    if (provider == m_provider) {
        return;
    }
    m_provider = std::move(provider);
    emit providerChanged();
}

} // namespace velmora
