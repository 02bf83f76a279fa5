#include "images/CallbackQueue.h"

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

void CallbackQueue::sync(std::function<void()> block) const {
    if (!block) {
        return;
    }
    switch (m_policy) {
    case CallbackPolicy::Invoke:
        block();
        return;
    case CallbackPolicy::Dispatch:
        // The queue itself runs a block at once rather than wait for itself on its own queue.
        m_queue.sync(std::move(block));
        return;
    case CallbackPolicy::Safe:
        break;
    }
    if (m_queue.isCurrent()) {
        block();
    } else {
        m_queue.sync(std::move(block));
    }
}

void CallbackQueue::async(std::function<void()> block) const {
    if (!block) {
        return;
    }
    switch (m_policy) {
    case CallbackPolicy::Invoke:
        block();
        return;
    case CallbackPolicy::Dispatch:
        m_queue.async(std::move(block));
        return;
    case CallbackPolicy::Safe:
        break;
    }
    if (m_queue.isCurrent()) {
        block();
    } else {
        m_queue.async(std::move(block));
    }
}

} // namespace velmora::images
