#pragma once

#include "platform/async/Result.h"
#include "state/BookingRecord.h"
#include "state/StateEnvironment.h"
#include "state/TimerSnapshot.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <deque>
#include <functional>
#include <future>
#include <initializer_list>
#include <list>
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
// written whole to a new temporary and renamed into place, on the store's writer thread.
// What `record` and `records` give is what is on disk: a change is written first, and only
// once its write ended does it show here and does `recordChanged` tell of it, so what the
// app then does (a sheet closing, time coming back) is never ahead of the file. A change
// whose write fails changes nothing (`writeFailed` says why); a booking whose record
// cannot be written does not leave. Changes are written one after another, in the order
// they were asked for, each judged against the records as they stand once the one before
// is on disk. Nothing here waits for the disk on the calling thread.
//
// Who changes a record: only the calls below. The booking sheet makes one as its
// booking leaves (depart) and passes the tracker's answer on (answered, refused,
// unseen); BookingRecovery passes on what its look-ups learn (found, ask, lookedUp,
// end); the views pass on what the user decides (confirmSaved, keepTime, bookAgain,
// discard, dismiss, and what becomes of a deleted account's time). Views, the timer, the
// tray and the alerts read records and follow `recordChanged`; none keeps a copy of an
// outcome.
//
// A booking's seconds live on its record from the moment it leaves: the timer gives
// them up in the very write that makes the record, and gets them back in the very write
// that ends the record unsaved, while it is idle or still tracks the booking's task;
// otherwise the record keeps them (returned) until the user books them again or
// discards them. Saved, they are gone. So no moment on disk has them twice or not at
// all. Seconds are never written onto the timer of an account that is gone, nor kept
// only by a sheet: they stay on their record, which every main window then shows.
//
// An entry of the tracker belongs to one booking: a record saved with an entry claims it
// (BookingClaim), and no other record of its account is ever saved with the same one, nor
// asked about it (two sites or instances of one tracker number their entries alike, so a
// claim binds its own account's bookings only). The claims are kept in a journal of their
// own beside the file (BookingClaimsJournal: what a Save writes does not grow with them), on
// the disk before the write that saves the record, and they outlive the records: a claim stays while a booking of its
// account whose outcome is open (leaving, unknown, asked) could meet its entry (the same
// tracker, task and minutes, whatever their dates say), and while one leaving now could (it
// is younger than `claimsKeptFor` on the boot clock, which no one sets: see
// BookingClaim::age). Only then does it go, with whatever change comes next; so no start,
// kill, pruning, clock set wrong for a while or deleted account lets an entry pass to
// another booking while one could take it. A deleted account's claims stay only where its
// time kept could meet them. An answer that names a claimed entry is no save: its booking's
// outcome is unknown and looked up.
//
// The arrival window (how long after it left an unanswered booking may still reach the
// tracker) is measured on the boot clock, which the user's clock changes do not move.
// A run on another boot takes up what is left of it by the wall clock; a wall clock
// that says the booking left in the future (it was set back) is a jump: nothing is
// known of the time passed, and a whole window is waited from then.
//
// At a start, settled records go, and a record still leaving is one whose answer that
// run never saw (unknown). A record that does not read whole keeps what of it reads
// (its seconds, account and task) and waits for the user, marked damaged. Main thread
// only.
class BookingRecords : public QObject {
    Q_OBJECT

public:
    // How long after it left (seconds) an unanswered booking may still reach the tracker.
    static constexpr qint64 arrivalWindow = 600;
    // Settled records kept during a run, for the views to read (the oldest go first): the views
    // read the newest outcomes, and every write of the records carries each kept one (20 made
    // the file 80 KB and each booking's writes some milliseconds dearer).
    static constexpr int settledKept = 4;
    // At most this many records that hold seconds are read at a start, those still to be learnt
    // about first; a file with more (no run makes so many at once) keeps the rest unread for a
    // later start, and the tray says so. Settled records go at a start anyway and count for
    // nothing.
    static constexpr int recordsRead = 1000;
    // At most this many claims are read at a start, those an open booking could meet first, then
    // the youngest; the rest stay in the file for a later start, and meanwhile the look-alikes on
    // their tasks are asked about, never taken. A run keeps only those an open booking or one
    // leaving now could meet.
    static constexpr int claimsRead = 4000;
    // A claim this old (seconds, on the boot clock: see BookingClaim::age) can no longer be met
    // by a booking that leaves now (its look-ups read two days either side of its start).
    static constexpr qint64 claimsKeptFor = 3 * 24 * 3600;
    // The tray names at most this many held bookings, then how many more there are.
    static constexpr int heldNotesShown = 10;

