#pragma once

#include <QDateTime>
#include <QString>

// Operations on points in time shared by the connectors' queries and the calendar.
// Calendar days are Gregorian days in the user's time zone (the system zone, which
// follows TZ).
namespace velmora::DateOperations {

// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC with ASCII digits, whatever the user's
// locale, calendar or time zone; for time stamps sent to the trackers. An invalid
// date gives the empty text.
QString iso8601String(const QDateTime& date);

// 23:59:59 of the same calendar day in the user's time zone. When that wall time is
// skipped by a zone transition, the first moment after the gap; when it occurs twice,
// the first of the two. When there is no such moment, `date` itself.
QDateTime endOfDay(const QDateTime& date);

// Whether both fall on the same calendar day in the user's time zone. An invalid
// date has no day and matches only another invalid date.
bool isSameDay(const QDateTime& date, const QDateTime& other);

} // namespace velmora::DateOperations
