#pragma once

#include "images/pipeline/RemoteImageOptionsResult.h"

#include <QUrl>

#include <optional>

namespace velmora::images {

// Rewrites the options and context of a load before it starts; none leaves the load as it was.
class AbstractRemoteImageOptionsProcessor {
public:
    virtual ~AbstractRemoteImageOptionsProcessor() = default;
    virtual std::optional<RemoteImageOptionsResult> processedResultForURL(const QUrl& url, RemoteImageOptions options,
                                                                          const RemoteImageContext& context) = 0;
};

} // namespace velmora::images
