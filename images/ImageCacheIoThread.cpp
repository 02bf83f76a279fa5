#include "images/ImageCacheIoThread.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace velmora::images {

// Shared with the running thread, so the thread may outlive its owner when the owner is released
// by one of the thread's own tasks.
struct ImageCacheIoThread::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::thread thread;
    std::thread::id id;
};

ImageCacheIoThread::ImageCacheIoThread(const QString& name) : m_state(std::make_shared<State>()) {
    std::promise<void> started;
    auto ready = started.get_future();
    // Linux thread names hold 15 bytes.
    const auto threadName = name.toUtf8().right(15);
    m_state->thread = std::thread([state = m_state, threadName, &started] {
        pthread_setname_np(pthread_self(), threadName.constData());
        state->id = std::this_thread::get_id();
        started.set_value();
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(state->mutex);
                state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
                if (state->tasks.empty()) {
                    return;
                }
                task = std::move(state->tasks.front());
                state->tasks.pop_front();
            }
            task();
        }
    });
    ready.wait();
}

ImageCacheIoThread::~ImageCacheIoThread() {
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake.notify_one();
    if (isCurrent()) {
        // Released by one of its own tasks: the thread ends by itself once the queue is empty.
        m_state->thread.detach();
    } else {
        m_state->thread.join();
    }
}

void ImageCacheIoThread::async(std::function<void()> task) {
    {
        std::lock_guard lock(m_state->mutex);
        m_state->tasks.push_back(std::move(task));
    }
    m_state->wake.notify_one();
}

void ImageCacheIoThread::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> finished;
    auto done = finished.get_future();
    async([&] {
        task();
        finished.set_value();
    });
    done.wait();
}

bool ImageCacheIoThread::isCurrent() const {
    return std::this_thread::get_id() == m_state->id;
}

} // namespace velmora::images
