#pragma once

#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOptions.h"

namespace velmora::images {

// The options and context a load actually runs with, as an options processor rewrote them.
struct RemoteImageOptionsResult {
    RemoteImageOptions options = 0;
    RemoteImageContext context;
};

} // namespace velmora::images
