#pragma once

#include "images/core/CallbackPolicy.h"
#include "images/core/DispatchQueue.h"

#include <functional>
#include <memory>

namespace velmora::images {

// Where and how the library runs a user-facing completion. Policy and queue are meant to be
// set before the instance is shared.
class CallbackQueue {
public:
    explicit CallbackQueue(DispatchQueue queue);

    // The one shared instance over the main queue.
    static std::shared_ptr<CallbackQueue> mainQueue();
    // A new instance over the queue the caller runs on.
    static std::shared_ptr<CallbackQueue> currentQueue();
    // A new instance over the shared concurrent queue of high priority.
    static std::shared_ptr<CallbackQueue> globalQueue();

    CallbackPolicy policy() const { return m_policy; }
    void setPolicy(CallbackPolicy policy) { m_policy = policy; }
    const DispatchQueue& queue() const { return m_queue; }
    void setQueue(DispatchQueue queue) { m_queue = std::move(queue); }

    // Runs the block by the policy and, when it is submitted, waits for it.
    void sync(std::function<void()> block) const;
    // Runs the block by the policy without waiting for it.
    void async(std::function<void()> block) const;

private:
    DispatchQueue m_queue;
    CallbackPolicy m_policy = CallbackPolicy::Safe;
};

} // namespace velmora::images
