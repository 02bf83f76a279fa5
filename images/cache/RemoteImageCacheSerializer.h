#pragma once

#include "images/cache/AbstractRemoteImageCacheSerializer.h"

#include <functional>
#include <memory>

namespace velmora::images {

// A cache serializer made from a function.
class RemoteImageCacheSerializer : public AbstractRemoteImageCacheSerializer {
public:
    using Block = std::function<std::optional<QByteArray>(const Image& image, const std::optional<QByteArray>& data,
                                                          const QUrl& imageURL)>;

    explicit RemoteImageCacheSerializer(Block block) : m_block(std::move(block)) {}
    static std::shared_ptr<RemoteImageCacheSerializer> cacheSerializerWithBlock(Block block) {
        return std::make_shared<RemoteImageCacheSerializer>(std::move(block));
    }

    // The function's bytes, or none without a function.
    std::optional<QByteArray> cacheDataWithImage(const Image& image, const std::optional<QByteArray>& originalData,
                                                 const QUrl& imageURL) override {
        return m_block ? m_block(image, originalData, imageURL) : std::nullopt;
    }

    const Block& block() const { return m_block; }

private:
    Block m_block;
};

} // namespace velmora::images
