#pragma once

#include "core/model/APIError.h"
#include "platform/async/Clock.h"
#include "platform/async/Publisher.h"

#include <QDateTime>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora {

// The rate limit of one service object and the guard that enforces it. The limit is
// written by the error handler on the thread that delivers a 429 and read by the
// guard on the thread that makes an operation, so both go through a lock.
class RateLimitGuard {
public:
    // The wait when a 429 names none.
    static constexpr std::int64_t defaultDelaySeconds = 60;

    explicit RateLimitGuard(std::shared_ptr<Clock> clock = Clock::system()) : m_clock(std::move(clock)) {}

    std::optional<QDateTime> limitedUntil() const;
    void setLimitedUntil(const std::optional<QDateTime>& until);

    // Limits from now for `retryAfter` seconds (60 when absent) and gives the delay to
    // announce. A limit never ends early: while one is in force, a wait that ends no
    // later leaves it as it is, and the delay announced is then the seconds it still
    // has, rounded up. Otherwise the new limit replaces the old and the delay is
    // `retryAfter`, or 60 when absent. A wait too long for any calendar is held at
    // about thirty million years.
    std::int64_t record(std::optional<std::int64_t> retryAfter);

    // Records the `rateLimited` error an operation failed with. A guard's own refusal
    // (APIError::isLocalRefusal) moves no limit: its seconds are rounded up, so
    // recording them would push the limit on a little each time an enclosing read
    // passes a refusal on. It announces what is left of the limit in force.
    std::int64_t record(const APIError& error);

    // While a limit lies ahead (strictly later than now): a refusal
    // (APIError::refusedByRateLimit) with the seconds left rounded up (1 in the last
    // second), so that a caller who waits that long is never early.
    std::optional<APIError> refusal() const;

    // Judged now, when the operation is made, not when it is subscribed: while
    // limited, an operation that fails at once with the refusal, `operation` never
    // being started; otherwise `operation` itself.
    template <typename T> Publisher<T, APIError> guard(Publisher<T, APIError> operation) const {
        if (auto refused = refusal()) {
            return Publisher<T, APIError>::fail(*refused);
        }
        return operation;
    }

private:
    // A limit lies ahead of `now`. Under the lock.
    bool inForce(const QDateTime& now) const;
    // Whole seconds from `now` to `until`, rounded up.
    static std::int64_t secondsUntil(const QDateTime& now, const QDateTime& until);

    std::shared_ptr<Clock> m_clock;
    mutable std::mutex m_mutex;
    std::optional<QDateTime> m_until;
};

} // namespace velmora
