#include "images/core/CallbackQueue.h"

namespace velmora::images {

CallbackQueue::CallbackQueue(DispatchQueue queue) : m_queue(std::move(queue)) {}

std::shared_ptr<CallbackQueue> CallbackQueue::mainQueue() {
    static const auto instance = std::make_shared<CallbackQueue>(DispatchQueue::main());
    return instance;
}

std::shared_ptr<CallbackQueue> CallbackQueue::currentQueue() {
    return std::make_shared<CallbackQueue>(DispatchQueue::current());
}

std::shared_ptr<CallbackQueue> CallbackQueue::globalQueue() {
    return std::make_shared<CallbackQueue>(DispatchQueue::global());
}

namespace {

// Runs the block at once (Invoke, or Safe when already on the queue) or hands it to the queue
// through `submit` (its sync or its async).
void run(const DispatchQueue& queue, CallbackPolicy policy, std::function<void()> block,
         void (DispatchQueue::*submit)(std::function<void()>) const) {
    if (!block) {
        return;
    }
    switch (policy) {
    case CallbackPolicy::Invoke:
        block();
        return;
    case CallbackPolicy::Dispatch:
        // Submitted even from the queue itself; its sync then runs a block at once rather than
        // wait for itself.
        (queue.*submit)(std::move(block));
        return;
    case CallbackPolicy::Safe:
        break;
    }
    if (queue.isCurrent()) {
        block();
    } else {
        (queue.*submit)(std::move(block));
    }
}

} // namespace

void CallbackQueue::sync(std::function<void()> block) const {
    run(m_queue, m_policy, std::move(block), &DispatchQueue::sync);
}

void CallbackQueue::async(std::function<void()> block) const {
    run(m_queue, m_policy, std::move(block), &DispatchQueue::async);
}

} // namespace velmora::images
