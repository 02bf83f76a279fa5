#pragma once

#include "images/core/AnimatedImageProvider.h"

#include <memory>

namespace velmora::images {

class AnimatedImageCoder;

// An animated image that keeps its encoded data and a coder over it and hands out frames on
// request; its frames can also be decoded all at once and dropped again.
class AbstractAnimatedImage : public AnimatedImageProvider {
public:
    virtual std::shared_ptr<AnimatedImageCoder> animatedCoder() const = 0;
    virtual void preloadAllFrames() = 0;
    virtual void unloadAllFrames() = 0;
    virtual bool isAllFramesLoaded() const = 0;
};

} // namespace velmora::images
