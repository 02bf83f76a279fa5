#pragma once

#include "images/core/Operation.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace velmora::images {

// Runs operations on worker threads: at most `maxConcurrentOperationCount` at a time
// (unlimited when negative), a ready operation of higher priority before one of lower
// priority and, among equals, in the order they were added. An asynchronous operation
// counts as running from its start until it reports that it finished. A suspended
// queue starts nothing new. Safe to use from any thread.
class OperationQueue {
public:
    static constexpr int DefaultMaxConcurrentOperationCount = -1;

    explicit OperationQueue(QString name = {},
                            int maxConcurrentOperationCount = DefaultMaxConcurrentOperationCount);
    // Operations already started run to their end; the others are dropped unstarted.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    QString name() const;

    // An operation belongs to one queue; adding a finished one does nothing.
    void addOperation(const std::shared_ptr<Operation>& operation);
    std::shared_ptr<Operation> addOperation(std::function<void()> block);
    // Runs after every operation added before it, and before any added after it.
    std::shared_ptr<Operation> addBarrierBlock(std::function<void()> block);

    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);
    bool isSuspended() const;
    void setSuspended(bool suspended);
    void cancelAllOperations();

    // The operations not yet finished, in the order they were added.
    std::vector<std::shared_ptr<Operation>> operations() const;
    int operationCount() const;
    // Blocks until every operation added so far has finished (a suspended queue never
    // gets there). Never call it from one of the queue's own operations.
    void waitUntilAllOperationsAreFinished();

private:
    struct Core;
    std::shared_ptr<Core> m_core;
};

} // namespace velmora::images
