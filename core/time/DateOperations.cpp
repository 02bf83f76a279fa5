#include "core/time/DateOperations.h"

#include <QTimeZone>

#include <algorithm>
#include <optional>
#include <set>

namespace velmora::DateOperations {

namespace {

QTimeZone userTimeZone() {
    QTimeZone zone = QTimeZone::systemTimeZone();
    // The C library reads a TZ it does not understand as UTC; do the same.
    return zone.isValid() ? zone : QTimeZone::utc();
}

QDate dayIn(const QDateTime& date, const QTimeZone& zone) {
    return date.isValid() ? date.toTimeZone(zone).date() : QDate();
}

QDateTime utcFromSecs(qint64 secs) {
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
}

// The first instant at which `zone`'s wall clock shows `wall` (seconds since the
// epoch, read as if the wall clock were UTC), or the first instant after it when the
// zone skips that wall time. QDateTime has no policy of its own here: in a gap it
// gives an invalid date-time.
std::optional<qint64> firstInstantShowing(const QTimeZone& zone, qint64 wall) {
    // No zone moves its clock by more than a day, so every offset that could show
    // `wall` is in force within two days either side.
    const QDateTime from = utcFromSecs(wall - 2 * 86400);
    const QDateTime to = utcFromSecs(wall + 2 * 86400);
    const QTimeZone::OffsetDataList transitions = zone.transitions(from, to);

    std::set<int> offsets{zone.offsetFromUtc(from), zone.offsetFromUtc(to)};
    for (const auto& transition : transitions) {
        offsets.insert(transition.offsetFromUtc);
    }
    std::optional<qint64> first;
    for (const int offset : offsets) {
        const qint64 instant = wall - offset;
        if (zone.offsetFromUtc(utcFromSecs(instant)) == offset) {
            first = first ? std::min(*first, instant) : instant;
        }
    }
    if (first) {
        return first;
    }
    // Skipped: the transition that jumps over `wall` is the first moment after it.
    for (const auto& transition : transitions) {
        const qint64 at = transition.atUtc.toSecsSinceEpoch();
        if (at + transition.offsetFromUtc > wall) {
            return at;
        }
    }
    return std::nullopt;
}

} // namespace

QString iso8601String(const QDateTime& date) {
    if (!date.isValid()) {
        return QString();
    }
    const QDateTime utc = date.toUTC();
    const QDate day = utc.date();
    const QTime time = utc.time();
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", day.year(), day.month(), day.day(),
                             time.hour(), time.minute(), time.second(), time.msec());
}

QDateTime endOfDay(const QDateTime& date) {
    if (!date.isValid()) {
        return date;
    }
    const QTimeZone zone = userTimeZone();
    const QDate day = dayIn(date, zone);
    const qint64 wall = QDateTime(day, QTime(23, 59, 59), Qt::UTC).toSecsSinceEpoch();
    const auto instant = firstInstantShowing(zone, wall);
    if (!instant) {
        return date;
    }
    return QDateTime::fromSecsSinceEpoch(*instant, Qt::LocalTime);
}

bool isSameDay(const QDateTime& date, const QDateTime& other) {
    const QTimeZone zone = userTimeZone();
    return dayIn(date, zone) == dayIn(other, zone);
}

} // namespace velmora::DateOperations
