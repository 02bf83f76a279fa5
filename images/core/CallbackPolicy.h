#pragma once

namespace velmora::images {

// How a callback queue runs a block.
enum class CallbackPolicy : unsigned {
    // At once when the caller already runs on the target queue, else submitted to it.
    Safe = 0,
    // Always submitted to the queue.
    Dispatch = 1,
    // Always at once on the calling thread.
    Invoke = 2,
};

} // namespace velmora::images
