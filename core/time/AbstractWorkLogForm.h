#pragma once

#include "core/model/APIError.h"
#include "core/model/DateInterval.h"
#include "core/model/WorkEntry.h"
#include "core/time/TimeCountValidator.h"
#include "core/time/WorkLogBooking.h"
#include "core/time/WorkLogFormProtocol.h"
#include "platform/async/Cancellable.h"
#include "platform/async/Publisher.h"
#include "platform/async/Stream.h"
#include "validation/FormField.h"
#include "validation/FormManager.h"
#include "validation/ValidationContainer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

class QWidget;

namespace velmora {

// The base of every tracker's booking form: the project and task, the duration to
// book (at least one minute), the form's manager, the two flags the booking sheet
// shows and the bookkeeping of a save request in flight. Each tracker adds its own
// inputs and its save. Main thread only; a form's identity is the object itself.
class AbstractWorkLogForm : public QObject, public WorkLogFormProtocol {
    Q_OBJECT
    Q_PROPERTY(bool errorOccurred READ errorOccurred WRITE setErrorOccurred NOTIFY errorOccurredChanged)
    Q_PROPERTY(bool networkRequestInProgress READ networkRequestInProgress WRITE setNetworkRequestInProgress
                   NOTIFY networkRequestInProgressChanged)

public:
    static inline const QString durationMessage = QStringLiteral("Duration must be at least one minute.");
    static constexpr qint64 minimumDuration = 60;

    AbstractWorkLogForm(Project project, Issue task, double duration, QObject* parent = nullptr);
    ~AbstractWorkLogForm() override;

    const Project& project() const override { return m_project; }
    void setProject(Project project) override { m_project = std::move(project); }
    const Issue& task() const override { return m_task; }
    void setTask(Issue task) override { m_task = std::move(task); }

    const std::shared_ptr<FormManager>& manager() const override { return m_manager; }
    void setManager(std::shared_ptr<FormManager> manager) override;

    // Writing only publishes the new duration; it is judged through durationValidation().
    double duration() const override { return m_duration.value(); }
    void setDuration(double seconds) override { m_duration.setValue(seconds); }
    // The current duration on subscription, then every duration assigned.
    Stream<double> durationStream() const { return m_duration.projectedValue(); }

    // The duration field's validation, bound to the manager current at the first
    // call; built once, so the duration is registered with the manager only once.
    const ValidationContainer& durationValidation();

    bool errorOccurred() const override { return m_errorOccurred; }
    void setErrorOccurred(bool errorOccurred) override;
    bool networkRequestInProgress() const override { return m_networkRequestInProgress; }
    void setNetworkRequestInProgress(bool inProgress) override;

    // Why the last booking failed; absent until one did.
    const std::optional<APIError>& lastError() const { return m_lastError; }

    // What the tracker's own inputs could not load (such as the choices of a picker),
    // and why. Not a failed booking: the form can still book without them.
    struct InputsLoadFailure {
        QString headline;
        APIError error;
    };
    // Absent while nothing failed, and while a load runs again.
    const std::optional<InputsLoadFailure>& inputsLoadFailure() const { return m_inputsLoadFailure; }
    // Loads the inputs again after a failure; nothing for a form that loads none.
    virtual void retryInputsLoad() {}

    // Opens the connection the booking will go on, as the sheet opens: Save then pays no
    // handshake. Nothing for a form with no tracker behind it.
    virtual void openConnectionAhead() {}

    // The tracker's name as the user knows it ("Jira"); empty where not known.
    virtual QString trackerName() const { return {}; }
    // Puts the description typed for an earlier booking of the same time into the form's
    // own input; nothing for a tracker that keeps none.
    virtual void setDraftDescription(const QString& /*description*/) {}

    // The save request in flight, if any.
    bool hasSaveWorkLogDisposable() const { return m_saveWorkLogDisposable.has_value(); }

    // The tracker's own inputs, shown by the booking sheet under the duration; none
    // (nullptr) unless a tracker form has some. The caller owns the widget.
    virtual QWidget* additionalFields(QWidget* parent);

    void save(std::function<void()> completion) override = 0;

    // Reads which of the user's entries on the task are there before anything is
    // booked, so that a booking whose answer never came can be told from them later
    // (its record lists those that look like it). The sheet asks for it as it opens,
    // while the user reads it; a save waits for a read still on its way, and reads again
    // when there was none or it failed. Without it a booking goes out knowing nothing.
    void learnEntriesBefore();
    // Whether that read has ended with the list (a booking leaving now lists what was there).
    bool knowsEntriesBefore() const { return m_entriesBefore == EntriesBefore::known; }
    // At most this many look-alikes are listed in a record; a task with more has its
    // bookings judged by the tracker's clock alone.
    static constexpr std::size_t entriesBeforeKept = 200;
    // The longest a save waits for that read while it is still on its way. The booking's
    // own request takes about this long, so Save costs at most about twice a booking;
    // the list only sharpens the check after a crash, and a booking that leaves without
    // it is judged by the tracker's clock, as records written before the list were.
    // A tracker slow enough to miss it would make a longer wait a wait for nothing.
    static constexpr std::chrono::milliseconds entriesWaitBound{1000};

