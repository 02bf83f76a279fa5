#include "trackers/jira/JiraWorkLogForm.h"

#include "trackers/jira/JiraDescriptionInput.h"
#include "trackers/jira/JiraEndpoint.h"

#include <cmath>

namespace velmora {

JiraWorkLogForm::JiraWorkLogForm(JiraProvider provider, std::shared_ptr<JiraService> service, Project project,
                                 Issue task, double duration, QObject* parent)
    : AbstractWorkLogForm(std::move(project), std::move(task), duration, parent),
      m_provider(std::move(provider)), m_service(std::move(service)),
      m_description(QString(), std::make_shared<CountValidator>(
                                   maximumDescriptionLength, CountValidator::ValidationType::lessThanOrEquals,
                                   [] { return descriptionTooLong; })) {
    Q_ASSERT(m_service);
}

const ValidationContainer& JiraWorkLogForm::descriptionValidation() {
    if (!m_descriptionValidation) {
        m_descriptionValidation.emplace(m_description.validation(*manager(), [] { return false; }));
    }
    return *m_descriptionValidation;
}

QWidget* JiraWorkLogForm::additionalFields(QWidget* parent) {
    return new JiraDescriptionInput(*this, parent);
}

std::optional<JiraWorkItemDTO> JiraWorkLogForm::workItem(const QString& description, double duration,
                                                         const QDateTime& bookedAt) {
    // 2^63 is the first double beyond the 64-bit range.
    if (!std::isfinite(duration) || duration >= 9223372036854775808.0 || duration <= -9223372036854775808.0) {
        return std::nullopt;
    }
    JiraWorkItemDTO item;
    if (!description.isEmpty()) {
        item.comment = JiraWorkItemDTO::Comment::document(description);
    }
    item.timeSpentSeconds = static_cast<std::int64_t>(std::trunc(duration));
    const QDateTime started = bookedAt.addSecs(-item.timeSpentSeconds);
    if (!started.isValid()) {
        return std::nullopt;
    }
    item.started = JiraService::formatStarted(started);
    return item;
}

bool JiraWorkLogForm::provesEntry(const JiraCreatedWorkLogDTO& answer, const QString& taskId,
                                  std::int64_t seconds, const QDateTime& started) {
    // Jira's answer always carries the start it kept, to the millisecond: one without it, or
    // with another, is not the work log this booking made.
    if (!answer.started) {
        return false;
    }
    const auto kept = JiraService::parseStarted(*answer.started);
    if (!kept || kept->toMSecsSinceEpoch() != started.toMSecsSinceEpoch()) {
        return false;
    }
    return answer.issueId == taskId && answer.timeSpentSeconds && std::isfinite(*answer.timeSpentSeconds) &&
           *answer.timeSpentSeconds == static_cast<double>(seconds);
}

void JiraWorkLogForm::save(std::function<void()> completion) {
    if (!readyToSave()) {
        return;
    }
    const QDateTime bookedAt = m_service->clock()->now();
    const auto body = workItem(description(), duration(), bookedAt);
    if (!body) {
        setErrorOccurred(true);
        return;
    }
    WorkLogBooking booking{task().id, bookedAt.addSecs(-body->timeSpentSeconds), body->timeSpentSeconds,
                           description()};
    // Jira keeps the start as sent, to the millisecond.
    booking.dating = WorkLogBooking::Dating::exact;
    booking.sent = bookedAt;
    booking.trackerClock = m_service->request()->trackerClock();
    // Saved only when Jira answers with the new work log: the task's and the time's (an id
    // alone is anybody's answer).
    auto request =
        createdEntry(m_service->saveWorkItem(task(), *body),
                     [taskId = task().id, seconds = body->timeSpentSeconds,
                      started = booking.started](const JiraCreatedWorkLogDTO& answer) {
                         return provesEntry(answer, taskId, seconds, started) ? answer.id : QString();
                     });
    runSaveRequest(m_service->guardRateLimit(std::move(request)), std::move(completion), booking);
}

std::optional<Publisher<std::vector<WorkEntry>, APIError>>
JiraWorkLogForm::readOwnEntries(const DateInterval& interval) {
    return m_service->fetchOwnWorkEntries(task(), interval);
}

std::optional<ClockOffset> JiraWorkLogForm::currentTrackerClock() const {
    return m_service->request()->trackerClock();
}

} // namespace velmora
