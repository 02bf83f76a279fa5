#include "trackers/youtrack/YouTrackWorkLogForm.h"

#include "core/time/DurationMath.h"
#include "trackers/youtrack/YouTrackWorkLogFields.h"

#include <QPointer>

namespace velmora {

YouTrackWorkLogForm::YouTrackWorkLogForm(YouTrackProvider provider, std::shared_ptr<YouTrackService> service,
                                         Project project, Issue task, double duration, QObject* parent)
    : AbstractWorkLogForm(std::move(project), std::move(task), duration, parent),
      m_provider(std::move(provider)), m_service(std::move(service)),
      m_description(QString(), std::make_shared<CountValidator>(
                                   descriptionLimit, CountValidator::ValidationType::lessThanOrEquals,
                                   [] { return descriptionMessage; })) {
    Q_ASSERT(m_service);
    loadWorkItemTypes();
}

// A request still in flight is cancelled with its subscription.
YouTrackWorkLogForm::~YouTrackWorkLogForm() = default;

void YouTrackWorkLogForm::setType(const QString& type) {
    if (m_type == type) {
        return;
    }
    m_type = type;
    emit typeChanged(m_type);
}

void YouTrackWorkLogForm::setDescription(const QString& description) {
    const bool changed = description != m_description.value();
    m_description.setValue(description);
    if (changed) {
        emit descriptionChanged(description);
    }
}

const ValidationContainer& YouTrackWorkLogForm::descriptionValidation() {
    if (!m_descriptionValidation) {
        m_descriptionValidation.emplace(m_description.validation(*manager(), [] { return false; }));
    }
    return *m_descriptionValidation;
}

void YouTrackWorkLogForm::setTypes(std::vector<WorkItemType> types) {
    m_types = std::move(types);
    emit typesChanged();
}

void YouTrackWorkLogForm::loadWorkItemTypes() {
    if (m_timeTrackingSettingsDisposable) {
        return;
    }
    setInputsLoadFailure(std::nullopt);
    QPointer<YouTrackWorkLogForm> self(this);
    // Delivery is queued, so the subscription is kept below before any outcome.
    m_timeTrackingSettingsDisposable = m_service->fetchTimeTrackingSettings(project().id)
                                           .receiveOn(this)
                                           .sink(
                                               [self](const YouTrackTimeTrackingSettingsDTO& settings) {
                                                   if (self) {
                                                       // Offered whatever "enabled" says.
                                                       self->setTypes(settings.workItemTypes);
                                                       self->finishTypeLoad(std::nullopt);
                                                   }
                                               },
                                               [self](const APIError& error) {
                                                   if (self) {
                                                       self->finishTypeLoad(error);
                                                   }
                                               });
    setNetworkRequestInProgress(true);
}

void YouTrackWorkLogForm::retryInputsLoad() {
    loadWorkItemTypes();
}

void YouTrackWorkLogForm::finishTypeLoad(const std::optional<APIError>& error) {
    // Told as what it is, not as a failed booking: nothing was booked, and the form
    // books without a type.
    if (error) {
        setInputsLoadFailure(InputsLoadFailure{workItemTypesLoadFailure, *error});
    }
    // The load has ended: let go of its subscription without cancelling anything.
    if (m_timeTrackingSettingsDisposable) {
        m_timeTrackingSettingsDisposable->detach();
        m_timeTrackingSettingsDisposable.reset();
    }
    setNetworkRequestInProgress(hasSaveWorkLogDisposable());
}

bool YouTrackWorkLogForm::ownRequestPending() const {
    return m_timeTrackingSettingsDisposable.has_value() || hasSaveWorkLogDisposable();
}

void YouTrackWorkLogForm::setNetworkRequestInProgress(bool inProgress) {
    AbstractWorkLogForm::setNetworkRequestInProgress(inProgress || ownRequestPending());
}

std::optional<std::int64_t> YouTrackWorkLogForm::bookedMinutes(double seconds) {
    const auto whole = duration::wholeSeconds(seconds);
    if (!whole || *whole < 0) {
        return std::nullopt;
    }
    return *whole / 60;
}

bool YouTrackWorkLogForm::provesEntry(const YouTrackCreatedWorkItemDTO& answer, const QString& taskId,
                                      std::int64_t minutes) {
    return answer.type == QStringLiteral("IssueWorkItem") && answer.duration &&
           answer.duration->minutes == minutes && answer.issue && answer.issue->id == taskId;
}

void YouTrackWorkLogForm::save(std::function<void()> completion) {
    // A pending booking may already have reached the tracker: sending again could
    // book the time twice.
    if (hasSaveWorkLogDisposable()) {
        return;
    }
    if (!manager()->checkAllValid()) {
        return;
    }
    // The minute rule holds even when no view watches the duration (its validator
    // only follows the value while one does): under a minute would go out as a
    // booking of 0 minutes.
    const auto minutes = bookedMinutes(this->duration());
    if (!minutes || *minutes < 1) {
        return;
    }
    YouTrackWorkItemDTO body;
    if (!m_type.isEmpty()) {
        body.type = YouTrackWorkItemDTO::WorkItemType{m_type};
    }
    body.duration.minutes = *minutes;
    // Sent as typed, blanks and all.
    if (!description().isEmpty()) {
        body.text = description();
    }
    // YouTrack dates the work item itself, by the day it arrives.
    const QDateTime now = QDateTime::currentDateTime();
    WorkLogBooking booking{task().id, now, *minutes * 60, description()};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = now;
    booking.trackerClock = m_service->request()->trackerClock();
    // Saved only when YouTrack answers with the new work item: a work item, of the task and
    // the minutes booked (an id alone, or an error's "$type", is no such answer).
    runSaveRequest(
        createdEntry(
            m_service->request()->perform<YouTrackCreatedWorkItemDTO>(
                YouTrackEndpoint::saveWorkItem(task()), HttpMethod::Post,
                QueryItems{{QStringLiteral("fields"), QStringLiteral("id,duration(minutes),issue(id)")}},
                body),
            [taskId = task().id, minutes = *minutes](const YouTrackCreatedWorkItemDTO& answer) {
                return provesEntry(answer, taskId, minutes) ? answer.id : QString();
            }),
        std::move(completion), booking);
}

QWidget* YouTrackWorkLogForm::additionalFields(QWidget* parent) {
    return new YouTrackWorkLogFields(*this, parent);
}

std::optional<Publisher<std::vector<WorkEntry>, APIError>>
YouTrackWorkLogForm::readOwnEntries(const DateInterval& interval) {
    return m_service->fetchOwnWorkEntries(task(), interval);
}

std::optional<ClockOffset> YouTrackWorkLogForm::currentTrackerClock() const {
    return m_service->request()->trackerClock();
}

} // namespace velmora
