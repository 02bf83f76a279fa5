#include "core/time/WorkLogBooking.h"

#include "core/model/WorkEntry.h"

#include <cmath>

namespace velmora {

bool WorkLogBooking::sameMinutesAs(const WorkEntry& entry) const {
    return std::isfinite(entry.spentTimeSeconds) && std::abs(entry.spentTimeSeconds) < 1e12 &&
           std::llround(entry.spentTimeSeconds / 60.0) == std::llround(static_cast<double>(seconds) / 60.0);
}

DateInterval WorkLogBooking::startsAround(const QDateTime& started) {
    constexpr qint64 reach = (2 * 24 + 1) * 3600;
    return DateInterval{started.addSecs(-reach), started.addSecs(reach)};
}

} // namespace velmora
