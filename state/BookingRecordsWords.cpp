// What the booking records say to the user.
#include "state/BookingRecords.h"

#include "core/time/ReadableTimeFormatter.h"

namespace velmora {

QStringList BookingRecords::heldNotes(const QString& account,
                                      const std::function<QString(const QString&)>& quote) const {
    QStringList notes;
    int more = 0;
    for (const BookingRecord& record : m_records) {
        if (!record.holdsSeconds() || !shownFor(record, account)) {
            continue;
        }
        if (notes.size() >= heldNotesShown) {
            ++more;
            continue;
        }
        const QString time =
            ReadableTimeFormatter::format(static_cast<double>(record.booking.seconds)).value_or(QString());
        const QString name = record.task.reference.value_or(record.task.name);
        const QString task = quote ? quote(name) : name;
        if (record.isOpen()) {
            notes << tr("%1 on %2 on hold until %3")
                         .arg(time, task,
                              windowEndsAt(record).toLocalTime().time().toString(QStringLiteral("HH:mm")));
        } else {
            notes << tr("%1 on %2 waits for you").arg(time, task);
        }
    }
    if (more > 0) {
        notes << (more == 1 ? tr("1 more booking held") : tr("%1 more bookings held").arg(more));
    }
    if (m_recordsSetAside > 0) {
        notes << (m_recordsSetAside == 1
                      ? tr("1 more held booking kept in the data file, read at a later start")
                      : tr("%1 more held bookings kept in the data file, read at a later start")
                            .arg(m_recordsSetAside));
    }
    return notes;
}

} // namespace velmora
