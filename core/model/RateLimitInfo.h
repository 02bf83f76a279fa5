#pragma once

#include <QUuid>

#include <cstdint>

namespace velmora {

// The object of the "ProviderRateLimited" notice: which account is limited and for
// how many whole seconds requests must wait.
struct RateLimitInfo {
    QUuid provider;
    std::int64_t delay = 0;

    friend bool operator==(const RateLimitInfo&, const RateLimitInfo&) = default;
};

} // namespace velmora
