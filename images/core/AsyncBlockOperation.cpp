#include "images/core/AsyncBlockOperation.h"

#include "images/core/DispatchQueue.h"

namespace velmora::images {

std::shared_ptr<AsyncBlockOperation> AsyncBlockOperation::blockOperationWithBlock(Block block) {
    return std::make_shared<AsyncBlockOperation>(std::move(block));
}

AsyncBlockOperation::AsyncBlockOperation(Block block) : m_block(std::move(block)) {}

void AsyncBlockOperation::start() {
    {
        std::lock_guard lock(m_monitor);
        if (isFinished()) {
            return;
        }
        if (!isCancelled()) {
            setExecuting(true);
        }
    }
    if (isCancelled()) {
        finish();
        return;
    }
    std::weak_ptr<Operation> weak = weak_from_this();
    DispatchQueue::global().async([weak] {
        if (const auto self = std::static_pointer_cast<AsyncBlockOperation>(weak.lock())) {
            // A copy runs, so that finishing (which lets the block go) may happen inside it.
            Block block;
            {
                std::lock_guard lock(self->m_monitor);
                block = self->m_block;
            }
            if (block) {
                block(self);
            }
        }
    });
}

void AsyncBlockOperation::cancel() {
    bool wasExecuting = false;
    {
        std::lock_guard lock(m_monitor);
        Operation::cancel();
        wasExecuting = isExecuting();
        if (wasExecuting) {
            setExecuting(false);
        }
    }
    if (wasExecuting) {
        finish();
    }
}

void AsyncBlockOperation::complete() {
    bool wasExecuting = false;
    {
        std::lock_guard lock(m_monitor);
        wasExecuting = isExecuting();
        if (wasExecuting) {
            setExecuting(false);
        }
    }
    if (wasExecuting) {
        finish();
    }
}

void AsyncBlockOperation::finish() {
    Block released;
    {
        // What the block holds may hold this operation: letting it go ends such a cycle.
        std::lock_guard lock(m_monitor);
        released = std::move(m_block);
        m_block = nullptr;
    }
    markFinished();
}

} // namespace velmora::images
