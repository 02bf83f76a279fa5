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
    const QDateTime until = m_clock->now().addSecs(wait);
    std::lock_guard lock(m_mutex);
    m_until = until;
    return delay;
}

std::optional<APIError> RateLimitGuard::refusal() const {
    const QDateTime now = m_clock->now();
    std::lock_guard lock(m_mutex);
    if (!m_until || !m_until->isValid() || *m_until <= now) {
        return std::nullopt;
    }
    const qint64 remainingMs = now.msecsTo(*m_until);
    return APIError::rateLimited(remainingMs / 1000);
}

} // namespace velmora
