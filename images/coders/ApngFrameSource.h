#pragma once

#include "images/coders/AnimatedFrameSource.h"
#include "images/coders/ApngSupport.h"

#include <mutex>

namespace velmora::images {

// An animated (or plain) PNG, composed frame by frame on its canvas. The composition runs
// forward from the last frame asked for and starts over for an earlier one.
class ApngFrameSource : public AnimatedFrameSource {
public:
    static std::shared_ptr<ApngFrameSource> create(const QByteArray& data);

    int frameCount() const override { return int(m_layout.controls.size()); }
    std::optional<unsigned> loopCount() const override { return m_layout.loopCount; }
    std::optional<double> frameDelay(int index) const override;
    QSize canvasSize() const override { return m_layout.canvas; }
    QImage frameAt(int index) override;
    // The first frame's own pixels drawn scaled onto a canvas of the wanted size.
    QImage firstFrameScaledTo(const QSize& size) override;

private:
    explicit ApngFrameSource(ApngSupport::Layout layout) : m_layout(std::move(layout)) {}
    // Composes the next frame; false when its pixels cannot be decoded.
    bool renderNext();

    ApngSupport::Layout m_layout;
    std::mutex m_mutex;
    QImage m_canvas;
    int m_rendered = -1; // index of the frame the canvas shows
    bool m_renderedFailed = false;
    QImage m_beforeLast; // the canvas before the last frame, for "dispose to previous"
};

} // namespace velmora::images