    // A save still waiting for that read does not leave (the sheet that asked for it
    // closed): nothing is sent and its completion is never called. Whether one waited.
    bool cancelWaitingSave();
    // Called from a slot of bookingSending: the booking must not leave (its record could
    // not be kept). Nothing is sent, no error is set, and a later save may try again.
    void holdBackBooking() { m_bookingHeldBack = true; }
    // Called from a slot of bookingSending: the booking leaves only once releaseBooking says
    // so (its record is on its way to the disk). Meanwhile the request counts as in flight.
    void deferBooking() { m_bookingDeferred = true; }
    // The deferred booking leaves now (`send`), or not at all: then nothing is sent, no error
    // is set, and a later save may try again. Nothing when none is deferred.
    void releaseBooking(bool send);
    // Whether a booking waits for releaseBooking.
    bool isBookingDeferred() const { return static_cast<bool>(m_deferredSend); }

    // Whether `error`, ending a booking's request, proves the tracker kept nothing of
    // it: a refusal it answered (4xx), or a request that never reached it (held by the
    // rate-limit guard, no connection made, the certificate refused, never built).
    // Anything else (a time-out, a connection dropped, a server error, an answer that
    // does not read) may come after the tracker stored the booking.
    static bool provesNothingStored(const APIError& error);

signals:
    void managerChanged();
    void errorOccurredChanged(bool errorOccurred);
    void networkRequestInProgressChanged(bool inProgress);
    // Right before a booking is sent, with what it books; whoever keeps the time
    // records it here (synchronously, before anything leaves).
    void bookingSending(const velmora::WorkLogBooking& booking);
    // The tracker answered the booking with its new entry, whose id this is. Before the
    // save's completion runs.
    void bookingSaved(const QString& entryId);
    // The booking's request ended with a failure that proves nothing was stored (see
    // provesNothingStored); errorOccurred is set right after.
    void bookingRefused(const velmora::APIError& error);
    // A booking's request ended without an answer that says what became of it (see
    // provesNothingStored): the tracker may have it. No error is set (nothing says it
    // failed); lastError() says what happened.
    void bookingOutcomeUnknown(const velmora::APIError& error);
    void inputsLoadFailureChanged();

protected:
    void setInputsLoadFailure(std::optional<InputsLoadFailure> failure);

    // The user's own entries on the task within `interval`; none where the tracker
    // cannot tell them (nothing is then learnt).
    virtual std::optional<Publisher<std::vector<WorkEntry>, APIError>>
    readOwnEntries(const DateInterval& /*interval*/) {
        return std::nullopt;
    }
    // How the tracker's clock runs against ours as its answers tell now.
    virtual std::optional<ClockOffset> currentTrackerClock() const { return std::nullopt; }

    // A booking's request whose answer is the tracker's new entry, read by `idOf`: its
    // id, or, for any other answer (a sign-in page, an empty body, an entry without id),
    // a failure that says the answer could not be read, so the booking's outcome is
    // unknown, never taken for a save.
    template <typename T, typename F>
    static Publisher<QString, APIError> createdEntry(const Publisher<T, APIError>& request, F idOf) {
        return request.tryMap([idOf](const T& answer) -> Result<QString, APIError> {
            const QString id = idOf(answer);
            if (id.trimmed().isEmpty() || id.size() > 1000) {
                return Result<QString, APIError>::failure(APIError::failure(APIError::Cause::Unreadable));
            }
            return Result<QString, APIError>::success(id);
        });
    }

