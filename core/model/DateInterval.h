#pragma once

#include <QDateTime>

namespace velmora {

// A closed range of time, as the calendar asks for work entries: from `start` to
// `end`, both included.
struct DateInterval {
    QDateTime start;
    QDateTime end;

    bool contains(const QDateTime& moment) const { return moment >= start && moment <= end; }

    friend bool operator==(const DateInterval&, const DateInterval&) = default;
};

} // namespace velmora