    explicit BookingRecords(StateEnvironment environment, QObject* parent = nullptr);
    ~BookingRecords() override;

    const StateEnvironment& environment() const { return m_environment; }

    std::optional<BookingRecord> record(const QUuid& id) const;
    // The same without a copy, valid until the records next change.
    const BookingRecord* peek(const QUuid& id) const;
    // The records a window of `account` shows, in the order they left: the account's own and
    // those of no account (a deleted account's, one whose account did not read). All of them
    // for an empty account.
    std::vector<BookingRecord> records(const QString& account = {}) const;
    // Every record, in the order they left, without a copy.
    const std::list<BookingRecord>& all() const { return m_records; }
    // Whether a window of `account` shows `record` (see records()).
    static bool shownFor(const BookingRecord& record, const QString& account) {
        return account.isEmpty() || record.account == account || record.account.isEmpty();
    }
    // The records that book `minutes` whole minutes on the task `taskId` (what a look-alike
    // of another booking has in common with it), in no particular order; valid until the
    // records next change. What the look-ups and the words compare, without a walk of all.
    std::vector<const BookingRecord*> lookAlikes(const QString& taskId, qint64 minutes) const;
    // The whole minutes a booking of `seconds` books (what every tracker keeps of it).
    static qint64 minutesOf(double seconds);
    // Whether a record of `account` is still to be learnt about from its tracker.
    bool hasOpen(const QString& account) const { return m_openPerAccount.value(account) > 0; }

    // The claim on `entryId` by a booking other than `record` of its account (the same site or
    // instance: two of them number their entries alike), its tracker and its task; none while the
    // entry is no other booking's.
    const BookingClaim* claimOn(const BookingRecord& record, const QString& entryId) const;
    // Whether an entry a look-up finds for `record` is asked about rather than taken: a claim
    // that did not read whole, or one left in the file past the bound, may be on its task.
    bool mustAsk(const BookingRecord& record) const;
    // How many records that hold time, and claims, a start left in the file unread (past
    // their bounds), for a later start.
    int recordsSetAside() const { return m_recordsSetAside; }
    int claimsSetAside() const { return m_claimsSetAside; }
    // Every claim kept, for the tests and the file.
    std::vector<BookingClaim> claims() const;

    // What a tracker answered that could not be noted on disk (the write failed): the record
    // still says what it said before, and the next start asks the tracker again. The words
    // say what is known meanwhile.
    struct Unnoted {
        enum class Kind { saved, refused, unknown };
        Kind kind = Kind::unknown;
        // Why it could not be noted.
        QString failure;
        // When the answer came (wall clock).
        QDateTime at;
    };
    std::optional<Unnoted> unnoted(const QUuid& id) const;

    // Milliseconds left of the record's arrival window on the boot clock (0 once it ended).
    qint64 windowLeft(const BookingRecord& record) const;
    // Milliseconds since the record's booking left, on the boot clock (0 after another boot).
    qint64 sinceLeft(const BookingRecord& record) const;
    // When the window ends, on the wall clock as it reads now.
    QDateTime windowEndsAt(const BookingRecord& record) const;

    // Told once a change is on disk (absent) or why it is not (then it changed nothing).
    using Written = std::function<void(const std::optional<QString>& failure)>;

    // A booking leaves with what `draft` says (account, project, task, booking, source):
    // the record (leaving, its window set), and for the timer's time the account's timer
    // without the booked seconds, in one write. Booking seconds that were returned
    // (`replacing`), the returned record itself leaves with them (and so keeps them until the
    // tracker's entry is seen); booking only part of them, the rest stays returned on it and
    // a new record leaves with that part. The id of the record that leaves; `written` says
    // whether it is on disk: only then may the booking be sent. A failure is the caller's to
    // tell (`writeFailed` says it is told).
    QUuid depart(BookingRecord draft, const std::optional<QUuid>& replacing, Written written);

    // The tracker answered with its new entry: saved.
    void answered(const QUuid& id, const QString& entryId);
    // The tracker kept nothing (it refused, or nothing reached it): the seconds go back to
    // the timer where it is free for them, else they stay on the record for the user.
    void refused(const QUuid& id, const APIError& error);
    // No answer said what became of it (`error` says what happened instead): unknown,
    // until the tracker is asked.
    void unseen(const QUuid& id, const APIError& error);

