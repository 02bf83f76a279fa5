#include "QtVersion.h"

#include "RunningQtVersion.h"

namespace velmora::introspection {

QtVersion::QtVersion(int major, int minor) : release_(major, minor) {
    const QVersionNumber running = RunningQtVersion::get();
    if (running >= QVersionNumber(major, minor + 1))
        condition_ = PlatformVersionCondition::Past;
    else if (running >= QVersionNumber(major, minor))
        condition_ = PlatformVersionCondition::Current;
    else
        condition_ = PlatformVersionCondition::Future;
}

} // namespace velmora::introspection
