#pragma once

#include "core/model/APIError.h"
#include "core/model/WorkEntry.h"
#include "core/time/WorkLogBooking.h"
#include "platform/async/Cancellable.h"
#include "state/BookingRecords.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

class ProviderService;

// Finds out what became of the bookings whose answer was never seen, for the whole
// process: every record of BookingRecords that is unknown is looked up in its tracker
// (the task's own work logs are read, and only an entry made since the booking left can
// be it), and what that teaches goes to the record. Nothing here keeps an outcome.
//
// Earlier bookings that look the same (the same minutes on the same task, the same
// day) are told apart by when the tracker made them. Creation times are the tracker's,
// on its clock: the record says how that clock ran against ours when the booking left
// (from the HTTP dates of the answers before). The record lists the user's entries on
// the task that looked like the booking before it left: none of them is ever the
// booking, and the one look-alike that is new is it (two new ones, or one the tracker's
// clock surely places before the booking left, are asked about). Only where the record
// has no list (its read failed, or an older version wrote it) do creation times judge
// every look-alike, as below.
//
// An entry belongs to one booking: an entry another booking claimed (BookingRecords keeps
// the claims beyond the records, across starts) is never this one's, and while another booking that looks the same (the same task,
// minutes and day) may be what an entry is — it is still on its way, its outcome is
// unknown, or the user is asked about it — that entry is not taken: the look-up waits
// for the other's answer, or (the other's outcome unknown too, or this one's window
// ending) asks the user, naming both.
//
// A look-up that finds it saves the record; one that finds an entry that may be it
// asks the user. Finding nothing before the end of the arrival window (the tracker may
// still be storing it), or not reaching the tracker, only plans the next look-up:
// `recheckDelay` after nothing was listed, and twice as long after each failure in a
// row, up to `recheckDelayMost`, and never sooner than a rate limit's Retry-After says;
// never past the window's end, where one last look-up decides. Nothing listed then, the booking may not have
// been saved; the tracker not reached then, nobody can tell: either way its seconds go back to the user, and
// the hold ends. A record that settles (or goes) has its planned look-up called off. A record still leaving
// `leavingBound` after it left had its request end unseen (its form went with its window): it is taken as
// unknown. Main thread only.
class BookingRecovery : public QObject {
    Q_OBJECT

public:
    // The tracker's creation stamps and its HTTP dates may come from different machines
    // of it, whose clocks agree to well within this (ms): an entry made this much before
    // the earliest moment the booking can have left is an earlier one; one made before
    // the latest moment plus this may be an earlier one.
    static constexpr qint64 stampSlack = 500;
    // How long after it left (seconds) a booking may still have reached the tracker;
    // an entry that looks the same but was made later is no sure sign.
    static constexpr qint64 arrivalWindow = BookingRecords::arrivalWindow;
    // How long (ms) after a look-up that learnt nothing the tracker is asked again (the
    // first time after a failure; each failure in a row doubles it, up to the most).
    static constexpr int recheckDelay = 30000;
    static constexpr int recheckDelayMost = 240000;
    // A booking's request ends within its resource time-out (120 s); a record still
    // leaving this long (ms) after it left has lost its answer.
    static constexpr int leavingBound = 130000;
    // At most this many look-ups of one account are on their way at once (a start with many
    // held bookings asks the tracker a few at a time, not all at once); the others wait
    // their turn, in order.
    static constexpr int lookUpsAtOnce = 4;

    // The tracker service of an account (its id text), or none when the account is gone.
    using ServiceFor = std::function<std::shared_ptr<ProviderService>(const QString& account)>;

    struct Verdict {
        enum class Kind {
            // One entry can be the booking and nothing else: it was saved.
            saved,
            // No entry can be the booking.
            notFound,
            // An entry may be the booking, or two may: the user decides.
            uncertain,
        };
        Kind kind = Kind::notFound;
        // The entry found (saved) or to be named in the question (uncertain).
        std::optional<WorkEntry> entry;
    };

    // Whether `entry` looks like what `booking` sends: the same task and minutes, and
    // the same start (to the second) where the tracker keeps it, else the same day and
    // description.
    static bool looksLike(const WorkEntry& entry, const WorkLogBooking& booking);
    // What the tracker's `entries` (of the booking's task) say of `booking`.
    static Verdict judge(const std::vector<WorkEntry>& entries, const WorkLogBooking& booking);

    BookingRecovery(BookingRecords& records, ServiceFor serviceFor, QObject* parent = nullptr);
    ~BookingRecovery() override;

    // Tests shorten the wait before asking again.
    void setRecheckDelay(int ms) { m_recheckDelay = ms; }
    // The delay before the next look-up of a record whose last `failures` look-ups in a
    // row failed (0: it found nothing).
    int recheckDelayAfter(int failures) const;

    // Looks up every record whose outcome is unknown (at start; a record that becomes
    // unknown later is looked up at once by itself).
    void start();
    // Looks the record up now (Try Again), unless a look-up of it is on its way.
    void lookUpNow(const QUuid& id);
    // Whether a look-up of the record is on its way.
    bool isLookingUp(const QUuid& id) const { return m_running.count(id) > 0; }
    // Whether a look-up of the record is planned.
    bool isPlanned(const QUuid& id) const { return m_planned.contains(id); }

signals:
    // A look-up of the record started (`running`) or ended.
    void lookingUp(const QUuid& id, bool running);

private:
    // What the tracker's `entries` of the task say of the record, weighed against the
    // other records.
    void lookedAt(const QUuid& id, const std::vector<WorkEntry>& entries);
    // Another record still open that `entry` may be instead of `record`'s booking.
    std::optional<BookingRecord> rivalFor(const BookingRecord& record, const WorkEntry& entry) const;
    void recordChanged(const QUuid& id);
    void lookUp(const QUuid& id);
    // Lets go of the record's look-up that ended; the record, while its outcome is still
    // to be learnt.
    std::optional<BookingRecord> lookUpEnded(const QUuid& id);
    void finish(const QUuid& id, const Verdict& verdict);
    void fail(const QUuid& id, const APIError& error);
    // The next look-up `delay` ms from now, or at the window's end if that comes first.
    void planNext(const BookingRecord& record, qint64 delay, BookingRecord::LookUp learnt,
                  const std::optional<APIError>& error);
    // The look-up ended: no longer running.
    void stopped(const QUuid& id);
    void forget(const QUuid& id);

    BookingRecords& m_records;
    ServiceFor m_serviceFor;
    // The look-ups on their way.
    std::map<QUuid, Cancellable> m_running;
    // The look-up planned for each record: a later plan (or none) makes an earlier one's
    // timer do nothing.
    QHash<QUuid, quint64> m_planned;
    quint64 m_plans = 0;
    // The services made for look-ups, per account, while it has open records.
    QHash<QString, std::shared_ptr<ProviderService>> m_services;
    // Look-ups on their way per account, and the account of each.
    QHash<QString, int> m_runningPerAccount;
    QHash<QUuid, QString> m_accountOf;
    // Look-ups waiting for their turn, per account.
    QHash<QString, std::deque<QUuid>> m_queues;
    QSet<QUuid> m_waiting;
    int m_recheckDelay = recheckDelay;
};

} // namespace velmora
