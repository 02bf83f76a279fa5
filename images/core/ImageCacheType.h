#pragma once

namespace velmora::images {

// Where an image came from, or which stores to query or write.
enum class ImageCacheType : int {
    None = 0,
    Disk = 1,
    Memory = 2,
    All = 3,
};

} // namespace velmora::images