    // The part of save() every tracker shares once the form was found valid and its
    // request is built: keeps the subscription (so the request lives until it ends)
    // and flags the request in flight; on success calls `completion` (for a booking,
    // whose request yields the new entry's id, after bookingSaved), on failure sets
    // errorOccurred (for a booking, only when the failure proves nothing was stored,
    // after bookingRefused; otherwise bookingOutcomeUnknown); in every case then drops
    // the subscription and clears the flag.
    // Outcomes arrive through the event loop, never inside this call, and not at all
    // once the form is gone. While a request is in flight another is not started
    // (nothing is sent and `completion` is never called): replacing the subscription
    // would cancel a booking that may already have reached the tracker and send it
    // a second time.
    template <typename T>
    void runSaveRequest(const Publisher<T, APIError>& request, std::function<void()> completion,
                        std::optional<WorkLogBooking> booking = std::nullopt) {
        if (m_saveWorkLogDisposable || m_waitingForEntries || m_deferredSend) {
            return;
        }
        if (booking && !m_leavingWithoutEntries && m_entriesBefore != EntriesBefore::notWanted &&
            m_entriesBefore != EntriesBefore::known) {
            // The booking waits for the list of what was there; it leaves as soon as
            // the read ends, with or without it, or at the bound, without it.
            m_waitingForEntries = true;
            setNetworkRequestInProgress(true);
            QElapsedTimer waited;
            waited.start();
            const quint64 wait = ++m_waits;
            auto leave = std::make_shared<std::function<void()>>([this, wait, request,
                                                                  completion = std::move(completion),
                                                                  booking = *booking, waited]() mutable {
                // Once, at whichever comes first; never after the wait was called off.
                if (!m_waitingForEntries || m_waits != wait) {
                    return;
                }
                // The flag stays up into the booking: whoever keeps the form until
                // nothing of it is on its way must not let go of it in between.
                m_waitingForEntries = false;
                departLate(booking, waited.elapsed());
                // Read or not, it goes now: a failed read is not tried again.
                m_leavingWithoutEntries = true;
                runSaveRequest(request, std::move(completion), std::move(booking));
                m_leavingWithoutEntries = false;
            });
            whenEntriesRead([leave] { (*leave)(); });
            if (m_waitingForEntries) {
                QTimer::singleShot(entriesWaitBound, Qt::PreciseTimer, this, [leave] { (*leave)(); });
            }
            return;
        }
        if (booking) {
            if (m_entriesBefore == EntriesBefore::known) {
                booking->before = entriesLike(*booking);
            }
            m_bookingHeldBack = false;
            m_bookingDeferred = false;
            emit bookingSending(*booking);
            if (std::exchange(m_bookingHeldBack, false)) {
                m_bookingDeferred = false;
                setNetworkRequestInProgress(false);
                return;
            }
            if (std::exchange(m_bookingDeferred, false)) {
                m_deferredSend = [this, request, completion = std::move(completion), booking]() mutable {
                    sendSaveRequest(request, std::move(completion), booking);
                };
                setNetworkRequestInProgress(true);
                return;
            }
        }
        sendSaveRequest(request, std::move(completion), booking);
    }

    // Whether a booking may go out now: none in flight, every registered field valid,
    // and the duration at least a minute. The last is checked here too because the
    // duration's validator only follows the value while a view shows it: without one,
    // 59 seconds would pass the form and be booked as nothing.
    bool readyToSave() const {
        return !m_saveWorkLogDisposable && !m_deferredSend && m_manager->checkAllValid() &&
               duration() >= minimumDuration;
    }

private:
    template <typename T>
    void sendSaveRequest(const Publisher<T, APIError>& request, std::function<void()> completion,
                         const std::optional<WorkLogBooking>& booking) {
        QPointer<AbstractWorkLogForm> self(this);
        keepSaveRequest(request.receiveOn(this).sink(
            [self, completion = std::move(completion), booked = booking.has_value()](const T& answer) {
                if constexpr (std::is_same_v<T, QString>) {
                    if (booked && self) {
                        emit self->bookingSaved(answer);
                    }
                } else {
                    Q_UNUSED(answer);
                    Q_UNUSED(booked);
                }
                if (completion) {
                    completion();
                }
                // The completion may close the sheet and with it the form.
                if (self) {
                    self->finishSaveRequest(false);
                }
            },
            [self, booked = booking.has_value()](const APIError& error) {
                if (!self) {
                    return;
                }
                self->m_lastError = error;
                if (booked && !provesNothingStored(error)) {
                    self->finishSaveRequest(false);
                    emit self->bookingOutcomeUnknown(error);
                    return;
                }
                if (booked) {
                    emit self->bookingRefused(error);
                }
                if (self) {
                    self->finishSaveRequest(true);
                }
            }));
    }

    void keepSaveRequest(Cancellable subscription);
    void finishSaveRequest(bool failed);
    // Runs `then` once a read of the entries before has ended (starting one when none
    // runs); when nothing can be read, at once, inside this call.
    void whenEntriesRead(std::function<void()> then);
    void entriesRead(std::optional<std::vector<WorkEntry>> entries);
    // A booking held back `waitedMs` for the read leaves now: its moment of leaving (and
    // where the tracker dates it so, its start) and the clock as known now.
    void departLate(WorkLogBooking& booking, qint64 waitedMs) const;
    // The ids of the entries read before that look like `booking`; none when too many.
    std::optional<std::vector<QString>> entriesLike(const WorkLogBooking& booking) const;

    enum class EntriesBefore { notWanted, reading, known, failed };
    EntriesBefore m_entriesBefore = EntriesBefore::notWanted;
    std::vector<WorkEntry> m_entriesRead;
    std::optional<Cancellable> m_entriesReading;
    std::vector<std::function<void()>> m_afterEntriesRead;
    bool m_waitingForEntries = false;
    bool m_leavingWithoutEntries = false;
    // Counts the saves that waited for the read, so a wait called off is never resumed.
    quint64 m_waits = 0;
    bool m_bookingHeldBack = false;
    bool m_bookingDeferred = false;
    std::function<void()> m_deferredSend;

    Project m_project;
    Issue m_task;
    std::shared_ptr<FormManager> m_manager;
    FormField<double, TimeCountValidator> m_duration;
    std::optional<ValidationContainer> m_durationValidation;
    bool m_errorOccurred = false;
    bool m_networkRequestInProgress = false;
    std::optional<Cancellable> m_saveWorkLogDisposable;
    std::optional<APIError> m_lastError;
    std::optional<InputsLoadFailure> m_inputsLoadFailure;
};

} // namespace velmora
