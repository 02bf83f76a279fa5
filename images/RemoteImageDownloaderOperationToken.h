#pragma once

#include "images/DecodeOptions.h"
#include "images/ImageLoaderBlocks.h"

#include <optional>

namespace velmora::images {

// One caller of a download operation: its blocks and the decode options it wants. Two
// callers with equal decode options share one decoded image.
struct RemoteImageDownloaderOperationToken {
    ImageLoaderProgressBlock progressBlock;
    ImageLoaderCompletedBlock completedBlock;
    std::optional<DecodeOptions> decodeOptions;
};

} // namespace velmora::images
