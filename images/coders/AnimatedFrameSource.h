#pragma once

#include "images/core/ImageFormat.h"

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QSize>

#include <memory>
#include <optional>

namespace velmora::images {

// What the animated coders read from one piece of encoded data: how many frames are whole,
// the container's loop count and each frame's delay as stored, and each frame as a full canvas
// with the earlier frames composed under it. Frames are decoded on demand; implementations
// are safe to call from several threads.
class AnimatedFrameSource {
public:
    virtual ~AnimatedFrameSource() = default;

    virtual int frameCount() const = 0;
    // The stored loop count (0 endless), nothing when the data holds none.
    virtual std::optional<unsigned> loopCount() const = 0;
    // The stored delay in seconds, nothing when the frame has none.
    virtual std::optional<double> frameDelay(int index) const = 0;
    virtual QSize canvasSize() const = 0;
    // The frame composed on the canvas; null when it cannot be decoded.
    virtual QImage frameAt(int index) = 0;
    // The first frame on its canvas, brought down to `size` without ever holding the whole
    // canvas; null when the source cannot do that (the caller then scales frameAt(0)).
    virtual QImage firstFrameScaledTo(const QSize& size) {
        (void)size;
        return {};
    }
    // `pixels`, standing at `offset` on an empty canvas, drawn onto a canvas of `size`.
    static QImage drawnScaled(const QImage& pixels, const QPoint& offset, const QSize& canvas,
                              const QSize& size);

    // The largest canvas, in pixels, composed frame by frame for playback: composing keeps a
    // whole canvas (and the decoder one more) for as long as the animation plays and redraws
    // it for every frame, so a larger one plays as its first frame only. Settable for tests.
    static quint64 compositionPixelBudget();
    static void setCompositionPixelBudget(quint64 pixels);
    static bool fitsCompositionBudget(const QSize& canvas);
    // The bytes of decoded frames kept for one animation, eagerly decoded or pooled for playback.
    static constexpr quint64 keptFramesByteBudget = 16u * 1024u * 1024u;

    // A source over the data for one of the animated formats (GIF, PNG, WebP, HEIC/HEIF);
    // null when the data is not of that format or holds no whole frame.
    static std::shared_ptr<AnimatedFrameSource> create(ImageFormat format, const QByteArray& data);
};

} // namespace velmora::images
