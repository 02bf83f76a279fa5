#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace velmora::images {

// A queue that runs tasks: the main (GUI) thread, a serial queue (one task at a time, in
// order, on the library's thread pool), a concurrent queue (the pool itself), or the queue of
// a plain thread that runs an event loop. A handle: copies are the same queue.
class DispatchQueue {
public:
    enum class Kind { Main, Serial, Concurrent, Thread };

    DispatchQueue() = default;

    static DispatchQueue main();
    // The shared concurrent queue of high priority.
    static DispatchQueue global();
    static DispatchQueue serial(const QString& label);
    static DispatchQueue concurrent(const QString& label);
    // The queue the caller runs on: the queue whose task is running, the main queue on the GUI
    // thread, else the queue of the calling thread (which needs an event loop to run tasks).
    static DispatchQueue current();

    bool isNull() const { return !m_impl; }
    Kind kind() const;
    QString label() const;
    // True when the caller runs on this queue.
    bool isCurrent() const;

    void async(std::function<void()> task) const;
    // Runs the task and waits for it; on the caller's own queue it runs at once instead of
    // waiting for itself.
    void sync(std::function<void()> task) const;

    bool operator==(const DispatchQueue& other) const { return m_impl == other.m_impl; }

    struct Impl;

private:
    explicit DispatchQueue(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}
    std::shared_ptr<Impl> m_impl;
};

} // namespace velmora::images
