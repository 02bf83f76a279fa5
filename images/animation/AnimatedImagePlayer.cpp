#include "images/animation/AnimatedImagePlayer.h"

#include "images/animation/DisplayLink.h"
#include "images/animation/ImageFramePool.h"

#include <QThread>

#include <cmath>

namespace velmora::images {

namespace {

// Seconds a frame stays on screen at a rate: never less than the shortest frame delay, so no
// animation (nor a fast playback rate) is drawn and decoded more than 50 times a second.
double shownFor(double duration, double rate) {
    const double shown = duration / rate;
    return std::isfinite(shown) && shown > AnimatedImagePlayer::minimumFrameDelay
               ? shown
               : AnimatedImagePlayer::minimumFrameDelay;
}

} // namespace

std::unique_ptr<AnimatedImagePlayer>
AnimatedImagePlayer::playerWithProvider(std::shared_ptr<AnimatedImageProvider> provider) {
    if (!provider || provider->animatedImageFrameCount() < 2) {
        return nullptr;
    }
    return std::unique_ptr<AnimatedImagePlayer>(new AnimatedImagePlayer(std::move(provider)));
}

AnimatedImagePlayer::AnimatedImagePlayer(std::shared_ptr<AnimatedImageProvider> provider)
    : m_provider(std::move(provider)) {
    m_totalFrameCount = m_provider->animatedImageFrameCount();
    m_totalLoopCount = m_provider->animatedImageLoopCount();
    m_framePool = ImageFramePool::registerProvider(m_provider);
}

AnimatedImagePlayer::~AnimatedImagePlayer() {
    m_displayLink.reset();
    m_framePool.reset();
    ImageFramePool::unregisterProvider(m_provider.get());
}

QString AnimatedImagePlayer::defaultRunLoopMode() {
    return QThread::idealThreadCount() < 2 ? QStringLiteral("default") : QStringLiteral("common");
}

QString AnimatedImagePlayer::runLoopMode() const {
    return m_runLoopMode.isNull() ? defaultRunLoopMode() : m_runLoopMode;
}

void AnimatedImagePlayer::setRunLoopMode(const QString& mode) {
    if (mode == m_runLoopMode) {
        return;
    }
    if (m_displayLink) {
        m_displayLink->removeFromRunLoop(runLoopMode());
        if (!mode.isEmpty()) {
            m_displayLink->addToRunLoop(mode);
        }
    }
    m_runLoopMode = mode;
}

DisplayLink& AnimatedImagePlayer::displayLink() {
    if (!m_displayLink) {
        m_displayLink =
            std::make_unique<DisplayLink>([this](DisplayLink& link) { displayDidRefresh(link.duration()); });
        m_displayLink->addToRunLoop(runLoopMode());
        m_displayLink->stop();
    }
    return *m_displayLink;
}

void AnimatedImagePlayer::startPlaying() {
    m_playing = true;
    displayLink().start();
    setupCurrentFrame();
}

void AnimatedImagePlayer::pausePlaying() {
    m_playing = false;
    if (m_displayLink) {
        m_displayLink->stop();
    }
}

void AnimatedImagePlayer::stopPlaying() {
    pausePlaying();
    resetCurrentFrameStatus();
}

bool AnimatedImagePlayer::isPlaying() const {
    return m_playing;
}

void AnimatedImagePlayer::resetCurrentFrameStatus() {
    m_currentFrame = Image();
    m_currentFrameIndex = 0;
    m_currentLoopCount = 0;
    m_currentTime = 0;
    m_bufferMiss = false;
    m_needsDisplayWhenImageBecomesAvailable = false;
}

void AnimatedImagePlayer::setupCurrentFrame() {
    if (m_currentFrameIndex != 0) {
        return;
    }
    if (m_playbackMode == AnimatedImagePlaybackMode::Reverse ||
        m_playbackMode == AnimatedImagePlaybackMode::ReversedBounce) {
        m_currentFrameIndex = m_totalFrameCount - 1;
    }
    if (m_currentFrame.isNull()) {
        Image poster = m_framePool->frameAtIndex(m_currentFrameIndex);
        if (poster.isNull()) {
            poster = m_provider->animatedImageFrameAtIndex(m_currentFrameIndex);
        }
        if (!poster.isNull()) {
            calculateMaxBufferCount(poster);
            m_needsDisplayWhenImageBecomesAvailable = true;
            m_framePool->setFrame(poster, m_currentFrameIndex);
        }
    }
}

void AnimatedImagePlayer::seekToFrameAtIndex(unsigned index, unsigned loopCount) {
    if (index >= m_totalFrameCount) {
        return;
    }
    m_currentFrameIndex = index;
    m_currentLoopCount = loopCount;
    m_currentFrame = m_provider->animatedImageFrameAtIndex(index);
    if (m_frameHandler) {
        m_frameHandler(index, m_currentFrame);
    }
}

void AnimatedImagePlayer::clearFrameBuffer() {
    m_framePool->removeAllFrames();
}

void AnimatedImagePlayer::calculateMaxBufferCount(const Image& frame) {
    quint64 frameBytes = m_currentFrameBytes;
    if (frameBytes == 0) {
        const QImage bitmap = frame.bitmap();
        frameBytes = bitmap.isNull() ? 0 : quint64(bitmap.bytesPerLine()) * quint64(bitmap.height());
        if (frameBytes != 0) {
            m_currentFrameBytes = frameBytes;
        } else {
            frameBytes = 1024;
        }
    }
    // The pool holds no more than its per-image bytes whatever is asked; a share of the machine's
    // memory would let one picture take gigabytes.
    quint64 budget = m_maxBufferSize;
    if (budget == 0 || budget > ImageFramePool::maxBytesPerImage) {
        budget = ImageFramePool::maxBytesPerImage;
    }
    m_framePool->setMaxBufferCount(unsigned(std::max<quint64>(budget / frameBytes, 1)));
}

void AnimatedImagePlayer::prefetchFrame(unsigned index, unsigned nextIndex) {
    unsigned wanted = index;
    if (!m_bufferMiss) {
        wanted = nextIndex;
        if (!m_framePool->frameAtIndex(wanted).isNull()) {
            return;
        }
    }
    if (m_framePool->currentFrameCount() < m_totalFrameCount) {
        calculateMaxBufferCount(m_currentFrame);
        m_framePool->prefetchFrameAtIndex(wanted);
    }
}

void AnimatedImagePlayer::displayDidRefresh(double duration) {
    if (!isPlaying()) {
        return;
    }
    if (m_totalFrameCount <= 1 || !(m_playbackRate > 0)) {
        stopPlaying();
        return;
    }
    const double d = (std::isfinite(duration) && duration > 0) ? duration : 0.0;
    const unsigned i = m_currentFrameIndex;
    const unsigned n = m_totalFrameCount;
    unsigned next = 0;
    switch (m_playbackMode) {
    case AnimatedImagePlaybackMode::Normal:
        next = (i + 1) % n;
        break;
    case AnimatedImagePlaybackMode::Reverse:
        next = i == 0 ? n - 1 : i - 1;
        break;
    case AnimatedImagePlaybackMode::Bounce:
    case AnimatedImagePlaybackMode::ReversedBounce:
        if (i == n - 1 || i == 0) {
            m_shouldReverse = i != 0;
        }
        next = (m_shouldReverse ? i - 1 : i + 1) % n;
        break;
    }

    if (m_needsDisplayWhenImageBecomesAvailable) {
        const Image frame = m_framePool->frameAtIndex(i);
        if (!frame.isNull()) {
            m_currentFrame = frame;
            if (m_frameHandler) {
                m_frameHandler(i, frame);
            }
            m_bufferMiss = false;
            m_needsDisplayWhenImageBecomesAvailable = false;
        } else if (m_framePool->hasFailedFrame(i)) {
            // A frame that cannot be decoded is passed over: the previous one stays.
            m_bufferMiss = false;
            m_needsDisplayWhenImageBecomesAvailable = false;
        } else {
            m_bufferMiss = true;
        }
    }

    if (!m_bufferMiss) {
        m_currentTime += d;
        const double displayTime = shownFor(m_provider->animatedImageDurationAtIndex(i), m_playbackRate);
        if (m_currentTime < displayTime) {
            prefetchFrame(i, next);
            return;
        }
        m_needsDisplayWhenImageBecomesAvailable = true;
        m_currentFrameIndex = next;
        m_currentTime -= displayTime;
        // A long stall moves on by one frame only.
        const double nextDisplayTime =
            shownFor(m_provider->animatedImageDurationAtIndex(next), m_playbackRate);
        m_currentTime = std::min(m_currentTime, nextDisplayTime);
        if (next == 0) {
            ++m_currentLoopCount;
            if (m_loopHandler) {
                m_loopHandler(m_currentLoopCount);
            }
            if (m_totalLoopCount != 0 && m_currentLoopCount >= m_totalLoopCount) {
                stopPlaying();
                return;
            }
        }
    }
    if (isPlaying()) {
        prefetchFrame(i, next);
    }
}

} // namespace velmora::images
