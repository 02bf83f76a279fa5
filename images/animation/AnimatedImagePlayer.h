#pragma once

#include "images/animation/AnimatedImagePlaybackMode.h"
#include "images/core/AnimatedImageProvider.h"
#include "images/core/Image.h"

#include <QString>

#include <functional>
#include <memory>

namespace velmora::images {

class DisplayLink;
class ImageFramePool;

// Plays an animation on the main thread: each display refresh adds the time that passed and
// moves to the next frame once the current one has been shown long enough, while the shared
// frame pool decodes the next frame in the background. A frame not decoded yet keeps the
// previous one on screen; a frame that cannot be decoded is skipped.
class AnimatedImagePlayer {
public:
    // Null for a provider with fewer than 2 frames.
    static std::unique_ptr<AnimatedImagePlayer>
    playerWithProvider(std::shared_ptr<AnimatedImageProvider> provider);
    ~AnimatedImagePlayer();
    AnimatedImagePlayer(const AnimatedImagePlayer&) = delete;
    AnimatedImagePlayer& operator=(const AnimatedImagePlayer&) = delete;

    void startPlaying();
    // Stops the refreshes; frame, index, loop count and time stay.
    void pausePlaying();
    // Stops and goes back to the start.
    void stopPlaying();
    bool isPlaying() const;
    // Ignored for an index past the last frame; otherwise shows that frame at once.
    void seekToFrameAtIndex(unsigned index, unsigned loopCount);
    void clearFrameBuffer();

    const Image& currentFrame() const { return m_currentFrame; }
    unsigned currentFrameIndex() const { return m_currentFrameIndex; }
    unsigned currentLoopCount() const { return m_currentLoopCount; }
    unsigned totalFrameCount() const { return m_totalFrameCount; }
    // A provider still receiving its data (a download in progress) grows its frame count.
    void setTotalFrameCount(unsigned count) { m_totalFrameCount = count; }
    unsigned totalLoopCount() const { return m_totalLoopCount; }
    void setTotalLoopCount(unsigned count) { m_totalLoopCount = count; }
    double playbackRate() const { return m_playbackRate; }
    void setPlaybackRate(double rate) { m_playbackRate = rate; }
    AnimatedImagePlaybackMode playbackMode() const { return m_playbackMode; }
    void setPlaybackMode(AnimatedImagePlaybackMode mode) { m_playbackMode = mode; }
    // The shortest time a frame stays on screen, whatever its delay and the playback rate.
    static constexpr double minimumFrameDelay = 0.02;
    // Bytes of decoded frames to keep, at most the frame pool's per-image bytes; 0 keeps those.
    quint64 maxBufferSize() const { return m_maxBufferSize; }
    void setMaxBufferSize(quint64 bytes) { m_maxBufferSize = bytes; }
    QString runLoopMode() const;
    void setRunLoopMode(const QString& mode);
    static QString defaultRunLoopMode();

    void setAnimationFrameHandler(std::function<void(unsigned index, const Image& frame)> handler) {
        m_frameHandler = std::move(handler);
    }
    void setAnimationLoopHandler(std::function<void(unsigned loopCount)> handler) {
        m_loopHandler = std::move(handler);
    }

    const std::shared_ptr<ImageFramePool>& framePool() const { return m_framePool; }
    const std::shared_ptr<AnimatedImageProvider>& provider() const { return m_provider; }

    // One display refresh that reports `duration` seconds since the previous one. The display
    // link calls it; tests call it with the durations they choose.
    void displayDidRefresh(double duration);

private:
    explicit AnimatedImagePlayer(std::shared_ptr<AnimatedImageProvider> provider);
    DisplayLink& displayLink();
    void setupCurrentFrame();
    void resetCurrentFrameStatus();
    void prefetchFrame(unsigned index, unsigned nextIndex);
    void calculateMaxBufferCount(const Image& frame);

    std::shared_ptr<AnimatedImageProvider> m_provider;
    std::shared_ptr<ImageFramePool> m_framePool;
    std::unique_ptr<DisplayLink> m_displayLink;
    QString m_runLoopMode;

    bool m_bufferMiss = false;
    bool m_needsDisplayWhenImageBecomesAvailable = false;
    bool m_shouldReverse = false;
    Image m_currentFrame;
    unsigned m_currentFrameIndex = 0;
    unsigned m_currentLoopCount = 0;
    unsigned m_totalFrameCount = 0;
    unsigned m_totalLoopCount = 0;
    double m_playbackRate = 1.0;
    AnimatedImagePlaybackMode m_playbackMode = AnimatedImagePlaybackMode::Normal;
    quint64 m_maxBufferSize = 0;
    quint64 m_currentFrameBytes = 0;
    double m_currentTime = 0;
    // Playing without a display link of its own (the refreshes come from outside).
    bool m_playing = false;

    std::function<void(unsigned, const Image&)> m_frameHandler;
    std::function<void(unsigned)> m_loopHandler;
};

} // namespace velmora::images
