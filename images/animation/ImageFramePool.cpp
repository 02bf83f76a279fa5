#include "images/animation/ImageFramePool.h"

#include "images/core/ImageLibraryLog.h"

#include <map>
#include <set>

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

std::atomic<quint64>& allPoolsBytes() {
    static std::atomic<quint64> bytes{0};
    return bytes;
}

// Every pool alive, so that one over the total can make the others give back frames.
std::mutex& livePoolsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<ImageFramePool*>& livePools() {
    static std::set<ImageFramePool*> pools;
    return pools;
}

quint64 frameBytes(const Image& frame) {
    const QImage bitmap = frame.bitmap();
    return bitmap.isNull() ? 0 : quint64(bitmap.sizeInBytes());
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
      m_fetchQueue(DispatchQueue::serial(libraryPrefix() + QStringLiteral(".VIImageFramePool.fetchQueue"))) {
    std::lock_guard lock(livePoolsMutex());
    livePools().insert(this);
}

ImageFramePool::~ImageFramePool() {
    {
        std::lock_guard lock(livePoolsMutex());
        livePools().erase(this);
    }
    std::lock_guard lock(m_mutex);
    clearLocked();
}

void ImageFramePool::trimAllToOneFrame() {
    // Over the total, pools keep only the frame they stored last until it holds again. Lock
    // order: the table of pools, then one pool at a time; never with a pool's lock held first.
    std::lock_guard pools(livePoolsMutex());
    for (ImageFramePool* pool : livePools()) {
        if (allPoolsBytes().load() <= maxTotalBytes) {
            return;
        }
        std::lock_guard lock(pool->m_mutex);
        if (pool->m_buffer.size() > 1) {
            pool->trimToLocked(pool->m_lastStored, 1);
        }
    }
}

quint64 ImageFramePool::totalBytes() {
    return allPoolsBytes().load();
}

quint64 ImageFramePool::currentBytes() const {
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

void ImageFramePool::insertLocked(unsigned index, const Image& frame) {
    removeLocked(index);
    const quint64 bytes = frameBytes(frame);
    m_buffer.insert(index, frame);
    m_bytes += bytes;
    allPoolsBytes() += bytes;
}

void ImageFramePool::removeLocked(unsigned index) {
    const auto it = m_buffer.find(index);
    if (it == m_buffer.end()) {
        return;
    }
    const quint64 bytes = frameBytes(it.value());
    m_buffer.erase(it);
    m_bytes -= bytes;
    allPoolsBytes() -= bytes;
}

void ImageFramePool::clearLocked() {
    allPoolsBytes() -= m_bytes;
    m_bytes = 0;
    m_buffer.clear();
}

Image ImageFramePool::frameAtIndex(unsigned index) const {
    std::lock_guard lock(m_mutex);
    return m_buffer.value(index);
}

void ImageFramePool::trimLocked(unsigned keep) {
    trimToLocked(keep, m_maxBufferCount);
}

void ImageFramePool::trimToLocked(unsigned keep, unsigned limit) {
    // Frames are decoded again when wanted; memory held for an animation is not given back
    // until it goes, so every pool stays within its bytes (and all of them within theirs, see
    // trimAllToOneFrame).
    const auto over = [&] {
        return (limit != 0 && unsigned(m_buffer.size()) > limit) || m_bytes > maxBytesPerImage;
    };
    while (over()) {
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
        removeLocked(farthest);
    }
}

void ImageFramePool::setFrame(const Image& frame, unsigned index) {
    if (frame.isNull()) {
        std::lock_guard lock(m_mutex);
        removeLocked(index);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_failed.remove(index);
        insertLocked(index, frame);
        m_lastStored = index;
        trimLocked(index);
    }
    if (allPoolsBytes().load() > maxTotalBytes) {
        trimAllToOneFrame();
    }
}

void ImageFramePool::removeFrameAtIndex(unsigned index) {
    std::lock_guard lock(m_mutex);
    removeLocked(index);
}

void ImageFramePool::removeAllFrames() {
    std::lock_guard lock(m_mutex);
    clearLocked();
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
            removeLocked(index - 1);
            removeLocked(index + 1);
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
