#include "images/animation/ImageFramePool.h"

#include "images/core/ImageLibraryLog.h"

#include <map>

namespace velmora::images {

namespace {

struct Registration {
    std::shared_ptr<ImageFramePool> pool;
    unsigned count = 0;
};

std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<const AnimatedImageProvider*, Registration>& table() {
    static std::map<const AnimatedImageProvider*, Registration> instance;
    return instance;
}

unsigned distance(unsigned a, unsigned b) {
    return a > b ? a - b : b - a;
}

} // namespace

std::shared_ptr<ImageFramePool>
ImageFramePool::registerProvider(const std::shared_ptr<AnimatedImageProvider>& provider) {
    if (!provider) {
        return nullptr;
    }
    std::lock_guard lock(tableMutex());
    Registration& registration = table()[provider.get()];
    if (!registration.pool) {
        registration.pool = std::make_shared<ImageFramePool>(provider);
    }
    ++registration.count;
    return registration.pool;
}

void ImageFramePool::unregisterProvider(const AnimatedImageProvider* provider) {
    std::shared_ptr<ImageFramePool> released;
    {
        std::lock_guard lock(tableMutex());
        const auto it = table().find(provider);
        if (it == table().end()) {
            return;
        }
        if (--it->second.count == 0) {
            released = std::move(it->second.pool);
            table().erase(it);
        }
    }
    // The pool goes outside the table's lock.
    released.reset();
}

std::shared_ptr<ImageFramePool> ImageFramePool::poolForProvider(const AnimatedImageProvider* provider) {
    std::lock_guard lock(tableMutex());
    const auto it = table().find(provider);
    return it == table().end() ? nullptr : it->second.pool;
}

ImageFramePool::ImageFramePool(std::weak_ptr<AnimatedImageProvider> provider)
    : m_provider(std::move(provider)),
      m_fetchQueue(DispatchQueue::serial(libraryPrefix() + QStringLiteral(".VIImageFramePool.fetchQueue"))) {}

Image ImageFramePool::frameAtIndex(unsigned index) const {
    std::lock_guard lock(m_mutex);
    return m_buffer.value(index);
}

void ImageFramePool::trimLocked(unsigned keep) {
    const unsigned limit = m_maxBufferCount;
    if (limit == 0) {
        return;
    }
    while (unsigned(m_buffer.size()) > limit) {
        // The frame farthest from the one kept goes first.
        unsigned farthest = keep;
        for (auto it = m_buffer.cbegin(); it != m_buffer.cend(); ++it) {
            if (it.key() != keep &&
                (farthest == keep || distance(it.key(), keep) > distance(farthest, keep))) {
                farthest = it.key();
            }
        }
        if (farthest == keep) {
            break;
        }
        m_buffer.remove(farthest);
    }
}

void ImageFramePool::setFrame(const Image& frame, unsigned index) {
    std::lock_guard lock(m_mutex);
    if (frame.isNull()) {
        m_buffer.remove(index);
        return;
    }
    m_failed.remove(index);
    m_buffer.insert(index, frame);
    trimLocked(index);
}

void ImageFramePool::removeFrameAtIndex(unsigned index) {
    std::lock_guard lock(m_mutex);
    m_buffer.remove(index);
}

void ImageFramePool::removeAllFrames() {
    std::lock_guard lock(m_mutex);
    m_buffer.clear();
}

unsigned ImageFramePool::currentFrameCount() const {
    std::lock_guard lock(m_mutex);
    return unsigned(m_buffer.size());
}

void ImageFramePool::setMaxBufferCount(unsigned count) {
    m_maxBufferCount = count;
    std::lock_guard lock(m_mutex);
    if (!m_buffer.isEmpty()) {
        trimLocked(m_buffer.cbegin().key());
    }
}

bool ImageFramePool::hasFailedFrame(unsigned index) const {
    std::lock_guard lock(m_mutex);
    return m_failed.contains(index);
}

void ImageFramePool::prefetchFrameAtIndex(unsigned index) {
    {
        std::lock_guard lock(m_mutex);
        if (unsigned(m_buffer.size()) > m_maxBufferCount) {
            m_buffer.remove(index - 1);
            m_buffer.remove(index + 1);
        }
    }
    const auto provider = m_provider.lock();
    if (!provider || m_fetching.exchange(true)) {
        return;
    }
    std::weak_ptr<ImageFramePool> weakPool = weak_from_this();
    m_fetchQueue.async([weakPool, provider, index] {
        const Image frame = provider->animatedImageFrameAtIndex(index);
        if (const auto pool = weakPool.lock()) {
            if (frame.isNull()) {
                std::lock_guard lock(pool->m_mutex);
                pool->m_failed.insert(index);
            } else {
                pool->setFrame(frame, index);
            }
            pool->m_fetching = false;
        }
    });
}

} // namespace velmora::images
