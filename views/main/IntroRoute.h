#pragma once

#include <QHashFunctions>

#include <cstddef>

namespace velmora {

// The pages of the welcome view's navigation: the account setup of one tracker each.
enum class IntroRoute { youTrackSetup, jiraSetup, asanaSetup };

inline std::size_t qHash(IntroRoute route, std::size_t seed = 0) {
    return ::qHash(static_cast<int>(route), seed);
}

} // namespace velmora