    // What a look-up learnt: it is in the tracker (saved; refused when another record holds
    // that entry), an entry may be it (asked; `rival` names another booking the entry may be
    // instead), nothing is there yet or the tracker could not be asked (still unknown; the
    // next look-up is planned for `next`, wall clock).
    void found(const QUuid& id, const std::optional<QString>& entryId);
    void ask(const QUuid& id, const WorkEntry& entry, const std::optional<QUuid>& rival = std::nullopt);
    void lookedUp(const QUuid& id, BookingRecord::LookUp learnt, const std::optional<APIError>& error,
                  const QDateTime& next);
    // The arrival window ended without the booking found: the seconds go back.
    void end(const QUuid& id, BookingRecord::Ending ending);

    // The user's answers. The entry asked about is the booking.
    void confirmSaved(const QUuid& id);
    // It is not: the seconds go back.
    void keepTime(const QUuid& id);
    // Not listed yet, and the user books the time again now rather than wait: the seconds
    // go back. `then` hears whether they went back onto the timer (else they wait on the
    // record).
    void bookAgain(const QUuid& id, std::function<void(bool onTimer)> then = {});
    // The returned seconds are let go.
    void discard(const QUuid& id);
    // What a settled record said was read: it goes.
    void dismiss(const QUuid& id);

    // The account is being deleted. Its records that hold seconds: discarded
    // (`keepTime` false), or kept, of no account, for the user to book on a task of another
    // account or discard (their look-ups can no longer run: they wait for the user), and the
    // time its timer holds with them, on a record of its own, in the write that empties the
    // timer. A booking still on its way keeps waiting for its answer, which settles it.
    void accountGoing(const QString& account, bool keepTime, Written written = {});
    // Whether `account` still has records that hold seconds.
    std::vector<BookingRecord> held(const QString& account) const;

    // The live timer of `account`: it gives and gets seconds through the records (its
    // own writes are its own). Without one, the account's stored timer is changed.
    void attach(const QString& account, TimerViewModel* timer);
    void detach(const QString& account, TimerViewModel* timer);
    // The live timer of `account`, if one is attached.
    TimerViewModel* liveTimer(const QString& account) const { return m_timers.value(account); }

    // One line per record of `account` that holds seconds, for the tray:
    // "1h 30m on WEB-1 on hold until 10:52"; past `heldNotesShown`, how many more. Each task's
    // name goes in as `quote` gives it (the views bound and isolate names; see
    // BookingTexts::heldNotes), else whole.
    QStringList heldNotes(const QString& account = {},
                          const std::function<QString(const QString&)>& quote = {}) const;

    // Waits until every change asked for so far is on disk (or failed) and told. For the
    // quit (and tests); nothing else waits for the disk.
    void settle();
    // Whether a change is still on its way to the disk.
    bool isWriting() const { return m_inFlight.has_value() || !m_queue.empty(); }

signals:
    // The record changed (or went: then record() has none), and the change is on disk.
    void recordChanged(const QUuid& id);
    // A change could not be written (why): nothing of it happened. `toldByAsker`: whoever asked
    // for the change tells the user (a booking's sheet does), so no one else should.
    void writeFailed(const QString& reason, bool toldByAsker);
    // What a tracker answered about the record could not be noted on disk (see unnoted()).
    void answerNotNoted(const QUuid& id);

private:
    // One change of records (and of an account's timer), written as one.
    struct Change {
        std::vector<BookingRecord> records;
        std::vector<QUuid> removed;
        std::optional<std::pair<QString, TimerSnapshot>> timer;
        Written written;
        std::vector<BookingClaim> claims;
        std::vector<QUuid> claimsGone;
        // The failure is told by whoever asked for the change.
        bool askerTells = false;
    };
    struct InFlight {
        quint64 serial = 0;
        Change change;
        // The timer as it was before the change took it over, to go back to on a failure.
        std::optional<std::pair<QString, TimerSnapshot>> timerBefore;
        std::vector<SnapshotManager::Change> undo;
        // The claims' lines on their way to their journal, before the rest is written.
        std::optional<std::shared_future<std::optional<QString>>> journal;
    };

