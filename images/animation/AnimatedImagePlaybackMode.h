#pragma once

namespace velmora::images {

// The order in which a player shows the frames.
enum class AnimatedImagePlaybackMode : int {
    Normal = 0,
    Reverse = 1,
    Bounce = 2,
    ReversedBounce = 3,
};

} // namespace velmora::images
