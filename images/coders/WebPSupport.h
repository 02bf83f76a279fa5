#pragma once

#include "images/coders/AnimatedFrameSource.h"

#include <QList>

#include <mutex>

struct WebPAnimDecoder;

namespace velmora::images {

// WebP, still or animated, through libwebp: frame count, loop count and durations from the
// container without decoding, whole canvases from the animation decoder read forward.
class WebPFrameSource : public AnimatedFrameSource {
public:
    static std::shared_ptr<WebPFrameSource> create(const QByteArray& data);
    ~WebPFrameSource() override;

    int frameCount() const override { return int(m_delays.size()); }
    std::optional<unsigned> loopCount() const override { return m_loopCount; }
    std::optional<double> frameDelay(int index) const override;
    QSize canvasSize() const override { return m_canvas; }
    QImage frameAt(int index) override;
    // The first frame's own area decoded alone and drawn scaled onto a canvas of the wanted size:
    // the animation decoder would hold the whole canvas (and a copy of it) for it.
    QImage firstFrameScaledTo(const QSize& size) override;

    struct Frame {
        QImage image;
        double duration = 0.0;
    };
    // An animated WebP of whole-canvas frames; lossy at the quality (0 to 1) or lossless at 1.
    // Null when encoding fails.
    static QByteArray encode(const QList<Frame>& frames, unsigned loopCount, double quality);

private:
    WebPFrameSource() = default;

    QByteArray m_data;
    QSize m_canvas;
    QList<std::optional<double>> m_delays;
    std::optional<unsigned> m_loopCount;

    std::mutex m_mutex;
    WebPAnimDecoder* m_decoder = nullptr;
    int m_nextIndex = 0;
    QImage m_last;
};

} // namespace velmora::images