    // Loads the records, settles what a start settles and takes over the bookings the
    // timers of earlier versions kept.
    void load();
    // Reads the claims (within their bound, those open bookings could meet first) and lets go
    // of those no booking can meet; what the snapshot file must change goes into `changes`.
    void loadClaims(const Snapshot& snapshot, const BootTime& boot, std::vector<SnapshotManager::Change>& changes);
    // Runs `step` once every change asked for before it is on disk.
    void enqueue(std::function<void()> step);
    void pump();
    // Writes `change`; once on disk the records take it on and tell. With nothing to write,
    // only `written` is told.
    void write(Change change);
    void writeEnded(quint64 serial, const std::optional<QString>& failure);
    // The claims' lines of the change in flight are on disk (or failed): the rest is written.
    void journalEnded(quint64 serial);
    // Tells that `change` could not be written (why), and goes on with the next.
    void notWritten(const Change& change, const QString& failure);
    // Forgets the claims of `gone` and appends their ends to the journal, off this thread.
    void endClaims(const std::vector<QUuid>& gone);
    // Writes what of `change` goes to the snapshot file (its claims are on disk already).
    void writeSnapshot(Change change);
    BookingRecord* find(const QUuid& id);
    // The indexes follow a record that comes, changes or goes.
    void unindex(const BookingRecord& record);
    void index(const BookingRecord& record);
    // Whether a booking whose outcome is open could meet the claimed entry, whatever its age.
    bool claimMet(const BookingClaim& claim, const std::vector<BookingRecord>& changed) const;
    // Look-ups on the claim's task ask rather than take (see mustAsk()).
    void askOn(const BookingClaim& claim);
    // The claims no booking could meet any more once `changed` is written, to go with it.
    std::vector<QUuid> claimsUnneeded(const std::vector<BookingRecord>& changed) const;
    // The claim a record saved with its entry makes.
    BookingClaim claimOf(const BookingRecord& saved) const;
    // Tells what a tracker answered (`kind`) when its write failed.
    Written noteOnFailure(const QUuid& id, Unnoted::Kind kind);
    // The timer of `account` as it stands (the live one, or the stored one).
    TimerSnapshot timerOf(const QString& account) const;
    // Whether `account` is one the app still has.
    bool accountExists(const QString& account) const;
    // The time `account`'s timer holds, as a record of no account that waits for the user;
    // none while it holds none.
    std::optional<BookingRecord> timerTimeKept(const QString& account) const;
    // Ends `record` without a save: its seconds go onto the timer while that is free, or
    // stay on it (returned).
    void giveBack(BookingRecord record, BookingRecord::Ending ending, Written written = {});
    // The record, while it is in one of `states`.
    std::optional<BookingRecord> inState(const QUuid& id,
                                         std::initializer_list<BookingRecord::State> states) const;
    // Saves `record` with the tracker's entry, and claims the entry in the same write.
    void saveWith(BookingRecord record, const QString& entryId, Written written = {});
    // Writes the changed record (with the account's timer as given, in the same write).
    void store(const BookingRecord& record,
               const std::optional<std::pair<QString, TimerSnapshot>>& timer = std::nullopt,
               Written written = {});
    // Settled records past the bound, oldest first, to go with the next change.
    std::vector<QUuid> prunable(const std::vector<BookingRecord>& changed) const;
    void adoptTimer(const QString& account, const TimerSnapshot& snapshot, bool startWaiting);

    StateEnvironment m_environment;
    std::list<BookingRecord> m_records;
    QHash<QUuid, std::list<BookingRecord>::iterator> m_byId;
    // Record ids by task and whole minutes (see lookAlikes()).
    QHash<QString, std::vector<QUuid>> m_byLooks;
    QHash<QString, int> m_openPerAccount;
    QHash<QUuid, BookingClaim> m_claims;
    QMultiHash<QString, QUuid> m_claimsByEntry;
    // Where the claims' ages stood at the last walk of them all: the first moment (boot clock)
    // a claim then young comes of age, and those already of age (kept while an open booking
    // could meet them).
    struct ClaimsAging {
        QByteArray boot;
        qint64 nextAgeOut = 0;
        std::vector<QUuid> aged;
    };
    mutable ClaimsAging m_claimsAging;
    // Tasks whose look-alikes are asked about (any task: an empty one).
    QSet<QString> m_askOnTasks;
    int m_recordsSetAside = 0;
    int m_claimsSetAside = 0;
    QHash<QUuid, Unnoted> m_unnoted;
    QHash<QString, QPointer<TimerViewModel>> m_timers;
    std::deque<std::function<void()>> m_queue;
    std::optional<InFlight> m_inFlight;
    // The ends of claims, appended once the write that made them unneeded is on disk.
    std::optional<std::shared_future<void>> m_claimsEnding;
    quint64 m_serials = 0;
};

} // namespace velmora
