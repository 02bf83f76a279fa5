#include "state/TimerViewModel.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecords.h"
#include "state/TimerSnapshot.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cmath>
#include <utility>

namespace velmora {

TimerViewModel::TimerViewModel(const QString& key, StateEnvironment environment, QObject* parent)
    : QObject(parent), m_key(key), m_environment(std::move(environment)) {
    if (auto saved = m_environment.snapshotManager().value<TimerSnapshot>(key)) {
        // Taken as it was saved: a timer saved while running comes back running from
        // its old start.
        m_project = std::move(saved->project);
        m_task = std::move(saved->task);
        m_state = saved->state;
        m_previousDuration = saved->previousDuration;
        m_startedAt = std::move(saved->startedAt);
    }
    m_bookings = m_environment.bookings;
    if (m_bookings) {
        m_bookings->attach(m_key, this);
    }
}

BookingRecords* TimerViewModel::bookings() const {
    return m_bookings;
}

TimerViewModel::~TimerViewModel() {
    if (m_bookings) {
        m_bookings->detach(m_key, this);
    }
}

double TimerViewModel::runningSpan() const {
    if (!m_startedAt) {
        return 0;
    }
    const qint64 msecs = m_startedAt->msecsTo(m_environment.currentTime());
    return std::max<qint64>(msecs, 0) / 1000.0;
}

double TimerViewModel::elapsed() const {
    return m_previousDuration + runningSpan();
}

bool TimerViewModel::isInUse() const {
    return m_project || m_task || m_state != State::cancelled || m_previousDuration != 0 || m_startedAt;
}

bool TimerViewModel::isTracking(const Issue& task) const {
    return m_task && m_task->id == task.id;
}

void TimerViewModel::start(const Project& project, const Issue& task) {
    const bool anotherTask = m_task && !isTracking(task);
    if (anotherTask && hasProjectAndTask() && elapsed() >= minimumBookable) {
        // The tracked time belongs to its own task: it is booked (or discarded) there
        // first, the usual way a stop goes.
        m_pendingStart = PendingStart{project, task};
        stopForBooking();
        return;
    }
    m_pendingStart.reset();
    if (anotherTask) {
        // Under a minute: nothing a tracker would take, and never the new task's time.
        m_previousDuration = 0;
        m_startedAt.reset();
    } else if (m_startedAt) {
        m_previousDuration += runningSpan();
    }
    setProject(project);
    setTask(task);
    m_startedAt = m_environment.currentTime();
    setState(State::active);
    persist();
}

void TimerViewModel::pause() {
    if (!hasProjectAndTask()) {
        return;
    }
    if (m_startedAt) {
        m_previousDuration += runningSpan();
    }
    m_startedAt.reset();
    setState(State::paused);
    persist();
}

void TimerViewModel::resume() {
    if (!hasProjectAndTask() || m_state == State::active) {
        return;
    }
    // Going on with the tracked task: the task that waited for its booking does not
    // start when that time is booked later.
    m_pendingStart.reset();
    m_startedAt = m_environment.currentTime();
    setState(State::active);
    persist();
}

void TimerViewModel::cancel() {
    if (!hasProjectAndTask()) {
        return;
    }
    // A plain stop books the tracked task's time and nothing more: a task that waited for an
    // earlier stop's sheet never starts from this one.
    m_pendingStart.reset();
    stopForBooking();
}

void TimerViewModel::stopForBooking() {
    pause();
    // Observers (the booking sheet) run after this event, once the timer shows paused.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] { NotificationCenter::defaultCenter().post(QString(NotificationName::timerCanceled)); },
        Qt::QueuedConnection);
}

void TimerViewModel::reset() {
    if (!hasProjectAndTask()) {
        return;
    }
    m_previousDuration = 0;
    m_startedAt.reset();
    setProject(std::nullopt);
    setTask(std::nullopt);
    setState(State::cancelled);
    persist();
    // The task that waited for the tracked time to be booked or discarded.
    if (auto pending = std::exchange(m_pendingStart, std::nullopt)) {
        start(pending->project, pending->task);
    }
}

void TimerViewModel::setDuration(double seconds) {
    // Such a value cannot be shown, booked or saved (the snapshot file takes only
    // finite numbers).
    if (!std::isfinite(seconds) || seconds < 0) {
        return;
    }
    m_previousDuration = seconds;
    if (hasProjectAndTask() && m_state == State::active) {
        m_startedAt = m_environment.currentTime();
    }
    // Typed time is tracked time: it goes to the disk at once, as every change of the timer
    // does, on the writer's thread (a slow disk never holds up the window).
    persist();
    emit durationChanged();
}

void TimerViewModel::handleLifecycle(const QString& key, LifecycleReason reason) {
    SnapshotManager& snapshots = m_environment.snapshotManager();
    if (!isInUse()) {
        snapshots.remove<TimerSnapshot>(key);
        return;
    }
    const UserSettings& settings = m_environment.userSettings();
    const bool stop = reason == LifecycleReason::switching ? settings.stopTimeTrackingWhenSwitching()
                                                           : settings.stopTimeTrackingWhenClosed();
    if (stop) {
        pause();
    }
    snapshots.save(snapshot(), key);
}

void TimerViewModel::persist() {
    if (m_key.isEmpty()) {
        return;
    }
    SnapshotManager& snapshots = m_environment.snapshotManager();
    if (!isInUse()) {
        snapshots.remove<TimerSnapshot>(m_key);
        return;
    }
    snapshots.save(snapshot(), m_key);
}

TimerSnapshot TimerViewModel::snapshot() const {
    return TimerSnapshot{m_project, m_task, m_state, m_previousDuration, m_startedAt, std::nullopt};
}

void TimerViewModel::adopt(const TimerSnapshot& snapshot, bool startWaiting) {
    m_previousDuration = snapshot.previousDuration;
    m_startedAt = snapshot.startedAt;
    setProject(snapshot.project);
    setTask(snapshot.task);
    setState(snapshot.state);
    emit durationChanged();
    // The tracked time left with its booking: the task that waited for it starts.
    if (startWaiting && !isInUse()) {
        if (auto pending = std::exchange(m_pendingStart, std::nullopt)) {
            start(pending->project, pending->task);
        }
    }
}

void TimerViewModel::setProject(std::optional<Project> project) {
    if (m_project == project) {
        return;
    }
    m_project = std::move(project);
    emit projectChanged();
}

void TimerViewModel::setTask(std::optional<Issue> task) {
    if (m_task == task) {
        return;
    }
    m_task = std::move(task);
    emit taskChanged();
}

void TimerViewModel::setState(State state) {
    if (m_state == state) {
        return;
    }
    m_state = state;
    emit stateChanged(state);
}

} // namespace velmora
