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
    EXPECT_EQ(refused->error(), APIError::rateLimited(60)) << "whole seconds left, rounded up";
    EXPECT_TRUE(refused->error().isLocalRefusal());
    EXPECT_EQ(starts, 1) << "a refused operation is never started";

    clock->advance(59'300);
    EXPECT_EQ(guard.refusal(), APIError::rateLimited(1)) << "the last second still refuses, as a second";
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

    RateLimitGuard open(clock);
    EXPECT_EQ(open.record(0), 0);
    EXPECT_FALSE(open.refusal().has_value()) << "a wait of nothing limits nothing";
}

TEST(RateLimitGuard, ALimitNeverEndsEarly) {
    auto clock = std::make_shared<ManualClock>();
    RateLimitGuard guard(clock);
    const QDateTime end = clock->now().addSecs(3);
    EXPECT_EQ(guard.record(3), 3);

    // 1.2 s left: a shorter wait, or no wait at all, keeps the end and announces
    // what is left of it.
    clock->advance(1800);
    EXPECT_EQ(guard.record(1), 2);
    EXPECT_EQ(guard.record(0), 2);
    EXPECT_EQ(guard.limitedUntil(), end);
    // The guard's own refusal passed back moves nothing either, though rounded up.
    const auto refused = guard.refusal();
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->retryAfter(), 2);
    EXPECT_EQ(guard.record(*refused), 2);
    EXPECT_EQ(guard.limitedUntil(), end);
    // A server's longer wait does move it.
    EXPECT_EQ(guard.record(APIError::rateLimited(5)), 5);
    EXPECT_EQ(guard.limitedUntil(), clock->now().addSecs(5));

    RateLimitGuard other(clock);
    other.setLimitedUntil(clock->now().addMSecs(2100));
    EXPECT_EQ(other.refusal(), APIError::rateLimited(3)) << "2.1 s left is 3 s to wait";
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
    EXPECT_EQ(guard.refusal(), APIError::rateLimited(1999)) << "the latest end wins";
}
