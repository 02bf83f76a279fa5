#include "state/TimerViewModel.h"

#include "core/model/DateInterval.h"
#include "core/model/NotificationNames.h"
#include "core/model/ProviderService.h"
#include "core/model/WorkEntry.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/TimerSnapshot.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimeZone>

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
        m_booking = std::move(saved->booking);
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
    const bool anotherTask = m_task && !isTracking(task);
    if (anotherTask && hasProjectAndTask() && elapsed() >= minimumBookable) {
        // The tracked time belongs to its own task: it is booked (or discarded) there
        // first, the usual way a stop goes.
        m_pendingStart = PendingStart{project, task};
        cancel();
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
    m_booking.reset();
    m_bookingCheck.reset();
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
    return TimerSnapshot{m_project, m_task, m_state, m_previousDuration, m_startedAt, m_booking};
}

void TimerViewModel::recordBooking(const WorkLogBooking& booking) {
    m_booking = booking;
    persist();
    // The record must be on disk before the booking leaves: written later, a crash in
    // between would leave nothing to look for.
    if (!m_key.isEmpty()) {
        m_environment.snapshotManager().flush();
    }
}

void TimerViewModel::forgetBooking() {
    if (!m_booking) {
        return;
    }
    m_booking.reset();
    persist();
}

bool TimerViewModel::isEntryOf(const WorkEntry& entry, const WorkLogBooking& booking) {
    if (entry.issue.id != booking.taskId || !entry.started.isValid() || !booking.started.isValid() ||
        !std::isfinite(entry.spentTimeSeconds) ||
        std::llround(entry.spentTimeSeconds / 60.0) != std::llround(booking.seconds / 60.0)) {
        return false;
    }
    if (std::abs(entry.started.secsTo(booking.started)) < 60) {
        return true;
    }
    // Trackers that date entries by the day: the day and the description must agree.
    const QDateTime sent = booking.started.toTimeZone(entry.started.timeZone());
    return entry.started.time() == QTime(0, 0) && entry.started.date() == sent.date() &&
           entry.description.value_or(QString()) == booking.description;
}

void TimerViewModel::checkRecordedBooking(const std::shared_ptr<ProviderService>& service) {
    if (!m_booking || !service || m_bookingCheck) {
        return;
    }
    const WorkLogBooking booking = *m_booking;
    const DateInterval around{booking.started.addDays(-1), booking.started.addDays(1)};
    QPointer<TimerViewModel> self(this);
    m_bookingCheck = service->fetchWorkEntries(around).receiveOn(this).sink(
        [self, booking](const std::vector<WorkEntry>& entries) {
            if (!self) {
                return;
            }
            self->m_bookingCheck.reset();
            const bool found = std::any_of(entries.begin(), entries.end(),
                                           [&](const WorkEntry& entry) { return isEntryOf(entry, booking); });
            if (self->m_booking != booking) {
                return;
            }
            if (found) {
                self->reset();
                return;
            }
            self->forgetBooking();
            emit self->bookingMayNotHaveBeenSaved(booking);
        },
        [self, booking](const APIError&) {
            if (!self) {
                return;
            }
            self->m_bookingCheck.reset();
            if (self->m_booking != booking) {
                return;
            }
            self->forgetBooking();
            emit self->bookingMayNotHaveBeenSaved(booking);
        });
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
