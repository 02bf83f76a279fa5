#pragma once

#include "images/cache/AbstractMemoryCache.h"
#include "images/cache/LruCache.h"

#include <QMetaObject>

#include <memory>

namespace velmora::images {

class ImageCacheConfig;

// Decoded images kept least-recently-used first out, within the configuration's `maxMemoryCost` and
// `maxMemoryCount` (0 = no limit). The limits follow the configuration it was made with: a change
// applies at once, evicting what no longer fits. Linux sends no memory-pressure signal, so trimming
// beyond the limits is the owner's explicit call.
class MemoryCache : public AbstractMemoryCache {
public:
    MemoryCache();
    explicit MemoryCache(std::shared_ptr<ImageCacheConfig> config);
    ~MemoryCache() override;

    MemoryCache(const MemoryCache&) = delete;
    MemoryCache& operator=(const MemoryCache&) = delete;

    std::optional<Image> objectForKey(const QString& key) override;
    using AbstractMemoryCache::setObject;
    void setObject(const Image& image, const QString& key, quint64 cost) override;
    void removeObjectForKey(const QString& key) override;
    void removeAllObjects() override;

    std::shared_ptr<ImageCacheConfig> config() const { return m_config; }
    // Replaces the field only: the limits keep following the configuration observed from the start.
    void setConfig(std::shared_ptr<ImageCacheConfig> config) { m_config = std::move(config); }

    quint64 totalCostLimit() const { return m_store.totalCostLimit(); }
    quint64 countLimit() const { return m_store.countLimit(); }
    quint64 totalCost() const { return m_store.totalCost(); }
    quint64 count() const { return m_store.count(); }

private:
    void observe();

    std::shared_ptr<ImageCacheConfig> m_config;
    // The configuration whose limits are followed, kept alive while observed.
    std::shared_ptr<ImageCacheConfig> m_observed;
    QMetaObject::Connection m_costConnection;
    QMetaObject::Connection m_countConnection;
    LruCache<Image> m_store;
};

} // namespace velmora::images
