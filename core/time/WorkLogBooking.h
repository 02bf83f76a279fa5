#pragma once

#include "core/model/ClockOffset.h"
#include "core/model/DateInterval.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace velmora {

struct WorkEntry;

// A booking as it goes out to the tracker. The timer keeps it, on disk, while the
// booking is on its way: a run that ends before the tracker answered can then look for
// the entry at the next start instead of booking the same time twice.
struct WorkLogBooking {
    // The tracker's id of the task.
    QString taskId;
    // The start the entry carries; where the tracker dates an entry itself, the moment
    // it was sent.
    QDateTime started;
    // As booked: whole minutes where the tracker takes minutes.
    qint64 seconds = 0;
    QString description;

    // How the tracker dates an entry: with the start as sent (to the second), or by the
    // day it arrives.
    enum class Dating { exact, day };
    // Absent in records written before the booking said so.
    std::optional<Dating> dating = std::nullopt;
    // When the booking left this machine, on its clock: an entry the tracker created
    // clearly before it is an earlier booking. Absent in records written before.
    std::optional<QDateTime> sent = std::nullopt;
    // `sent` was kept to the whole second only (records written before it kept its
    // milliseconds): the booking left up to a second after it.
    bool sentToTheSecond = false;
    // How far the tracker's clock ran from this machine's when the booking left, as its
    // answers before told: the tracker dates what it makes on its own clock. Absent when
    // no answer told (or in records written before).
    std::optional<ClockOffset> trackerClock = std::nullopt;
    // The ids of the user's entries on the task that already looked like it (the same
    // minutes) before it left: none of them can be the booking. Absent where that was
    // not learnt (the read failed, or records written before).
    std::optional<std::vector<QString>> before = std::nullopt;

    // Whether `entry` holds the same whole minutes as this booking (what every tracker keeps
    // of it): an entry that differs here is never taken for the booking. A count of seconds
    // that is not finite, or too large to round, holds none.
    bool sameMinutesAs(const WorkEntry& entry) const;

    // The starts a tracker can give the entry of a booking whose start is `started`.
    // One that dates entries by the day takes the day the booking arrived in whatever
    // zone it keeps (UTC, the user's on the tracker, this machine's), never more than a
    // day from the date `started` has in another zone; the beginning of such a day lies
    // within two days, and the hour a change of summer time adds, of `started`. A read
    // of what can look like a booking asks for these starts only.
    static DateInterval startsAround(const QDateTime& started);

    friend bool operator==(const WorkLogBooking&, const WorkLogBooking&) = default;
};

} // namespace velmora
