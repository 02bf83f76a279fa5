#pragma once

#include "images/cache/AbstractRemoteImageCacheKeyFilter.h"

#include <functional>
#include <memory>

namespace velmora::images {

// A cache key filter made from a function.
class RemoteImageCacheKeyFilter : public AbstractRemoteImageCacheKeyFilter {
public:
    using Block = std::function<QString(const QUrl& url)>;

    explicit RemoteImageCacheKeyFilter(Block block) : m_block(std::move(block)) {}
    static std::shared_ptr<RemoteImageCacheKeyFilter> cacheKeyFilterWithBlock(Block block) {
        return std::make_shared<RemoteImageCacheKeyFilter>(std::move(block));
    }

    // The function's key, or a null key without a function.
    QString cacheKeyForURL(const QUrl& url) override { return m_block ? m_block(url) : QString(); }

    const Block& block() const { return m_block; }

private:
    Block m_block;
};

} // namespace velmora::images
