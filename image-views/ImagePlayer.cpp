#include "image-views/ImagePlayer.h"

#include <QPointer>

namespace velmora::imageviews {

ImagePlayer::ImagePlayer(QObject* parent) : QObject(parent) {}

ImagePlayer::~ImagePlayer() {
    if (m_player) {
        m_player->stopPlaying();
    }
}

void ImagePlayer::startPlaying() {
    if (m_player) {
        m_player->startPlaying();
    }
}

void ImagePlayer::pausePlaying() {
    if (m_player) {
        m_player->pausePlaying();
    }
}

void ImagePlayer::stopPlaying() {
    if (m_player) {
        m_player->stopPlaying();
    }
}

void ImagePlayer::clearFrameBuffer() {
    if (m_player) {
        m_player->clearFrameBuffer();
    }
}

void ImagePlayer::seekToFrame(unsigned index, unsigned loopCount) {
    if (m_player) {
        m_player->seekToFrameAtIndex(index, loopCount);
    }
}

void ImagePlayer::setCurrentFrame(const images::Image& frame) {
    emit objectWillChange();
    m_currentFrame = frame;
}

void ImagePlayer::setCurrentFrameIndex(unsigned index) {
    emit objectWillChange();
    m_currentFrameIndex = index;
}

void ImagePlayer::setCurrentLoopCount(unsigned count) {
    emit objectWillChange();
    m_currentLoopCount = count;
}

void ImagePlayer::setupPlayer(const images::Image& animatedImage) {
    if (m_player) {
        return;
    }
    m_currentAnimatedImage = animatedImage;
    const auto provider = animatedImage.animatedProvider();
    auto player = provider ? images::AnimatedImagePlayer::playerWithProvider(provider) : nullptr;
    if (!player) {
        return;
    }
    QPointer<ImagePlayer> self(this);
    // Changes reported while paused or stopped (a seek, say) are not published.
    player->setAnimationFrameHandler([self](unsigned index, const images::Image& frame) {
        if (!self || !self->m_player || !self->m_player->isPlaying()) {
            return;
        }
        self->setCurrentFrameIndex(index);
        self->setCurrentFrame(frame);
    });
    player->setAnimationLoopHandler([self](unsigned loopCount) {
        if (!self || !self->m_player || !self->m_player->isPlaying()) {
            return;
        }
        self->setCurrentLoopCount(loopCount);
    });
    if (maxBufferSize) {
        player->setMaxBufferSize(*maxBufferSize);
    }
    if (customLoopCount) {
        player->setTotalLoopCount(*customLoopCount);
    }
    player->setRunLoopMode(runLoopMode);
    player->setPlaybackRate(playbackRate);
    player->setPlaybackMode(playbackMode);
    m_player = std::move(player);
}

void ImagePlayer::resetPlayer() {
    if (m_player) {
        m_player->stopPlaying();
    }
    m_player.reset();
    // Forgotten too: a still image that follows sets up no player, and a view comparing it
    // with the old image would reset again on every evaluation.
    m_currentAnimatedImage = {};
    setCurrentFrame({});
    setCurrentFrameIndex(0);
    setCurrentLoopCount(0);
}

} // namespace velmora::imageviews
