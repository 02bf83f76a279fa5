#pragma once

#include "images/core/AnimatedImageProvider.h"
#include "images/core/DispatchQueue.h"
#include "images/core/Image.h"

#include <QHash>
#include <QSet>

#include <atomic>
#include <memory>
#include <mutex>

namespace velmora::images {

// Decoded frames of one animation, shared by every player of that provider, with one
// background fetch at a time. The buffer never holds more than its limit (once set), nor more
// bytes than the per-image budget, nor more than its share of what all pools together may hold:
// storing a frame evicts the ones farthest from it, and a single frame is always kept.
class ImageFramePool : public std::enable_shared_from_this<ImageFramePool> {
public:
    // The pool of the provider, made on its first registration; each registration counts.
    static std::shared_ptr<ImageFramePool>
    registerProvider(const std::shared_ptr<AnimatedImageProvider>& provider);
    // Drops one registration; the pool leaves the table with the last one.
    static void unregisterProvider(const AnimatedImageProvider* provider);
    // The registered pool of the provider, if any.
    static std::shared_ptr<ImageFramePool> poolForProvider(const AnimatedImageProvider* provider);

    explicit ImageFramePool(std::weak_ptr<AnimatedImageProvider> provider);
    ~ImageFramePool();

    Image frameAtIndex(unsigned index) const;
    // A null image removes the frame.
    void setFrame(const Image& frame, unsigned index);
    void removeFrameAtIndex(unsigned index);
    void removeAllFrames();
    unsigned currentFrameCount() const;
    // Bytes of the frames this pool holds, and of those all pools hold.
    quint64 currentBytes() const;
    static quint64 totalBytes();
    // What one pool, and all pools together, may hold.
    static constexpr quint64 maxBytesPerImage = 16u * 1024u * 1024u;
    static constexpr quint64 maxTotalBytes = 48u * 1024u * 1024u;

    unsigned maxBufferCount() const { return m_maxBufferCount; }
    void setMaxBufferCount(unsigned count);
    unsigned maxConcurrentCount() const { return 1; }

    // Drops the neighbours of the index when over the limit, then, unless a fetch is already
    // under way, fetches the frame in the background.
    void prefetchFrameAtIndex(unsigned index);
    // True when the provider could not make that frame.
    bool hasFailedFrame(unsigned index) const;
    // True while a fetch is queued or running.
    bool isFetching() const { return m_fetching.load(); }
    void didReceiveMemoryWarning() { removeAllFrames(); }

private:
    void trimLocked(unsigned keep);
    void trimToLocked(unsigned keep, unsigned limit);
    void trimAllToOneFrame();
    void insertLocked(unsigned index, const Image& frame);
    void removeLocked(unsigned index);
    void clearLocked();

    std::weak_ptr<AnimatedImageProvider> m_provider;
    mutable std::mutex m_mutex;
    QHash<unsigned, Image> m_buffer;
    QSet<unsigned> m_failed;
    quint64 m_bytes = 0;
    unsigned m_lastStored = 0;
    std::atomic<unsigned> m_maxBufferCount{0};
    std::atomic<bool> m_fetching{false};
    DispatchQueue m_fetchQueue;
};

} // namespace velmora::images
