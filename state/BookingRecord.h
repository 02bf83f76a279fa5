#pragma once

#include "core/model/APIError.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/WorkEntry.h"
#include "core/time/WorkLogBooking.h"
#include "platform/async/BootClock.h"
#include "platform/async/Result.h"

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <memory>
#include <optional>

namespace velmora {

// What became of one booking, as far as the app knows: what was sent, when it left (on
// the wall clock and on the boot clock), its state, and the seconds it holds while its
// outcome is open. BookingRecords keeps one per booking, on disk; see there for who may
// change it.
struct BookingRecord {
    enum class State {
        // Sent; no answer yet. Holds its seconds.
        leaving,
        // No answer said what became of it (a time-out, a dropped connection, a server
        // error, an answer that is not the tracker's entry): the tracker is asked until
        // the end of the arrival window. Holds its seconds.
        unknown,
        // An entry in the tracker may be it: the user is asked. Holds its seconds.
        asked,
        // The tracker has it (`entryId`, where known). Settled.
        saved,
        // It is not (or no longer) to be counted on: its seconds went back to the timer,
        // or to the sheet that is still open. Settled; `ending` says why.
        notSaved,
        // Not saved either, but its seconds had nowhere to go (the timer tracks another
        // task, or they were typed by hand): they wait for the user to book them again
        // or to discard them. Holds its seconds.
        returned,
        // The user discarded its returned seconds, or booked them anew. Settled.
        discarded,
    };

    // Why a booking ended without being saved.
    enum class Ending {
        // The tracker refused it, or it never reached the tracker.
        refused,
        // The arrival window ended and the tracker does not list it.
        notListed,
        // The arrival window ended and the tracker could not be asked.
        notLearnt,
        // The user kept the time of the entry they were asked about.
        keptByUser,
        // The user chose to book it again before the window ended.
        bookAgain,
        // Its account was deleted (the user kept the time) before the app learnt whether the
        // tracker has it.
        accountGone,
    };

    // Where its seconds came from, and so where they go back to.
    enum class Source { timer, manual };

    // What the look-ups learnt so far.
    enum class LookUp {
        none,
        // The tracker answered and lists nothing that is it.
        nothingListed,
        // The tracker could not be asked (`lookUpError` says why).
        failed,
    };

    QUuid id;
    // The account, as the upper-case id text the timers are kept under; empty for a record
    // of no account (its account was deleted, or did not read), which every window shows.
    QString account;
    // The tracker's name for the user ("Jira"); empty where not known.
    QString tracker;
    std::optional<Project> project;
    Issue task;
    WorkLogBooking booking;
    Source source = Source::timer;
    State state = State::leaving;
    std::optional<Ending> ending;
    // The tracker's id of the entry that is the booking, once saved (from its answer, a
    // look-up or the user's word).
    std::optional<QString> entryId;
    // Saved as learnt by a look-up or from the user, not from the booking's answer: the
    // main window says so, once.
    bool savedLater = false;
    // The entry the user is asked about (asked).
    std::optional<WorkEntry> question;
    // Another booking that entry may be instead (asked): the question names both.
    std::optional<QUuid> rival;
    // The record did not read whole at a start: what of it read is here, and the user
    // decides what becomes of its seconds.
    bool damaged = false;
    // When it left on the boot clock; the wall clock's moment is `booking.sent`.
    BootTime left;
    // The end of the arrival window, on the boot clock of the run that set it (each
    // start measures it anew on its own boot), and as the wall clock had it then.
    BootTime windowEnd;
    QDateTime windowEndWall;
    // What ended its request without the tracker's entry: why its outcome is unknown,
    // or the refusal (none when the app stopped while it was on its way).
    std::optional<APIError> unseen;
    // The tracker's answer named this entry, which is another booking's (an answer repeated
    // by a proxy or a cache): no proof of this one, whose outcome is looked up instead.
    std::optional<QString> answerOfAnother;
    // The app stopped while it was on its way.
    bool stoppedWhileLeaving = false;
    LookUp lookUp = LookUp::none;
    std::optional<APIError> lookUpError;
    int lookUpFailures = 0;
    // When a look-up last ended (the wall clock, for the user) and when the next one is
    // due (as the wall clock had it when it was planned).
    std::optional<QDateTime> lookedUpAt;
    std::optional<QDateTime> nextLookUpWall;
    // Settled records stay (for the views to read) until the next start or until the
    // user dismisses what they say.

