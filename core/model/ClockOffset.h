#pragma once

#include <QtGlobal>

namespace velmora {

// How far a tracker's clock runs ahead of this machine's (negative: behind), in
// milliseconds, as far as its answers tell: somewhere from `least` to `most`. An HTTP
// date is whole seconds, so one answer never pins it down closer than a second.
struct ClockOffset {
    qint64 least = 0;
    qint64 most = 0;

    friend bool operator==(const ClockOffset&, const ClockOffset&) = default;
};

} // namespace velmora
