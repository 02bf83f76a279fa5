#pragma once

#include "images/download/ImageResponse.h"

#include <optional>

namespace velmora::images {

// Rewrites the head of an image answer as it arrives. Answering nothing fails the
// download.
class AbstractRemoteImageDownloaderResponseModifier {
public:
    virtual ~AbstractRemoteImageDownloaderResponseModifier() = default;
    virtual std::optional<ImageResponse> modifiedResponse(const ImageResponse& response) const = 0;
};

} // namespace velmora::images
