#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace velmora::images {

// One thread of its own that runs an image cache's disk work, one task at a time in submission
// order. A synchronous task waits for everything queued before it and then runs on the caller's
// thread with the queue held; one submitted from a task of the queue itself runs inline instead of
// waiting on itself. Tasks still queued when the thread object goes away run before the thread ends.
class ImageCacheIoThread {
public:
    explicit ImageCacheIoThread(const QString& name);
    ~ImageCacheIoThread();

    ImageCacheIoThread(const ImageCacheIoThread&) = delete;
    ImageCacheIoThread& operator=(const ImageCacheIoThread&) = delete;

    void async(std::function<void()> task);
    void sync(const std::function<void()>& task);
    bool isCurrent() const;
    // Runs what is queued and ends the thread, as the destructor does, for a queue that lives on.
    // Later asynchronous tasks are dropped; synchronous ones run on the caller's thread.
    void stop();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace velmora::images
