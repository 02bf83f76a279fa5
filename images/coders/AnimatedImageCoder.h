#pragma once

#include "images/coders/ImageCoder.h"
#include "images/core/AnimatedImageProvider.h"

#include <memory>

namespace velmora::images {

// A coder of an animated format that, made over one piece of data, hands out its frames.
class AnimatedImageCoder : public virtual ImageCoder, public AnimatedImageProvider {
public:
    // A coder over the data, or null when the data is not of this coder's format.
    virtual std::shared_ptr<AnimatedImageCoder> createAnimatedCoder(const QByteArray& data,
                                                                    const DecodeOptions& options) = 0;
};

} // namespace velmora::images
