#include "images/core/DispatchQueue.h"

#include "images/core/ImageLibraryLog.h"
#include "images/core/Teardown.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>

namespace velmora::images {

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    Kind kind = Kind::Main;
    QString label;
    int priority = 0;

    // Serial queues.
    std::mutex mutex;
    std::deque<std::function<void()>> pending;
    bool draining = false;

    // Thread queues: an object living in that thread receives the tasks.
    QPointer<QObject> receiver;
};

namespace {

thread_local DispatchQueue::Impl* runningQueue = nullptr;

// How long the teardown waits for a pool: a task stuck on something outside the library must not
// keep the process from ending.
constexpr int teardownWaitMs = 5000;

// How long an idle pool thread waits for more work before it ends.
constexpr int idleThreadExpiryMs = 2000;

// The pool the serial and concurrent queues run on. Its own, so that tasks of the library that
// wait for each other never starve the application's pool, and larger than the core count
// because serial queues may block on disk.
QThreadPool& pool() {
    static QThreadPool* instance = [] {
        auto* created = new QThreadPool;
        created->setMaxThreadCount(std::max(16, QThread::idealThreadCount() * 2));
        created->setObjectName(libraryPrefix() + QStringLiteral(".pool"));
        // An idle thread wakes once more to end: a moment after the work, while the app
        // is awake anyway, not half a minute later in the quiet that follows.
        created->setExpiryTimeout(idleThreadExpiryMs);
        // Kept for the process's life; its tasks finish before the statics they use go.
        Teardown::add(Teardown::Stage::Work, [created] { created->waitForDone(teardownWaitMs); });
        return created;
    }();
    return *instance;
}

class RunningScope {
public:
    explicit RunningScope(DispatchQueue::Impl* queue) : m_previous(runningQueue) { runningQueue = queue; }
    ~RunningScope() { runningQueue = m_previous; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    DispatchQueue::Impl* m_previous;
};

bool onMainThread() {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void drain(const std::shared_ptr<DispatchQueue::Impl>& queue) {
    RunningScope scope(queue.get());
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(queue->mutex);
            if (queue->pending.empty()) {
                queue->draining = false;
                return;
            }
            task = std::move(queue->pending.front());
            queue->pending.pop_front();
        }
        task();
    }
}

std::shared_ptr<DispatchQueue::Impl> makeImpl(DispatchQueue::Kind kind, const QString& label,
                                              int priority = 0) {
    auto impl = std::make_shared<DispatchQueue::Impl>();
    impl->kind = kind;
    impl->label = label;
    impl->priority = priority;
    return impl;
}

} // namespace

DispatchQueue DispatchQueue::main() {
    static const auto impl = makeImpl(Kind::Main, QStringLiteral("main"));
    return DispatchQueue(impl);
}

DispatchQueue DispatchQueue::global() {
    static const auto impl = makeImpl(Kind::Concurrent, libraryPrefix() + QStringLiteral(".global"), 1);
    return DispatchQueue(impl);
}

DispatchQueue DispatchQueue::serial(const QString& label) {
    return DispatchQueue(makeImpl(Kind::Serial, label));
}

DispatchQueue DispatchQueue::concurrent(const QString& label) {
    return DispatchQueue(makeImpl(Kind::Concurrent, label));
}

DispatchQueue DispatchQueue::current() {
    if (runningQueue) {
        return DispatchQueue(runningQueue->shared_from_this());
    }
    if (onMainThread()) {
        return main();
    }
    // A thread of its own: tasks reach it through an object living there, which goes away
    // with the thread.
    thread_local std::shared_ptr<Impl> threadQueue;
    thread_local std::unique_ptr<QObject> receiver;
    if (!threadQueue) {
        receiver = std::make_unique<QObject>();
        threadQueue = makeImpl(Kind::Thread, QThread::currentThread()->objectName());
        threadQueue->receiver = receiver.get();
    }
    return DispatchQueue(threadQueue);
}

DispatchQueue::Kind DispatchQueue::kind() const {
    return m_impl ? m_impl->kind : Kind::Main;
}

QString DispatchQueue::label() const {
    return m_impl ? m_impl->label : QString();
}

bool DispatchQueue::isCurrent() const {
    if (!m_impl) {
        return false;
    }
    switch (m_impl->kind) {
    case Kind::Main:
        return onMainThread() && !runningQueue;
    case Kind::Serial:
    case Kind::Concurrent:
        return runningQueue == m_impl.get();
    case Kind::Thread:
        return !runningQueue && m_impl->receiver && m_impl->receiver->thread() == QThread::currentThread();
    }
    return false;
}

void DispatchQueue::async(std::function<void()> task) const {
    if (!m_impl || !task) {
        return;
    }
    switch (m_impl->kind) {
    case Kind::Main: {
        if (Teardown::hasBegun()) {
            // The objects such a task would reach are being taken apart.
            return;
        }
        auto* app = QCoreApplication::instance();
        if (!app) {
            qCWarning(imageLibraryLog) << "No application object: a task for the main queue runs at once";
            task();
            return;
        }
        QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
        return;
    }
    case Kind::Thread:
        if (m_impl->receiver) {
            QMetaObject::invokeMethod(m_impl->receiver.data(), std::move(task), Qt::QueuedConnection);
        }
        return;
    case Kind::Serial: {
        bool start = false;
        {
            std::lock_guard lock(m_impl->mutex);
            m_impl->pending.push_back(std::move(task));
            if (!m_impl->draining) {
                m_impl->draining = true;
                start = true;
            }
        }
        if (start) {
            pool().start([queue = m_impl] { drain(queue); }, m_impl->priority);
        }
        return;
    }
    case Kind::Concurrent:
        pool().start(
            [queue = m_impl, task = std::move(task)] {
                RunningScope scope(queue.get());
                task();
            },
            m_impl->priority);
        return;
    }
}

void DispatchQueue::sync(std::function<void()> task) const {
    if (!m_impl || !task) {
        return;
    }
    if (isCurrent()) {
        task();
        return;
    }
    if (m_impl->kind == Kind::Main && !QCoreApplication::instance()) {
        task();
        return;
    }
    if (m_impl->kind == Kind::Thread && !m_impl->receiver) {
        // Its thread has ended: nobody would ever run the task.
        return;
    }
    // Shared with the submitted task: a wait for the main thread gives up once the teardown
    // began, since the main thread then runs no more tasks.
    struct Handoff {
        std::function<void()> task;
        std::promise<void> done;
        std::atomic<bool> abandoned{false};
    };
    auto handoff = std::make_shared<Handoff>();
    handoff->task = std::move(task);
    auto finished = handoff->done.get_future();
    async([handoff] {
        if (!handoff->abandoned) {
            handoff->task();
        }
        handoff->done.set_value();
    });
    if (m_impl->kind != Kind::Main) {
        finished.wait();
        return;
    }
    while (finished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (Teardown::hasBegun()) {
            handoff->abandoned = true;
            return;
        }
    }
}

} // namespace velmora::images
