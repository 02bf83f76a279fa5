#include "trackers/asana/AsanaWorkLogForm.h"

#include "trackers/asana/AsanaEndpoint.h"

#include <cmath>
#include <limits>

namespace velmora {

AsanaWorkLogForm::AsanaWorkLogForm(AsanaProvider provider, std::shared_ptr<AsanaService> service,
                                   Project project, Issue task, double duration, QObject* parent)
    : AbstractWorkLogForm(std::move(project), std::move(task), duration, parent),
      m_provider(std::move(provider)), m_service(std::move(service)) {
    Q_ASSERT(m_service);
}

std::optional<AsanaTimeTrackingDTO> AsanaWorkLogForm::body(double seconds) {
    if (!std::isfinite(seconds)) {
        return std::nullopt;
    }
    const double minutes = std::trunc(seconds / 60.0);
    // 2^63 itself does not fit; every double below it does.
    constexpr double limit = 9223372036854775808.0;
    if (minutes >= limit || minutes < -limit) {
        return std::nullopt;
    }
    return AsanaTimeTrackingDTO{AsanaTimeTrackingDTO::Data{static_cast<std::int64_t>(minutes)}};
}

bool AsanaWorkLogForm::provesEntry(const AsanaCreatedEntryDTO& answer, const QString& taskId,
                                   std::int64_t minutes) {
    // Asana's answer always names the task: without it, it is not the entry this booking made.
    if (!answer.task || answer.task->gid != taskId) {
        return false;
    }
    return answer.resourceType == QStringLiteral("time_tracking_entry") && answer.durationMinutes == minutes;
}

void AsanaWorkLogForm::save(std::function<void()> completion) {
    if (!readyToSave()) {
        return;
    }
    const auto booking = body(duration());
    if (!booking) {
        return;
    }
    // Asana dates the entry itself, by the day it arrives; it keeps no description.
    const QDateTime now = QDateTime::currentDateTime();
    // Saved only when Asana answers with the new entry: a time-tracking entry of the minutes
    // booked, on the task (a wrapper with a gid alone is anybody's answer).
    auto request = createdEntry(
        m_service->saveTimeTrackingEntry(task(), *booking),
        [taskId = task().id,
         minutes = booking->data.durationMinutes](const AsanaResponseDTO<AsanaCreatedEntryDTO>& answer) {
            return provesEntry(answer.data, taskId, minutes) ? answer.data.gid : QString();
        });
    WorkLogBooking record{task().id, now, booking->data.durationMinutes * 60, {}};
    record.dating = WorkLogBooking::Dating::day;
    record.sent = now;
    record.trackerClock = m_service->request()->trackerClock();
    runSaveRequest(m_service->guardRateLimit(std::move(request)), std::move(completion), record);
}

std::optional<Publisher<std::vector<WorkEntry>, APIError>>
AsanaWorkLogForm::readOwnEntries(const DateInterval& interval) {
    return m_service->fetchOwnWorkEntries(task(), interval);
}

std::optional<ClockOffset> AsanaWorkLogForm::currentTrackerClock() const {
    return m_service->request()->trackerClock();
}

} // namespace velmora
