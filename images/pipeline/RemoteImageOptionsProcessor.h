#pragma once

#include "images/pipeline/AbstractRemoteImageOptionsProcessor.h"

#include <functional>
#include <memory>

namespace velmora::images {

// An options processor made from a function.
class RemoteImageOptionsProcessor : public AbstractRemoteImageOptionsProcessor {
public:
    using Block = std::function<std::optional<RemoteImageOptionsResult>(const QUrl& url, RemoteImageOptions options,
                                                                        const RemoteImageContext& context)>;

    explicit RemoteImageOptionsProcessor(Block block) : m_block(std::move(block)) {}
    static std::shared_ptr<RemoteImageOptionsProcessor> optionsProcessorWithBlock(Block block) {
        return std::make_shared<RemoteImageOptionsProcessor>(std::move(block));
    }

    // The function's result, or none without a function.
    std::optional<RemoteImageOptionsResult> processedResultForURL(const QUrl& url, RemoteImageOptions options,
                                                                  const RemoteImageContext& context) override {
        return m_block ? m_block(url, options, context) : std::nullopt;
    }

    const Block& block() const { return m_block; }

private:
    Block m_block;
};

} // namespace velmora::images
