#pragma once

#include <QString>
#include <QUrl>

namespace velmora::images {

// Turns an image URL into the key its image is cached under; a null key means "do not cache".
class AbstractRemoteImageCacheKeyFilter {
public:
    virtual ~AbstractRemoteImageCacheKeyFilter() = default;
    virtual QString cacheKeyForURL(const QUrl& url) = 0;
};

} // namespace velmora::images
