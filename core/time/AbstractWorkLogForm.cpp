#include "core/time/AbstractWorkLogForm.h"

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

} // namespace velmora
