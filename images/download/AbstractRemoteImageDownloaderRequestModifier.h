#pragma once

#include "images/download/ImageRequest.h"

#include <optional>

namespace velmora::images {

// Rewrites an image request before its download operation is made. Answering nothing
// refuses the download.
class AbstractRemoteImageDownloaderRequestModifier {
public:
    virtual ~AbstractRemoteImageDownloaderRequestModifier() = default;
    virtual std::optional<ImageRequest> modifiedRequest(const ImageRequest& request) const = 0;
};

} // namespace velmora::images
