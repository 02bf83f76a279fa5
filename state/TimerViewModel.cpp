#include "state/TimerViewModel.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/TimerSnapshot.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cmath>

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
}

TimerViewModel::~TimerViewModel() = default;

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
    // Moving a running timer to another task keeps the run so far: it is tracked time.
    if (m_startedAt) {
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
    m_startedAt = m_environment.currentTime();
    setState(State::active);
    persist();
}

void TimerViewModel::cancel() {
    if (!hasProjectAndTask()) {
        return;
    }
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
    return TimerSnapshot{m_project, m_task, m_state, m_previousDuration, m_startedAt};
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
