#include "images/cache/ImageCacheIoThread.h"

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
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    // A task runs, on the thread or inline for a synchronous caller; never two at once.
    bool busy = false;
    // Synchronous callers waiting for their turn; nobody is woken when nobody waits.
    int waitingCallers = 0;
    std::thread thread;
};

namespace {
// The queue whose task the calling thread is running now, if any.
thread_local const ImageCacheIoThread::State* runningQueue = nullptr;
} // namespace

ImageCacheIoThread::ImageCacheIoThread(const QString& name) : m_state(std::make_shared<State>()) {
    // Linux thread names hold 15 bytes.
    const auto threadName = name.toUtf8().right(15);
    m_state->thread = std::thread([state = m_state, threadName] {
        pthread_setname_np(pthread_self(), threadName.constData());
        runningQueue = state.get();
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(state->mutex);
                state->changed.wait(
                    lock, [&] { return (state->stopping || !state->tasks.empty()) && !state->busy; });
                if (state->tasks.empty()) {
                    return;
                }
                task = std::move(state->tasks.front());
                state->tasks.pop_front();
                state->busy = true;
            }
            task();
            task = nullptr;
            bool wake = false;
            {
                std::lock_guard lock(state->mutex);
                state->busy = false;
                wake = state->waitingCallers > 0;
            }
            if (wake) {
                state->changed.notify_all();
            }
        }
    });
}

ImageCacheIoThread::~ImageCacheIoThread() {
    stop();
}

void ImageCacheIoThread::stop() {
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping) {
            return;
        }
        m_state->stopping = true;
    }
    m_state->changed.notify_all();
    if (m_state->thread.get_id() == std::this_thread::get_id()) {
        // Released by one of its own tasks: the thread ends by itself once the queue is empty.
        m_state->thread.detach();
    } else {
        m_state->thread.join();
    }
}

void ImageCacheIoThread::async(std::function<void()> task) {
    {
        std::lock_guard lock(m_state->mutex);
        // Once stopping, only the thread's own tasks may still add work: it drains the queue
        // before it ends. Anything else would wait for a thread that is gone.
        if (m_state->stopping && runningQueue != m_state.get()) {
            return;
        }
        m_state->tasks.push_back(std::move(task));
    }
    m_state->changed.notify_all();
}

void ImageCacheIoThread::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    // Once everything queued before has run, the caller runs the task itself while the thread waits:
    // the order is kept and the caller is spared two thread switches.
    {
        std::unique_lock lock(m_state->mutex);
        ++m_state->waitingCallers;
        m_state->changed.wait(lock, [&] { return m_state->tasks.empty() && !m_state->busy; });
        --m_state->waitingCallers;
        m_state->busy = true;
    }
    const auto* previous = runningQueue;
    runningQueue = m_state.get();
    task();
    runningQueue = previous;
    bool wake = false;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->busy = false;
        wake = !m_state->tasks.empty() || m_state->waitingCallers > 0 || m_state->stopping;
    }
    if (wake) {
        m_state->changed.notify_all();
    }
}

bool ImageCacheIoThread::isCurrent() const {
    return runningQueue == m_state.get();
}

} // namespace velmora::images
