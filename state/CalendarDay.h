#pragma once

#include "core/model/Hashing.h"
#include "core/model/WorkEntry.h"

#include <QDateTime>
#include <QUuid>

#include <cstddef>
#include <functional>
#include <vector>

namespace velmora {

// One day of the calendar: its start, the entries booked on it and their total.
// Every computation gives a day a new random `id`, so two computations of the same
// day are different values (the day columns are rebuilt from scratch).
struct CalendarDay {
    QUuid id;
    // 00:00 of the day in the user's time zone.
    QDateTime date;
    // Seconds; 0 for a day without entries.
    double totalTimeSpent = 0;
    // In the order of the calendar's entry list.
    std::vector<WorkEntry> workEntries;
    // The day's entries could not be loaded: the day is unknown, not empty (its total
    // and entries say nothing).
    bool unavailable = false;

    friend bool operator==(const CalendarDay&, const CalendarDay&) = default;
};

// Over all fields, like equality.
inline std::size_t qHash(const CalendarDay& day, std::size_t seed = 0) {
    return HashBuilder(seed)
        .add(day.id)
        .add(day.date)
        .add(day.totalTimeSpent)
        .add(day.workEntries)
        .add(day.unavailable)
        .result();
}

} // namespace velmora

template <> struct std::hash<velmora::CalendarDay> {
    std::size_t operator()(const velmora::CalendarDay& day) const { return velmora::qHash(day); }
};