    // Whether its seconds are held here (not on the timer, not booked).
    bool holdsSeconds() const {
        return state == State::leaving || state == State::unknown || state == State::asked ||
               state == State::returned;
    }
    bool isSettled() const { return !holdsSeconds(); }
    // Whether the tracker is still to be asked about it.
    bool isOpen() const { return state == State::leaving || state == State::unknown; }

    QVariant toSnapshot() const;
    // The stored record, or why it cannot be read.
    static Result<BookingRecord, QString> decode(const QVariant& stored);
    // What of a stored record that does not decode can still be read: its id, account,
    // project, task and seconds where each reads (seconds 0 where they do not), marked
    // damaged. Absent where it is no dictionary or says it was settled.
    static std::optional<BookingRecord> salvage(const QVariant& stored, const QString& key);
    // Whether a stored record says it holds no seconds any more (saved, not saved,
    // discarded), read without decoding the rest of it.
    static bool storedAsSettled(const QVariant& stored);
    // Whether a stored record says its outcome is still to be learnt (leaving, unknown, asked),
    // read the same way.
    static bool storedAsOpen(const QVariant& stored);
    // The state a stored record says it is in, read alone.
    static std::optional<State> storedState(const QVariant& stored);

    // The coded form of a booking as sent (also what the timers of earlier versions kept),
    // and back; a record that does not read is absent.
    static QVariant encodeBooking(const WorkLogBooking& booking);
    static std::optional<WorkLogBooking> decodeBooking(const QVariant& stored);

    friend bool operator==(const BookingRecord&, const BookingRecord&) = default;
};

// An entry of a tracker that is known to be one booking's: the tracker's answer named it,
// a look-up found it, or the user said so. It outlives the booking's record (which goes at
// a start, or when newer outcomes crowd it out): while any booking whose outcome is open
// could meet the entry, no answer, look-up or choice gives it to another booking.
struct BookingClaim {
    // The record whose entry it is (also its key where it is kept).
    QUuid record;
    QString tracker;
    QString account;
    QString entryId;
    QString taskId;
    // The booking's start (where the tracker dates by the day, when it left) and seconds: a
    // booking meets the entry only on its task, with its minutes, within the days its
    // look-ups read.
    QDateTime started;
    qint64 seconds = 0;
    // Its age, on clocks no one sets: what it had reached before `since` (ms), and the boot-clock
    // moment from which it counts on. A claim of another boot counts from that boot's start.
    qint64 agedBefore = 0;
    BootTime since;
    // It did not read whole (see salvage()).
    bool damaged = false;

    // Its age (ms) at `now`.
    qint64 age(const BootTime& now) const {
        return agedBefore + (since.sameBoot(now) ? std::max<qint64>(0, now.msecs - since.msecs) : 0);
    }

    QVariant toSnapshot() const;
    // The stored claim under `key`, or none where it does not read whole.
    static std::optional<BookingClaim> fromSnapshot(const QString& key, const QVariant& stored);
    // What of a stored claim that does not read whole still reads, field by field, marked
    // damaged: a field that does not read is empty (it matches any), its seconds -1. None
    // where its key is no record's id.
    static std::optional<BookingClaim> salvage(const QString& key, const QVariant& stored);

    friend bool operator==(const BookingClaim&, const BookingClaim&) = default;
};

// The notices of the main window that book a record's seconds on a task it names (the
// task of the record, or one the user selected for time of no account).
struct ReturnedTimeOnTask {
    QUuid record;
    Project project;
    Issue task;
};
// Asks the window's shown project for its selected task, to book a record's seconds of no
// account on; `taken` says whether one was.
struct SelectedTaskWanted {
    QUuid record;
    std::shared_ptr<bool> taken;
};

} // namespace velmora
