#pragma once

#include <QByteArray>

namespace velmora::images {

class Image;

// Something that hands out the frames of an animation on demand. Frames may be asked for from
// a background thread (the frame pool decodes ahead), so implementations are thread-safe.
class AnimatedImageProvider {
public:
    virtual ~AnimatedImageProvider() = default;

    // The encoded data the frames come from; empty when there is none.
    virtual QByteArray animatedImageData() = 0;
    virtual unsigned animatedImageFrameCount() = 0;
    // 0 loops for ever.
    virtual unsigned animatedImageLoopCount() = 0;
    // The decoded frame, or a null image when it cannot be made.
    virtual Image animatedImageFrameAtIndex(unsigned index) = 0;
    // Seconds the frame stays on screen.
    virtual double animatedImageDurationAtIndex(unsigned index) = 0;
};

} // namespace velmora::images
