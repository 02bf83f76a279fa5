#pragma once

#include <QDateTime>

#include <cstdint>
#include <optional>

namespace velmora {

// What a tracker service that the tracker may rate-limit keeps (Jira and Asana;
// YouTrack takes no part). Implementations keep a RateLimitGuard and guard every
// operation with it, outermost, at the moment the operation is made.
class HandlesRateLimiting {
public:
    virtual ~HandlesRateLimiting() = default;

    // The moment before which the service sends nothing; absent until the first
    // limit, never cleared afterwards (a moment in the past simply stops refusing).
    virtual std::optional<QDateTime> rateLimitedUntil() const = 0;
    virtual void setRateLimitedUntil(const std::optional<QDateTime>& until) = 0;

    // Records a limit of `retryAfter` seconds (60 when absent) from now and announces
    // "ProviderRateLimited" for the service's account on the main thread.
    virtual void registerRateLimit(std::optional<std::int64_t> retryAfter) = 0;
};

} // namespace velmora
