#include "images/AsyncBlockOperation.h"

#include "images/DispatchQueue.h"

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
        markFinished();
        return;
    }
    if (!m_block) {
        return;
    }
    std::weak_ptr<Operation> weak = weak_from_this();
    DispatchQueue::global().async([weak] {
        if (const auto self = std::static_pointer_cast<AsyncBlockOperation>(weak.lock())) {
            self->m_block(self);
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
        markFinished();
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
        markFinished();
    }
}

} // namespace velmora::images
