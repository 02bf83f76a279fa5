#include "core/net/RateLimitGuard.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

using namespace velmora;

namespace {

// An operation that counts how often it was started.
Publisher<int, APIError> counted(int& starts) {
    return Publisher<int, APIError>::create([&starts](auto sink) -> std::function<void()> {
        ++starts;
        sink(Result<int, APIError>::success(7));
        return {};
    });
}

std::optional<Result<int, APIError>> runNow(const Publisher<int, APIError>& operation) {
    std::optional<Result<int, APIError>> outcome;
    operation.subscribe([&](Result<int, APIError> r) { outcome = r; }).detach();
    return outcome;
}

} // namespace

TEST(RateLimitGuard, RefusesWhileLimitedAndLetsThroughAfter) {
    auto clock = std::make_shared<ManualClock>();
    RateLimitGuard guard(clock);
    int starts = 0;
    EXPECT_FALSE(guard.limitedUntil().has_value());
    EXPECT_TRUE(runNow(guard.guard(counted(starts)))->ok());

    guard.setLimitedUntil(clock->now().addMSecs(59'700));
    auto refused = runNow(guard.guard(counted(starts)));
    ASSERT_TRUE(refused && !refused->ok());
    EXPECT_EQ(refused->error(), APIError::rateLimited(59)) << "whole seconds left, cut toward zero";
    EXPECT_EQ(starts, 1) << "a refused operation is never started";

    clock->advance(59'300);
    EXPECT_EQ(guard.refusal(), APIError::rateLimited(0)) << "the last second still refuses";
    clock->advance(400);
    EXPECT_FALSE(guard.refusal().has_value()) << "the limit's own moment no longer refuses";
    EXPECT_TRUE(runNow(guard.guard(counted(starts)))->ok());
    EXPECT_TRUE(guard.limitedUntil().has_value()) << "a past limit stays recorded";
}

TEST(RateLimitGuard, JudgesWhenTheOperationIsMade) {
    auto clock = std::make_shared<ManualClock>();
    RateLimitGuard guard(clock);
    int starts = 0;
    const auto madeWhileOpen = guard.guard(counted(starts));
    guard.record(30);
    const auto madeWhileLimited = guard.guard(counted(starts));
    clock->advance(31'000);
    EXPECT_TRUE(runNow(madeWhileOpen)->ok());
    EXPECT_FALSE(runNow(madeWhileLimited)->ok()) << "refused when made, even if subscribed later";
}

TEST(RateLimitGuard, RecordsTheWaitOrSixtySeconds) {
    auto clock = std::make_shared<ManualClock>();
    RateLimitGuard guard(clock);
    EXPECT_EQ(guard.record(30), 30);
    EXPECT_EQ(guard.limitedUntil(), clock->now().addSecs(30));
    EXPECT_EQ(guard.refusal(), APIError::rateLimited(30));

    EXPECT_EQ(guard.record(std::nullopt), RateLimitGuard::defaultDelaySeconds);
    EXPECT_EQ(guard.limitedUntil(), clock->now().addSecs(60)) << "a later limit replaces the earlier one";

    EXPECT_EQ(guard.record(0), 0);
    EXPECT_FALSE(guard.refusal().has_value());
}

TEST(RateLimitGuard, AHugeWaitStillRefuses) {
    auto clock = std::make_shared<ManualClock>();
    RateLimitGuard guard(clock);
    guard.record(std::numeric_limits<std::int64_t>::max());
    ASSERT_TRUE(guard.limitedUntil().has_value());
    EXPECT_TRUE(guard.limitedUntil()->isValid());
    const auto refusal = guard.refusal();
    ASSERT_TRUE(refusal.has_value());
    ASSERT_TRUE(refusal->retryAfter().has_value());
    EXPECT_GT(*refusal->retryAfter(), 0);
}

TEST(RateLimitGuard, RecordAndGuardFromTwoThreads) {
    // The error handler records on the delivering thread while the guard reads on
    // the thread that makes operations.
    RateLimitGuard guard(std::make_shared<ManualClock>());
    std::thread writer([&] {
        for (int i = 1; i <= 2000; ++i) {
            guard.record(i % 2 ? std::optional<std::int64_t>(i) : std::nullopt);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        if (auto refusal = guard.refusal()) {
            ASSERT_TRUE(refusal->retryAfter().has_value());
        }
    }
    writer.join();
    EXPECT_EQ(guard.refusal(), APIError::rateLimited(60)) << "the last record wins";
}
