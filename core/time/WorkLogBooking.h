#pragma once

#include <QDateTime>
#include <QString>

namespace velmora {

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

    friend bool operator==(const WorkLogBooking&, const WorkLogBooking&) = default;
};

} // namespace velmora
