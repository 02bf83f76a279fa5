#include "core/time/AbstractWorkLogForm.h"

#include <utility>

namespace velmora {

AbstractWorkLogForm::AbstractWorkLogForm(Project project, Issue task, double duration, QObject* parent)
    : QObject(parent), m_project(std::move(project)), m_task(std::move(task)),
      m_manager(std::make_shared<FormManager>(FormManager::ValidationType::immediate)),
      m_duration(duration, std::make_shared<TimeCountValidator>(
                               minimumDuration, TimeCountValidator::ValidationType::greaterThanOrEquals,
                               [] { return durationMessage; })) {}

// A request still in flight is cancelled with its subscription.
AbstractWorkLogForm::~AbstractWorkLogForm() = default;

void AbstractWorkLogForm::setManager(std::shared_ptr<FormManager> manager) {
    Q_ASSERT(manager);
    m_manager = std::move(manager);
    emit managerChanged();
}

const ValidationContainer& AbstractWorkLogForm::durationValidation() {
    if (!m_durationValidation) {
        m_durationValidation.emplace(m_duration.validation(*m_manager, [] { return false; }));
    }
    return *m_durationValidation;
}

void AbstractWorkLogForm::setErrorOccurred(bool errorOccurred) {
    if (m_errorOccurred == errorOccurred) {
        return;
    }
    m_errorOccurred = errorOccurred;
    emit errorOccurredChanged(errorOccurred);
}

void AbstractWorkLogForm::setInputsLoadFailure(std::optional<InputsLoadFailure> failure) {
    if (!failure && !m_inputsLoadFailure) {
        return;
    }
    m_inputsLoadFailure = std::move(failure);
    emit inputsLoadFailureChanged();
}

void AbstractWorkLogForm::setNetworkRequestInProgress(bool inProgress) {
    if (m_networkRequestInProgress == inProgress) {
        return;
    }
    m_networkRequestInProgress = inProgress;
    emit networkRequestInProgressChanged(inProgress);
}

QWidget* AbstractWorkLogForm::additionalFields(QWidget*) {
    return nullptr;
}

void AbstractWorkLogForm::keepSaveRequest(Cancellable subscription) {
    m_saveWorkLogDisposable = std::move(subscription);
    setNetworkRequestInProgress(m_saveWorkLogDisposable.has_value());
}

void AbstractWorkLogForm::finishSaveRequest(bool failed) {
    if (failed) {
        setErrorOccurred(true);
    }
    // The request has ended: let go of its subscription without cancelling anything.
    if (m_saveWorkLogDisposable) {
        m_saveWorkLogDisposable->detach();
        m_saveWorkLogDisposable.reset();
    }
    setNetworkRequestInProgress(m_saveWorkLogDisposable.has_value());
}

void AbstractWorkLogForm::releaseBooking(bool send) {
    std::function<void()> deferred = std::exchange(m_deferredSend, nullptr);
    if (!deferred) {
        return;
    }
    if (send) {
        deferred();
        return;
    }
    setNetworkRequestInProgress(m_saveWorkLogDisposable.has_value());
}

bool AbstractWorkLogForm::cancelWaitingSave() {
    if (!m_waitingForEntries) {
        return false;
    }
    m_waitingForEntries = false;
    ++m_waits;
    setNetworkRequestInProgress(m_saveWorkLogDisposable.has_value());
    return true;
}

bool AbstractWorkLogForm::provesNothingStored(const APIError& error) {
    if (error.isLocalRefusal() || error.neverSent() ||
        error.cause() == APIError::Cause::UntrustedCertificate) {
        return true;
    }
    if (error.httpStatus() >= 400 && error.httpStatus() <= 499) {
        return true;
    }
    // These kinds are only made of such refusals (401, 402, 403, 422, 429), with or
    // without the status: a refresh of the token refused after a 401, say.
    switch (error.kind()) {
    case APIError::Kind::Unauthorized:
    case APIError::Kind::Validation:
    case APIError::Kind::PaymentRequired:
    case APIError::Kind::RateLimited:
        return true;
    case APIError::Kind::Unknown:
    case APIError::Kind::NoMorePages:
        break;
    }
    return false;
}

void AbstractWorkLogForm::learnEntriesBefore() {
    if (m_entriesBefore == EntriesBefore::notWanted) {
        m_entriesBefore = EntriesBefore::failed;
    }
    if (m_entriesBefore == EntriesBefore::failed) {
        whenEntriesRead({});
    }
}

void AbstractWorkLogForm::whenEntriesRead(std::function<void()> then) {
    if (then) {
        m_afterEntriesRead.push_back(std::move(then));
    }
    if (m_entriesBefore == EntriesBefore::reading) {
        return;
    }
    // The day before and the day after, as the check after a crash reads them; a
    // start kept as the work's own may lie a day further back.
    const QDateTime now = QDateTime::currentDateTime();
    auto read = readOwnEntries(DateInterval{now.addDays(-2), now.addDays(1)});
    m_entriesBefore = EntriesBefore::reading;
    QPointer<AbstractWorkLogForm> self(this);
    if (!read) {
        // Nothing to wait for.
        entriesRead(std::nullopt);
        return;
    }
    m_entriesReading = read->receiveOn(this).sink(
        [self](const std::vector<WorkEntry>& entries) {
            if (self) {
                self->entriesRead(entries);
            }
        },
        [self](const APIError&) {
            if (self) {
                self->entriesRead(std::nullopt);
            }
        });
}

void AbstractWorkLogForm::entriesRead(std::optional<std::vector<WorkEntry>> entries) {
    if (m_entriesReading) {
        m_entriesReading->detach();
        m_entriesReading.reset();
    }
    m_entriesBefore = entries ? EntriesBefore::known : EntriesBefore::failed;
    m_entriesRead = entries ? std::move(*entries) : std::vector<WorkEntry>{};
    for (auto& then : std::exchange(m_afterEntriesRead, {})) {
        then();
    }
}

void AbstractWorkLogForm::departLate(WorkLogBooking& booking, qint64 waitedMs) const {
    if (booking.sent) {
        booking.sent = booking.sent->addMSecs(waitedMs);
    }
    if (booking.dating == WorkLogBooking::Dating::day) {
        booking.started = booking.started.addMSecs(waitedMs);
    }
    booking.trackerClock = currentTrackerClock();
}

std::optional<std::vector<QString>> AbstractWorkLogForm::entriesLike(const WorkLogBooking& booking) const {
    std::vector<QString> ids;
    for (const WorkEntry& entry : m_entriesRead) {
        // The same minutes on the task: whatever else the check compares, an entry that
        // differs here is never taken for the booking.
        if (entry.issue.id != booking.taskId || !booking.sameMinutesAs(entry)) {
            continue;
        }
        if (ids.size() >= entriesBeforeKept) {
            return std::nullopt;
        }
        ids.push_back(entry.id);
    }
    return ids;
}

} // namespace velmora
