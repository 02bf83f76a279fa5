#pragma once

namespace velmora::images {

// Whether an image is redrawn into a bitmap the display can use as it is.
enum class ImageForceDecodePolicy : unsigned {
    Automatic = 0,
    Never = 1,
    Always = 2,
};

} // namespace velmora::images
