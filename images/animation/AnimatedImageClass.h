#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/Image.h"

#include <QByteArray>

namespace velmora::images {

// A kind of animated image that a load can ask decoded data to become (the context's
// `animatedImageClass`): it makes its own images from data and knows them again.
class AnimatedImageClass {
public:
    virtual ~AnimatedImageClass() = default;

    // An image of this kind from the data, or null when this kind does not take the data.
    virtual Image imageWithData(const QByteArray& data, double scale, const DecodeOptions& options) const = 0;
    // Whether the image is of this kind (or a kind derived from it).
    virtual bool isInstance(const Image& image) const = 0;
    // Decodes every frame ahead; a kind without a frame buffer does nothing.
    virtual void preloadAllFrames(const Image& image) const { Q_UNUSED(image); }
};

} // namespace velmora::images
