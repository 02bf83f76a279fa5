#pragma once

#include "platform/async/Result.h"
#include "state/BookingRecord.h"
#include "state/StateEnvironment.h"
#include "state/TimerSnapshot.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>

#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace velmora {

class TimerViewModel;

// The one holder of what became of every booking: a record per booking
// (BookingRecord), for the whole process. The application shell makes it at start; it
// outlives every window and every account switch.
//
// Where a record lives: in the snapshot file (SnapshotManager; "Velmora.plist" in the
// app's data folder), in its "bookings" map, under the record's id. That file is
// written whole to a new temporary and renamed into place. Every change below is on
// disk before the call returns and before `recordChanged` tells of it, so what the app
// then does (a sheet closing, time coming back) is never ahead of the file; a booking
// whose record cannot be written does not leave.
//
// Who changes a record: only the calls below. The booking sheet makes one as its
// booking leaves (depart) and passes the tracker's answer on (answered, refused,
// unseen); BookingRecovery passes on what its look-ups learn (found, ask, lookedUp,
// end); the views pass on what the user decides (confirmSaved, keepTime, bookAgain,
// discard, dismiss). Views, the timer, the tray and the alerts read records and follow
// `recordChanged`; none keeps a copy of an outcome.
//
// A booking's seconds live on its record from the moment it leaves: the timer gives
// them up in the very write that makes the record, and gets them back in the very write
// that ends the record unsaved, while it is idle or still tracks the booking's task;
// otherwise the record keeps them (returned) until the user books them again or
// discards them. Saved, they are gone. So no moment on disk has them twice or not at
// all.
//
// The arrival window (how long after it left an unanswered booking may still reach the
// tracker) is measured on the boot clock, which the user's clock changes do not move.
// A run on another boot takes up what is left of it by the wall clock; a wall clock
// that says the booking left in the future (it was set back) is a jump: nothing is
// known of the time passed, and a whole window is waited from then.
//
// At a start, settled records go, and a record still leaving is one whose answer that
// run never saw (unknown). Main thread only.
class BookingRecords : public QObject {
    Q_OBJECT

public:
    // How long after it left (seconds) an unanswered booking may still reach the tracker.
    static constexpr qint64 arrivalWindow = 600;
    // Settled records kept during a run, for the views to read (the oldest go first): the views
    // read the newest outcomes, and every write of the records carries each kept one (20 made
    // the file 80 KB and each booking's writes some milliseconds dearer).
    static constexpr int settledKept = 4;
    // At most this many records are read at a start; a file with more (no run makes so
    // many open at once) has the rest dropped, and logged.
    static constexpr int recordsRead = 1000;

    explicit BookingRecords(StateEnvironment environment, QObject* parent = nullptr);
    ~BookingRecords() override;

    const StateEnvironment& environment() const { return m_environment; }

    std::optional<BookingRecord> record(const QUuid& id) const;
    // The account's records (all of them for an empty account), in the order they left.
    std::vector<BookingRecord> records(const QString& account = {}) const;

    // Milliseconds left of the record's arrival window on the boot clock (0 once it ended).
    qint64 windowLeft(const BookingRecord& record) const;
    // Milliseconds since the record's booking left, on the boot clock (0 after another boot).
    qint64 sinceLeft(const BookingRecord& record) const;
    // When the window ends, on the wall clock as it reads now.
    QDateTime windowEndsAt(const BookingRecord& record) const;

    // A booking leaves with what `draft` says (account, project, task, booking, source):
    // the record (leaving, its window set), and for the timer's time the account's timer
    // without the booked seconds, in one write; a record `replacing` one whose seconds
    // were returned settles that one in the same write. The id, or why the write failed:
    // then nothing changed, and the booking must not leave.
    Result<QUuid, QString> depart(BookingRecord draft, const std::optional<QUuid>& replacing = std::nullopt);

