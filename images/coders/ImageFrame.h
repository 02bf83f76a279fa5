#pragma once

#include "images/core/Image.h"

namespace velmora::images {

// One frame of an animation: its image and how long it stays on screen, in seconds.
struct ImageFrame {
    Image image;
    double duration = 0.0;
};

} // namespace velmora::images
