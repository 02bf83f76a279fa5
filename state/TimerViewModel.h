#pragma once

#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/time/TimeFormatter.h"
#include "state/StateEnvironment.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

namespace velmora {

class BookingRecords;
struct TimerSnapshot;

// The one timer of a main window: the project and task time is tracked for, whether
// it runs, and the time gathered. It keeps no ticking clock: it stores when the
// current run started and what was gathered before it, and works out the elapsed
// time when asked, so a view that shows a running clock refreshes itself.
//
// Most operations act only while both a project and a task are set. Stopping the
// timer with cancel() leaves it paused (the booking sheet opens with its time); only
// reset() makes it idle again. Main thread only.
class TimerViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<velmora::Project> project READ project NOTIFY projectChanged)
    Q_PROPERTY(std::optional<velmora::Issue> task READ task NOTIFY taskChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)

public:
    // `cancelled` is the idle state (a new timer, a reset one).
    enum class State { active, paused, cancelled };
    Q_ENUM(State)

    // Why the main window closes: the user switches accounts, or anything else.
    enum class LifecycleReason { switching, closing };
    Q_ENUM(LifecycleReason)

    using Snapshot = TimerSnapshot;

    // `key` is the account's id as upper-case UUID text; the timer saved under it
    // when the account's window last closed comes back as it was (a timer saved while
    // running keeps counting the time the application was closed). With the
    // environment's booking records, the timer gives its time to the bookings it sends
    // and takes back what they do not book through them (BookingRecords).
    explicit TimerViewModel(const QString& key, StateEnvironment environment = {}, QObject* parent = nullptr);
    ~TimerViewModel() override;

    // "01:02:03" for the timer block, "01:02" for the status item's title.
    const TimeFormatter& formatter() const { return m_formatter; }
    const TimeFormatter& shortFormatter() const { return m_shortFormatter; }

    const std::optional<Project>& project() const { return m_project; }
    const std::optional<Issue>& task() const { return m_task; }
    State state() const { return m_state; }
    // Time gathered before the current run (or set by hand), in seconds.
    double previousDuration() const { return m_previousDuration; }
    // Start of the current run; absent while the timer does not run.
    const std::optional<QDateTime>& startedAt() const { return m_startedAt; }

    // Seconds gathered so far: the earlier runs plus the current one.
    double elapsed() const;
    // The clock the time is measured on.
    const std::shared_ptr<Clock>& clock() const { return m_environment.clock; }
    // Whether the timer holds anything worth keeping when its window closes.
    bool isInUse() const;
    // Whether `task` is the tracked task. Tasks are matched by id: a reloaded task
    // whose spent time changed is still the one being tracked.
    bool isTracking(const Issue& task) const;

    // Less than this is no time worth booking (the trackers' smallest unit).
    static constexpr double minimumBookable = 60;

    // Starts tracking the task. On the tracked task the time gathered so far is kept.
    // Another task never takes over tracked time: with a minute or more on the
    // tracked task the timer is stopped instead (cancel(), which opens its booking
    // sheet) and the new task starts only once that time is booked or discarded
    // (reset()); with less, the new task starts from nothing.
    void start(const Project& project, const Issue& task);
    // Whether a task waits for the tracked time to be booked or discarded.
    bool hasPendingStart() const { return m_pendingStart.has_value(); }
    // The task that waits, if one does.
    std::optional<Issue> pendingTask() const {
        return m_pendingStart ? std::optional<Issue>(m_pendingStart->task) : std::nullopt;
    }
    // The booking sheet closed and the tracked time stays: the waiting task does not
    // start.
    void dropPendingStart() { m_pendingStart.reset(); }
    void pause();
    // Continues a paused timer; on a running timer it does nothing, so the current
    // run is never dropped.
    void resume();
    // Pauses, then posts "TimerCanceled" from the event loop, after this call returned. The
    // user's own stop: a task that waited for an earlier stop's time no longer waits (it
    // starts only from the stop it was asked with).
    void cancel();
    void reset();
    // Replaces the gathered time (the editable time field), saved at once. A running
    // timer counts on from the new value. A value that is negative or not a number is
    // ignored.
    void setDuration(double seconds);

    // The close hook of the main window: an idle timer removes its saved entry under
    // `key`; otherwise the timer pauses when the user's setting for `reason` says so
    // ("stopTimeTrackingWhenSwitching", "stopTimeTrackingWhenClosed") and is saved.
    void handleLifecycle(const QString& key, LifecycleReason reason);

    // The account's id text the timer is kept under (empty: not kept).
    const QString& key() const { return m_key; }
    // The process's booking records, through which the timer's time is booked; null
    // where the timer books nothing.
    BookingRecords* bookings() const;
    // Takes on `snapshot`: what the booking records write when a booking takes the timer's
    // time with it or brings it back. Observers hear of every change. Once that is on disk
    // (`startWaiting`), a timer left with nothing starts the task that waited for its time.
    void adopt(const TimerSnapshot& snapshot, bool startWaiting = true);
    // The stored form of this timer.
    TimerSnapshot snapshot() const;

signals:
    void projectChanged();
    void taskChanged();
    void stateChanged(velmora::TimerViewModel::State state);
    // The gathered time was replaced (setDuration, or a booking took or brought back
    // time).
    void durationChanged();

private:
    bool hasProjectAndTask() const { return m_project.has_value() && m_task.has_value(); }
    // Seconds since `m_startedAt`; never negative, so a clock set back takes nothing
    // away from the time already gathered.
    double runningSpan() const;
    void setProject(std::optional<Project> project);
    void setTask(std::optional<Issue> task);
    void setState(State state);
    // Pauses and posts "TimerCanceled" (the booking sheet opens).
    void stopForBooking();
    // Writes the timer as it is now (or forgets it when idle), so a crash or a kill
    // loses no tracked time.
    void persist();

    QString m_key;
    StateEnvironment m_environment;
    TimeFormatter m_formatter{TimeFormatter::Style::Long};
    TimeFormatter m_shortFormatter{TimeFormatter::Style::Short};
    std::optional<Project> m_project;
    std::optional<Issue> m_task;
    State m_state = State::cancelled;
    double m_previousDuration = 0;
    std::optional<QDateTime> m_startedAt;
    struct PendingStart {
        Project project;
        Issue task;
    };
    std::optional<PendingStart> m_pendingStart;
    // The environment's records, while they are there.
    QPointer<BookingRecords> m_bookings;
};

} // namespace velmora
