#pragma once

#include "IntrospectionScope.h"
#include "PlatformViewVersion.h"
#include "QtVersion.h"

namespace velmora::introspection {

// What every view type shares: the Qt class behind it, the receiver scope, and one entry per
// Qt release we know, each using the plain search for that class. A view type carries no data.
template <typename Self, typename EntityType> struct IntrospectableView {
    using Entity = EntityType;
    using Version = PlatformViewVersion<Self>;

    static IntrospectionScope scope() { return IntrospectionScope::receiver(); }

    static Version qt6_2() { return Version(QtVersion::qt6_2()); }
    static Version qt6_3() { return Version(QtVersion::qt6_3()); }
    static Version qt6_4() { return Version(QtVersion::qt6_4()); }
    static Version qt6_5() { return Version(QtVersion::qt6_5()); }
    static Version qt6_6() { return Version(QtVersion::qt6_6()); }
    static Version qt6_7() { return Version(QtVersion::qt6_7()); }
    static Version qt6_8() { return Version(QtVersion::qt6_8()); }
};

} // namespace velmora::introspection