    // The tracker answered with its new entry: saved.
    void answered(const QUuid& id, const QString& entryId);
    // The tracker kept nothing (it refused, or nothing reached it): the seconds go back.
    // `sheetKeepsTime`: the sheet that sent it is open with its time, so time typed by
    // hand needs nowhere else to go.
    void refused(const QUuid& id, const APIError& error, bool sheetKeepsTime);
    // No answer said what became of it (`error` says what happened instead): unknown,
    // until the tracker is asked.
    void unseen(const QUuid& id, const APIError& error);

    // What a look-up learnt: it is in the tracker (saved), an entry may be it (asked),
    // nothing is there yet or the tracker could not be asked (still unknown; the next
    // look-up is planned for `next`, wall clock).
    void found(const QUuid& id, const std::optional<QString>& entryId);
    void ask(const QUuid& id, const WorkEntry& entry);
    void lookedUp(const QUuid& id, BookingRecord::LookUp learnt, const std::optional<APIError>& error,
                  const QDateTime& next);
    // The arrival window ended without the booking found: the seconds go back.
    void end(const QUuid& id, BookingRecord::Ending ending);

    // The user's answers. The entry asked about is the booking.
    void confirmSaved(const QUuid& id);
    // It is not: the seconds go back.
    void keepTime(const QUuid& id);
    // Not listed yet, and the user books the time again now rather than wait: the
    // seconds go back. Whether they went back onto the timer.
    bool bookAgain(const QUuid& id);
    // The returned seconds are let go.
    void discard(const QUuid& id);
    // What a settled record said was read: it goes.
    void dismiss(const QUuid& id);

    // The live timer of `account`: it gives and gets seconds through the records (its
    // own writes are its own). Without one, the account's stored timer is changed.
    void attach(const QString& account, TimerViewModel* timer);
    void detach(const QString& account, TimerViewModel* timer);
    // The live timer of `account`, if one is attached.
    TimerViewModel* liveTimer(const QString& account) const { return m_timers.value(account); }

    // One line per record of `account` that holds seconds, for the tray:
    // "1h 30m on WEB-1 on hold until 10:52".
    QStringList heldNotes(const QString& account = {}) const;

signals:
    // The record changed (or went: then record() has none), and the change is on disk.
    void recordChanged(const QUuid& id);

private:
    // Loads the records, settles what a start settles and takes over the bookings the
    // timers of earlier versions kept; one write.
    void load();
    BookingRecord* find(const QUuid& id);
    // Writes `records` (and the account's timer, when given) as one change; on disk
    // before it returns. Why it is not, if it is not.
    std::optional<QString> commit(const std::vector<BookingRecord>& records,
                                  const std::vector<QUuid>& removed,
                                  const std::optional<std::pair<QString, TimerSnapshot>>& timer);
    // The timer of `account` as it stands (the live one, or the stored one).
    TimerSnapshot timerOf(const QString& account) const;
    // Ends `record` without a save: its seconds go onto the timer while that is free, or
    // stay on it (returned). Written, then told.
    void giveBack(BookingRecord record, BookingRecord::Ending ending, bool sheetKeepsTime = false);
    // The record, while it is in one of `states`.
    std::optional<BookingRecord> inState(const QUuid& id,
                                         std::initializer_list<BookingRecord::State> states) const;
    // Writes the changed record (with the account's timer as given, in the same write),
    // then tells.
    void store(const BookingRecord& record,
               const std::optional<std::pair<QString, TimerSnapshot>>& timer = std::nullopt);
    // Settled records past the bound, oldest first, to go with the next change.
    std::vector<QUuid> prunable() const;
    void announce(const QUuid& id);
    void adoptTimer(const QString& account, const TimerSnapshot& snapshot);

    StateEnvironment m_environment;
    std::vector<BookingRecord> m_records;
    QHash<QString, QPointer<TimerViewModel>> m_timers;
};

} // namespace velmora
