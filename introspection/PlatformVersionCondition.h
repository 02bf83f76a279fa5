#pragma once

namespace velmora::introspection {

// Where the running Qt stands relative to one release.
enum class PlatformVersionCondition {
    Past,    // the running Qt is newer than the release
    Current, // the running Qt is that release
    Future,  // the running Qt is older than the release
};

} // namespace velmora::introspection
