#include "images/cache/ImageCacheToken.h"

#include "images/core/CallbackQueue.h"

namespace velmora::images {

ImageCacheToken::ImageCacheToken(QString key, ImageCacheQueryCompletion done,
                                 std::shared_ptr<CallbackQueue> callbackQueue)
    : m_key(std::move(key)), m_callbackQueue(std::move(callbackQueue)), m_done(std::move(done)) {}

void ImageCacheToken::cancel() {
    ImageCacheQueryCompletion done;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled) {
            return;
        }
        m_cancelled = true;
        done = std::move(m_done);
        m_done = nullptr;
    }
    if (!done) {
        return; // already answered
    }
    const auto queue = m_callbackQueue ? m_callbackQueue : CallbackQueue::mainQueue();
    queue->async([done = std::move(done)] { done(Image(), std::nullopt, ImageCacheType::None); });
}

bool ImageCacheToken::isCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

ImageCacheQueryCompletion ImageCacheToken::takeDone() {
    std::lock_guard lock(m_mutex);
    auto done = std::move(m_done);
    m_done = nullptr;
    return done;
}

} // namespace velmora::images
