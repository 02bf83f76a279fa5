#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

namespace velmora::images {

// GIF writing through libgif (Qt reads GIF but cannot write it): each frame reduced to at most
// 256 colours by Qt, with one colour kept for transparency when a frame has any.
class GifEncoder {
public:
    GifEncoder() = delete;

    struct Frame {
        QImage image;
        double duration = 0.0; // seconds
    };
    // One frame without a loop count makes a still GIF; more frames carry the loop count
    // (0 endless). Null when a frame cannot be written.
    static QByteArray encode(const QList<Frame>& frames, unsigned loopCount);
};

} // namespace velmora::images
