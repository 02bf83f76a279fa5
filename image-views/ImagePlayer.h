#pragma once

#include "images/animation/AnimatedImagePlaybackMode.h"
#include "images/animation/AnimatedImagePlayer.h"
#include "images/core/Image.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace velmora::imageviews {

// Plays an animated image for a view: it wraps one frame player and republishes the frame
// that shows, its index and the loop count, announcing each change before it is made.
// Main thread only.
class ImagePlayer : public QObject {
    Q_OBJECT
public:
    explicit ImagePlayer(QObject* parent = nullptr);
    // Stops a playing player first.
    ~ImagePlayer() override;

    // Read once, when the player is set up.
    std::optional<quint64> maxBufferSize;
    std::optional<unsigned> customLoopCount;
    QString runLoopMode = images::AnimatedImagePlayer::defaultRunLoopMode();
    double playbackRate = 1.0;
    images::AnimatedImagePlaybackMode playbackMode = images::AnimatedImagePlaybackMode::Normal;

    images::AnimatedImagePlayer* player() const { return m_player.get(); }
    bool isValid() const { return static_cast<bool>(m_player); }
    bool isPlaying() const { return m_player && m_player->isPlaying(); }
    void startPlaying();
    void pausePlaying();
    void stopPlaying();
    void clearFrameBuffer();
    void seekToFrame(unsigned index, unsigned loopCount);

    // Makes the frame player for an animated image, once; a still image (fewer than two
    // frames) makes none. Playing starts with `startPlaying`.
    void setupPlayer(const images::Image& animatedImage);
    // Drops the frame player and the published state, so another image can be set up.
    void resetPlayer();

    images::Image currentFrame() const { return m_currentFrame; }
    void setCurrentFrame(const images::Image& frame);
    unsigned currentFrameIndex() const { return m_currentFrameIndex; }
    void setCurrentFrameIndex(unsigned index);
    unsigned currentLoopCount() const { return m_currentLoopCount; }
    void setCurrentLoopCount(unsigned count);
    images::Image currentAnimatedImage() const { return m_currentAnimatedImage; }

signals:
    void objectWillChange();

private:
    std::unique_ptr<images::AnimatedImagePlayer> m_player;
    images::Image m_currentFrame;
    unsigned m_currentFrameIndex = 0;
    unsigned m_currentLoopCount = 0;
    images::Image m_currentAnimatedImage;
};

} // namespace velmora::imageviews
