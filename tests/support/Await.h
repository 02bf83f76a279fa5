#pragma once

#include "platform/async/Publisher.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <optional>

namespace velmora::test {

// Subscribes and spins the event loop until the publisher's one outcome arrives;
// none when it does not come in time.
template <typename T, typename E>
std::optional<Result<T, E>> awaitOutcome(const Publisher<T, E>& publisher, int timeoutMs = 10000) {
    std::optional<Result<T, E>> outcome;
    Cancellable subscription = publisher.subscribe([&](Result<T, E> r) { outcome = std::move(r); });
    waitUntil([&] { return outcome.has_value(); }, timeoutMs);
    return outcome;
}

// The same for tests that want the outcome itself: a missing one fails the test and
// reads as the error type's default value.
template <typename T, typename E>
Result<T, E> awaitResult(const Publisher<T, E>& publisher, int timeoutMs = 10000) {
    auto outcome = awaitOutcome(publisher, timeoutMs);
    EXPECT_TRUE(outcome.has_value()) << "no outcome";
    return outcome ? std::move(*outcome) : Result<T, E>::failure(E{});
}

} // namespace velmora::test
