#pragma once

#include "state/CalendarDay.h"

#include <QDate>
#include <QString>
#include <QUuid>

#include <vector>

namespace velmora::test {

// The days of a calendar strip from Monday 2 March 2026, `perDay` entries each, every entry with
// `description` and its own id after it (so that no card laid out serves another).
inline std::vector<CalendarDay> calendarOf(int perDay, const QString& description, int dayCount = 7) {
    std::vector<CalendarDay> days;
    const QDate monday(2026, 3, 2);
    for (int d = 0; d < dayCount; ++d) {
        CalendarDay day;
        day.id = QUuid::createUuid();
        day.date = QDateTime(monday.addDays(d), QTime(0, 0));
        for (int e = 0; e < perDay; ++e) {
            WorkEntry entry;
            entry.id = QStringLiteral("%1-%2").arg(d).arg(e);
            entry.description = description + QStringLiteral(" (%1)").arg(entry.id);
            entry.spentTime = QStringLiteral("1h");
            entry.spentTimeSeconds = 3600;
            entry.issue.id = entry.id;
            entry.issue.reference = QStringLiteral("WEB-%1").arg(e);
            entry.issue.name = QStringLiteral("Task");
            entry.started = day.date.addSecs(3600 * (8 + e));
            day.workEntries.push_back(entry);
            day.totalTimeSpent += 3600;
        }
        days.push_back(day);
    }
    return days;
}

} // namespace velmora::test
