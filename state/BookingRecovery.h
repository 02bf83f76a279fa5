#pragma once

#include "core/model/APIError.h"
#include "core/model/WorkEntry.h"
#include "core/time/WorkLogBooking.h"
#include "platform/async/Cancellable.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace velmora {

class ProviderService;
class TimerViewModel;

// Finds out what became of a booking that an earlier run sent and never saw answered
// (the timer keeps its record): the task's own work logs are read, and only an entry
// made since the booking left can be it. Earlier bookings that look the same (the same
// minutes on the same task, the same day) are told apart by when the tracker made them.
//
// Creation times are the tracker's, on its clock: the record says how that clock ran
// against ours when the booking left (from the HTTP dates of the answers before).
//
// The record lists the user's entries on the task that looked like the booking before
// it left: none of them is ever the booking, and the one look-alike that is new is it
// (two new ones, or one the tracker's clock surely places before the booking left, are
// asked about). Only where the record has no list (its read failed, or an older version
// wrote it) do creation times judge every look-alike, as below.
//
// Found, the booked seconds leave the timer (only those: it may have run on since);
// not there, the time stays and the user hears of it; when the app cannot tell (an
// entry that looks the same but was made so close to the moment the booking left that
// it may be an earlier one, or later than the booking could have arrived, or on a clock
// not known, or two of them), the time stays and the user is asked, with the entry
// named. The record stays until the question is answered (asked again at the next
// start), and goes as soon as any other outcome is in. A tracker that could not be
// asked answers nothing: the record stays, and it is asked again a little later (and at
// the next start).
//
// A booking whose answer never came while the app ran (a time-out, a dropped
// connection) is looked up at once (the timer's bookingNeedsCheck). The tracker may
// still be working on it then: until the booking could have arrived, finding nothing
// only means asking again later. Main thread only.
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
    static constexpr qint64 arrivalWindow = 600;
    // How long (ms) after a look-up that learnt nothing the tracker is asked again, while
    // the record stands.
    static constexpr int recheckDelay = 30000;

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

    explicit BookingRecovery(TimerViewModel& timer, QObject* parent = nullptr);
    ~BookingRecovery() override;

    // Looks the timer's recorded booking up in the tracker; without a record, or while a
    // look-up runs, it does nothing. The service is kept for the look-ups that follow
    // (again later, or when the timer asks for one).
    void check(const std::shared_ptr<ProviderService>& service);
    // Tests shorten the wait before asking again.
    void setRecheckDelay(int ms) { m_recheckDelay = ms; }
    // The user says the entry named in the question about `booking` is it: the booked
    // seconds leave the timer, and only those (it may have run on meanwhile). A timer
    // reset or on another task since the question keeps all of its time.
    void confirmSaved(const WorkLogBooking& booking);
    // The user keeps the time asked about: the record goes, the time stays.
    void keepTime(const WorkLogBooking& booking);

signals:
    // Nothing in the tracker is the booking; the timer keeps its time.
    void bookingMayNotHaveBeenSaved(const velmora::WorkLogBooking& booking);
    // `entry` may be the booking; the timer keeps its time until the user says so.
    void bookingMayBe(const velmora::WorkLogBooking& booking, const velmora::WorkEntry& entry);
    // The tracker could not be asked (`error` says why); the timer keeps its time and
    // the record, and check() asks again.
    void bookingCheckFailed(const velmora::WorkLogBooking& booking, const velmora::APIError& error);

private:
    // Ends the look-up; whether the timer still holds the record read.
    bool settle(const WorkLogBooking& booking);
    void finish(const WorkLogBooking& booking, const Verdict& verdict);
    void fail(const WorkLogBooking& booking, const APIError& error);
    void timerTaskChanged();
    void checkUnanswered();
    // Asks again after the recheck delay.
    void recheckLater();

    QPointer<TimerViewModel> m_timer;
    std::optional<Cancellable> m_check;
    // The booking the open question is about, while the timer has stayed on its task.
    std::optional<WorkLogBooking> m_asked;
    std::shared_ptr<ProviderService> m_service;
    // The booking whose answer never came while the app ran: not finding it before it
    // could have arrived settles nothing.
    std::optional<WorkLogBooking> m_unanswered;
    // The booking the user was told could not be checked: asking again is quiet.
    std::optional<WorkLogBooking> m_toldFailure;
    QTimer m_recheck;
    int m_recheckDelay = recheckDelay;
};

} // namespace velmora
