#pragma once

#include <QMetaType>

namespace velmora {

// How many days the calendar shows. The calendar view picks the mode that fits its
// width and names it `CalendarView::CalendarMode`; the state owns the type because the
// day ranges are worked out here.
enum class CalendarMode {
    threeDays, // the day before the reference date, that date and the day after
    fiveDays,  // the four days before the reference date and that date
    sevenDays, // the calendar week that holds the reference date
};

} // namespace velmora

Q_DECLARE_METATYPE(velmora::CalendarMode)
