#pragma once

#include "images/core/Image.h"

#include <QString>

#include <optional>

namespace velmora::images {

// What an image cache needs of its memory level: a thread-safe key-to-image store with cost and
// count limits that may let entries go at any time, so a read may miss right after a write.
class AbstractMemoryCache {
public:
    virtual ~AbstractMemoryCache() = default;

    virtual std::optional<Image> objectForKey(const QString& key) = 0;
    virtual void setObject(const Image& image, const QString& key, quint64 cost) = 0;
    void setObject(const Image& image, const QString& key) { setObject(image, key, 0); }
    virtual void removeObjectForKey(const QString& key) = 0;
    virtual void removeAllObjects() = 0;
};

} // namespace velmora::images
