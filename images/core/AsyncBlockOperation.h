#pragma once

#include "images/core/Operation.h"

#include <functional>
#include <memory>
#include <mutex>

namespace velmora::images {

// An operation whose work is a function that runs on the shared high-priority queue and
// finishes later: it stays executing until somebody calls `complete` or `cancel`.
class AsyncBlockOperation : public Operation {
public:
    using Block = std::function<void(const std::shared_ptr<AsyncBlockOperation>& operation)>;

    static std::shared_ptr<AsyncBlockOperation> blockOperationWithBlock(Block block);
    explicit AsyncBlockOperation(Block block);

    bool isAsynchronous() const override { return true; }
    // A cancelled operation finishes at once without running its block.
    void start() override;
    // Cancelling an executing operation finishes it; one that never started is only marked.
    void cancel() override;
    // Ends an executing operation.
    void complete();

private:
    // Finishes and lets the block go.
    void finish();

    std::mutex m_monitor;
    Block m_block;
};

} // namespace velmora::images
