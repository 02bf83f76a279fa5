#include "images/cache/MemoryCache.h"

#include "images/cache/ImageCacheConfig.h"

namespace velmora::images {

MemoryCache::MemoryCache() : MemoryCache(std::make_shared<ImageCacheConfig>()) {}

MemoryCache::MemoryCache(std::shared_ptr<ImageCacheConfig> config) : m_config(std::move(config)) {
    Q_ASSERT(m_config);
    observe();
}

MemoryCache::~MemoryCache() {
    // Exactly the two connections made to the observed configuration, whatever `config` holds now.
    QObject::disconnect(m_costConnection);
    QObject::disconnect(m_countConnection);
}

void MemoryCache::observe() {
    m_observed = m_config;
    m_store.setTotalCostLimit(m_observed->maxMemoryCost());
    m_store.setCountLimit(m_observed->maxMemoryCount());
    // Direct connections: a limit applies on the thread that changes it, before the setter returns.
    const auto* observed = m_observed.get();
    m_costConnection = QObject::connect(observed, &ImageCacheConfig::maxMemoryCostChanged, [this, observed] {
        m_store.setTotalCostLimit(observed->maxMemoryCost());
    });
    m_countConnection = QObject::connect(observed, &ImageCacheConfig::maxMemoryCountChanged, [this, observed] {
        m_store.setCountLimit(observed->maxMemoryCount());
    });
}

std::optional<Image> MemoryCache::objectForKey(const QString& key) {
    return m_store.object(key);
}

void MemoryCache::setObject(const Image& image, const QString& key, quint64 cost) {
    m_store.insert(key, image, cost);
}

void MemoryCache::removeObjectForKey(const QString& key) {
    m_store.remove(key);
}

void MemoryCache::removeAllObjects() {
    m_store.clear();
}

} // namespace velmora::images
