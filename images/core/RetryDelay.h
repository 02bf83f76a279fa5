#pragma once

#include <algorithm>
#include <chrono>

namespace velmora::images {

// The growing delay before what failed in a way that may pass is tried again: the first delay
// after the first failure, twice as long after each further one, up to the most. A download that
// failed so and a document whose drawing ended its drawing process wait alike (their settings,
// RemoteImageDownloaderConfig's and ImageCacheConfig's, start from these).
struct RetryDelay {
    static constexpr double firstSeconds = 2.0;
    static constexpr double mostSeconds = 120.0;

    static std::chrono::milliseconds after(int failures, std::chrono::milliseconds first,
                                           std::chrono::milliseconds most) {
        auto delay = first;
        for (int i = 1; i < failures && delay < most; ++i) {
            delay *= 2;
        }
        return std::min(delay, most);
    }
};

} // namespace velmora::images
