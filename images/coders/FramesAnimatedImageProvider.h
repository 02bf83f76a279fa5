#pragma once

#include "images/coders/ImageFrame.h"
#include "images/core/AnimatedImageProvider.h"

#include <QList>

namespace velmora::images {

// An animation whose frames are already decoded: it hands out the very frames it was made of.
class FramesAnimatedImageProvider : public AnimatedImageProvider {
public:
    FramesAnimatedImageProvider(QList<ImageFrame> frames, unsigned loopCount)
        : m_frames(std::move(frames)), m_loopCount(loopCount) {}

    const QList<ImageFrame>& frames() const { return m_frames; }

    QByteArray animatedImageData() override { return {}; }
    unsigned animatedImageFrameCount() override { return unsigned(m_frames.size()); }
    unsigned animatedImageLoopCount() override { return m_loopCount; }
    Image animatedImageFrameAtIndex(unsigned index) override {
        return index < unsigned(m_frames.size()) ? m_frames.at(index).image : Image();
    }
    double animatedImageDurationAtIndex(unsigned index) override {
        return index < unsigned(m_frames.size()) ? m_frames.at(index).duration : 0.0;
    }

private:
    QList<ImageFrame> m_frames;
    unsigned m_loopCount = 0;
};

} // namespace velmora::images
