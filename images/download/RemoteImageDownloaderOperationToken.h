#pragma once

#include "images/core/DecodeOptions.h"
#include "images/download/ImageLoaderBlocks.h"

#include <atomic>
#include <optional>

namespace velmora::images {

// One caller of a download operation: its blocks and the decode options it wants. Two
// callers with equal decode options share one decoded image.
struct RemoteImageDownloaderOperationToken {
    ImageLoaderProgressBlock progressBlock;
    ImageLoaderCompletedBlock completedBlock;
    std::optional<DecodeOptions> decodeOptions;
    // Set by the one final call; a cancel racing the end of the download can't make a second.
    std::atomic<bool> finishDelivered{false};
};

} // namespace velmora::images
