#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

class OperationQueue;

// A unit of work for an OperationQueue: ready once its dependencies have finished (or
// once it is cancelled), then started by its queue on a worker thread. A plain
// operation does its work in `main` and is finished when `main` returns; an
// asynchronous one answers `isAsynchronous` with true, starts its work in `start` and
// reports the end itself through `markFinished`.
//
// State changes are reported to the queue and to dependent operations after the
// operation's own lock is released, so no observer ever runs under that lock.
class Operation : public std::enable_shared_from_this<Operation> {
public:
    enum class QueuePriority { VeryLow = -8, Low = -4, Normal = 0, High = 4, VeryHigh = 8 };

    Operation() = default;
    virtual ~Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Called by the queue. The default checks cancellation, runs `main` and finishes.
    virtual void start();
    // Marks the operation cancelled; a queued one is then started only to finish at once.
    virtual void cancel();

    bool isCancelled() const { return m_cancelled.load(); }
    bool isExecuting() const { return m_executing.load(); }
    bool isFinished() const { return m_finished.load(); }
    virtual bool isAsynchronous() const { return false; }
    // All dependencies finished, or the operation is cancelled.
    bool isReady() const;

    // Dependencies only matter before the operation starts.
    void addDependency(const std::shared_ptr<Operation>& operation);
    void removeDependency(const std::shared_ptr<Operation>& operation);
    std::vector<std::shared_ptr<Operation>> dependencies() const;

    QueuePriority queuePriority() const { return m_priority.load(); }
    void setQueuePriority(QueuePriority priority) { m_priority = priority; }

    // Runs once, on the thread that finishes the operation, after it finished.
    void setCompletionBlock(std::function<void()> block);
    // Runs after the completion block set so far, as part of it.
    void addCompletionBlock(std::function<void()> block);

    // Blocks until the operation has finished. Never call it on the thread that has to
    // finish it.
    void waitUntilFinished();

protected:
    virtual void main() {}
    void markCancelled();
    void setExecuting(bool executing);
    // Marks the operation finished (once) and reports it; later calls do nothing.
    void markFinished();

private:
    friend class OperationQueue;
    void notifyObservers();

    mutable std::mutex m_stateMutex;
    std::condition_variable m_finishedCondition;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_executing{false};
    std::atomic<bool> m_finished{false};
    // Finished and its completion block has run: what waiters and the queue wait for.
    std::atomic<bool> m_settled{false};
    std::atomic<QueuePriority> m_priority{QueuePriority::Normal};
    std::vector<std::shared_ptr<Operation>> m_dependencies;
    std::vector<std::weak_ptr<Operation>> m_dependents;
    std::function<void()> m_completionBlock;
    std::function<void()> m_queueObserver; // set by the queue that holds the operation
};

// An operation that runs one function.
class BlockOperation : public Operation {
public:
    explicit BlockOperation(std::function<void()> block) : m_block(std::move(block)) {}

protected:
    void main() override {
        if (m_block) {
            m_block();
        }
    }

private:
    std::function<void()> m_block;
};

} // namespace velmora::images
