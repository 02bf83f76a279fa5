#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QSize>

#include <optional>

namespace velmora::images {

// Animated PNG read and written by our own code: Qt's PNG reader sees only the default image.
// A frame's pixels are decoded by handing Qt's PNG reader a one-frame PNG made of the frame's
// data, and written by PngWriter; frames are composed on the canvas with their dispose and
// blend operations.
class ApngSupport {
public:
    ApngSupport() = delete;

    enum DisposeOp : quint8 { DisposeNone = 0, DisposeBackground = 1, DisposePrevious = 2 };
    enum BlendOp : quint8 { BlendSource = 0, BlendOver = 1 };

    struct FrameControl {
        QSize size;
        QPoint offset;
        double delay = 0.0; // seconds
        quint8 dispose = DisposeNone;
        quint8 blend = BlendSource;
    };

    struct Layout {
        QSize canvas;
        QByteArray header;              // IHDR data (13 bytes)
        QList<QByteArray> sharedChunks; // whole chunks every frame needs (PLTE, tRNS, colour)
        bool animated = false;          // has an animation control chunk
        std::optional<unsigned> loopCount;
        QList<FrameControl> controls; // whole frames only
        QList<QByteArray> frameData;  // compressed image data per frame
    };

    // The layout of a PNG, animated or not; frames cut off by the end of the data are left out.
    // Nothing when the canvas exceeds the pixel budget; a frame that does not lie inside the
    // canvas ends the animation (the frames before it stand).
    static std::optional<Layout> parse(const QByteArray& data);
    // Whether a PNG carries an animation control chunk before its first image data: only then
    // is it an animation. Reads chunk headers only.
    static bool isAnimated(const QByteArray& data);
    // One frame's own pixels (not composed), as a one-frame PNG decoded by Qt.
    static QImage decodeFrame(const Layout& layout, int index);

    struct Frame {
        QImage image;
        QPoint offset;
        double delay = 0.0;
        quint8 dispose = DisposeNone;
        quint8 blend = BlendSource;
    };
    // An animated PNG of the frames on a canvas; the first frame must cover the canvas. Null
    // when a frame cannot be encoded.
    static QByteArray write(const QSize& canvas, const QList<Frame>& frames, unsigned loopCount);
};

} // namespace velmora::images
