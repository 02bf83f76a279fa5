#pragma once

#include "images/coders/AnimatedFrameSource.h"

namespace velmora::images {

// A still image seen as a one-frame animation (HEIC and HEIF stills through libheif).
class StillFrameSource : public AnimatedFrameSource {
public:
    explicit StillFrameSource(QImage image) : m_image(std::move(image)) {}

    int frameCount() const override { return m_image.isNull() ? 0 : 1; }
    std::optional<unsigned> loopCount() const override { return std::nullopt; }
    std::optional<double> frameDelay(int) const override { return std::nullopt; }
    QSize canvasSize() const override { return m_image.size(); }
    QImage frameAt(int index) override { return index == 0 ? m_image : QImage(); }

private:
    QImage m_image;
};

} // namespace velmora::images
