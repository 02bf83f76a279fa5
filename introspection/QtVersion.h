#pragma once

#include "PlatformVersionCondition.h"

#include <QVersionNumber>

namespace velmora::introspection {

// One Qt release (major.minor), classed against the running Qt when the value is made.
// A release is current for all of its patch versions and past once the next minor release runs.
class QtVersion {
public:
    static QtVersion qt6_2() { return QtVersion(6, 2); }
    static QtVersion qt6_3() { return QtVersion(6, 3); }
    static QtVersion qt6_4() { return QtVersion(6, 4); }
    static QtVersion qt6_5() { return QtVersion(6, 5); }
    static QtVersion qt6_6() { return QtVersion(6, 6); }
    static QtVersion qt6_7() { return QtVersion(6, 7); }
    static QtVersion qt6_8() { return QtVersion(6, 8); }

    QtVersion(int major, int minor);

    QVersionNumber release() const { return release_; }
    PlatformVersionCondition condition() const { return condition_; }
    bool isCurrent() const { return condition_ == PlatformVersionCondition::Current; }
    bool isCurrentOrPast() const { return condition_ != PlatformVersionCondition::Future; }

private:
    QVersionNumber release_;
    PlatformVersionCondition condition_;
};

} // namespace velmora::introspection
