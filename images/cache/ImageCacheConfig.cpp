#include "images/cache/ImageCacheConfig.h"

namespace velmora::images {

ImageCacheConfig::ImageCacheConfig() = default;
ImageCacheConfig::~ImageCacheConfig() = default;

std::shared_ptr<ImageCacheConfig> ImageCacheConfig::defaultCacheConfig() {
    static const auto config = std::make_shared<ImageCacheConfig>();
    return config;
}

std::shared_ptr<ImageCacheConfig> ImageCacheConfig::copy() const {
    auto result = std::make_shared<ImageCacheConfig>();
    std::lock_guard lock(m_mutex);
    result->m_shouldCacheImagesInMemory = m_shouldCacheImagesInMemory;
    result->m_shouldUseWeakMemoryCache = m_shouldUseWeakMemoryCache;
    result->m_shouldRemoveExpiredDataWhenTerminate = m_shouldRemoveExpiredDataWhenTerminate;
    result->m_diskCacheWritingOptions = m_diskCacheWritingOptions;
    result->m_maxDiskAge = m_maxDiskAge;
    result->m_maxDiskSize = m_maxDiskSize;
    result->m_maxDiskWriteBacklog = m_maxDiskWriteBacklog;
    result->m_maxDiskEntrySize = m_maxDiskEntrySize;
    result->m_maxMemoryCost = m_maxMemoryCost;
    result->m_maxMemoryCount = m_maxMemoryCount;
    result->m_diskCacheExpireType = m_diskCacheExpireType;
    result->m_drawingRetryDelay = m_drawingRetryDelay;
    result->m_maxDrawingRetryDelay = m_maxDrawingRetryDelay;
    result->m_clock = m_clock;
    result->m_memoryCacheFactory = m_memoryCacheFactory;
    result->m_diskCacheFactory = m_diskCacheFactory;
    return result;
}

#define VELMORA_CONFIG_FIELD(Type, getter, setter, member)                                                   \
    Type ImageCacheConfig::getter() const {                                                                  \
        std::lock_guard lock(m_mutex);                                                                       \
        return member;                                                                                       \
    }                                                                                                        \
    void ImageCacheConfig::setter(Type value) {                                                              \
        std::lock_guard lock(m_mutex);                                                                       \
        member = std::move(value);                                                                           \
    }

VELMORA_CONFIG_FIELD(bool, shouldCacheImagesInMemory, setShouldCacheImagesInMemory,
                     m_shouldCacheImagesInMemory)
VELMORA_CONFIG_FIELD(bool, shouldUseWeakMemoryCache, setShouldUseWeakMemoryCache, m_shouldUseWeakMemoryCache)
VELMORA_CONFIG_FIELD(bool, shouldRemoveExpiredDataWhenTerminate, setShouldRemoveExpiredDataWhenTerminate,
                     m_shouldRemoveExpiredDataWhenTerminate)
VELMORA_CONFIG_FIELD(quint32, diskCacheWritingOptions, setDiskCacheWritingOptions, m_diskCacheWritingOptions)
VELMORA_CONFIG_FIELD(double, maxDiskAge, setMaxDiskAge, m_maxDiskAge)
VELMORA_CONFIG_FIELD(quint64, maxDiskSize, setMaxDiskSize, m_maxDiskSize)
VELMORA_CONFIG_FIELD(quint64, maxDiskWriteBacklog, setMaxDiskWriteBacklog, m_maxDiskWriteBacklog)
VELMORA_CONFIG_FIELD(quint64, maxDiskEntrySize, setMaxDiskEntrySize, m_maxDiskEntrySize)
VELMORA_CONFIG_FIELD(ImageCacheConfigExpireType, diskCacheExpireType, setDiskCacheExpireType,
                     m_diskCacheExpireType)
VELMORA_CONFIG_FIELD(double, drawingRetryDelay, setDrawingRetryDelay, m_drawingRetryDelay)
VELMORA_CONFIG_FIELD(double, maxDrawingRetryDelay, setMaxDrawingRetryDelay, m_maxDrawingRetryDelay)
VELMORA_CONFIG_FIELD(std::shared_ptr<Clock>, clock, setClock, m_clock)
VELMORA_CONFIG_FIELD(MemoryCacheFactory, memoryCacheFactory, setMemoryCacheFactory, m_memoryCacheFactory)
VELMORA_CONFIG_FIELD(DiskCacheFactory, diskCacheFactory, setDiskCacheFactory, m_diskCacheFactory)

#undef VELMORA_CONFIG_FIELD

quint64 ImageCacheConfig::maxMemoryCost() const {
    std::lock_guard lock(m_mutex);
    return m_maxMemoryCost;
}

void ImageCacheConfig::setMaxMemoryCost(quint64 value) {
    {
        std::lock_guard lock(m_mutex);
        m_maxMemoryCost = value;
    }
    // Announced even when unchanged, like any write of the field; never under the lock.
    emit maxMemoryCostChanged();
}

quint64 ImageCacheConfig::maxMemoryCount() const {
    std::lock_guard lock(m_mutex);
    return m_maxMemoryCount;
}

void ImageCacheConfig::setMaxMemoryCount(quint64 value) {
    {
        std::lock_guard lock(m_mutex);
        m_maxMemoryCount = value;
    }
    emit maxMemoryCountChanged();
}

} // namespace velmora::images
