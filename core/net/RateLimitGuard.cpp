#include "core/net/RateLimitGuard.h"

#include <algorithm>

namespace velmora {

namespace {
// Far beyond any real wait, yet now plus this many seconds still fits a QDateTime.
constexpr std::int64_t longestWaitSeconds = 1'000'000'000'000'000; // about 31.7 million years
} // namespace

std::optional<QDateTime> RateLimitGuard::limitedUntil() const {
    std::lock_guard lock(m_mutex);
    return m_until;
}

void RateLimitGuard::setLimitedUntil(const std::optional<QDateTime>& until) {
    std::lock_guard lock(m_mutex);
    m_until = until;
}

std::int64_t RateLimitGuard::record(std::optional<std::int64_t> retryAfter) {
    const std::int64_t delay = retryAfter.value_or(defaultDelaySeconds);
    const std::int64_t wait = std::clamp(delay, -longestWaitSeconds, longestWaitSeconds);
    const QDateTime now = m_clock->now();
    const QDateTime until = now.addSecs(wait);
    std::lock_guard lock(m_mutex);
    if (inForce(now) && until <= *m_until) {
        return secondsUntil(now, *m_until);
    }
    m_until = until;
    return delay;
}

std::int64_t RateLimitGuard::record(const APIError& error) {
    if (!error.isLocalRefusal()) {
        return record(error.retryAfter());
    }
    const QDateTime now = m_clock->now();
    std::lock_guard lock(m_mutex);
    if (inForce(now)) {
        return secondsUntil(now, *m_until);
    }
    // The limit ran out while the refusal was on its way: it has nothing left to say
    // but what it said.
    return error.retryAfter().value_or(0);
}

bool RateLimitGuard::inForce(const QDateTime& now) const {
    return m_until && m_until->isValid() && *m_until > now;
}

std::optional<APIError> RateLimitGuard::refusal() const {
    const QDateTime now = m_clock->now();
    std::lock_guard lock(m_mutex);
    if (!inForce(now)) {
        return std::nullopt;
    }
    return APIError::refusedByRateLimit(secondsUntil(now, *m_until));
}

std::int64_t RateLimitGuard::secondsUntil(const QDateTime& now, const QDateTime& until) {
    // At most the longest wait (10^18 ms), so the rounding cannot overflow.
    const qint64 remainingMs = now.msecsTo(until);
    return remainingMs <= 0 ? 0 : (remainingMs + 999) / 1000;
}

} // namespace velmora
