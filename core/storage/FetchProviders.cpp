#include "core/storage/FetchProviders.h"

#include "core/model/Logger.h"
#include "core/storage/ProviderManager.h"
#include "platform/store/ProviderStore.h"

namespace velmora {

FetchProviders::FetchProviders(QObject* parent) : FetchProviders(ProviderManager::shared().store(), parent) {}

FetchProviders::FetchProviders(ProviderStore& store, QObject* parent) : QObject(parent), m_store(&store) {
    connect(&store, &ProviderStore::changed, this, &FetchProviders::refresh);
    refresh();
}

void FetchProviders::refresh() {
    if (!m_store) {
        return;
    }
    auto rows = m_store->fetchProviders();
    if (!rows.ok()) {
        // Keep showing what was there rather than an empty list that is not true either.
        logError(Logger::dataManager(),
                 QStringLiteral("[FetchProviders] An error occurred while fetching providers: ") +
                     rows.error().description);
        if (!m_readFailed) {
            m_readFailed = true;
            emit providersChanged();
        }
        return;
    }
    auto providers = providersFromEntities(rows.value());
    if (providers == m_providers && !m_readFailed) {
        return;
    }
    m_providers = std::move(providers);
    m_readFailed = false;
    emit providersChanged();
}

QString FetchProviders::storePath() const {
    return m_store ? m_store->path() : QString();
}

} // namespace velmora
