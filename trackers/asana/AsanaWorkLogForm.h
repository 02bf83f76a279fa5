#pragma once

#include "core/model/AsanaProvider.h"
#include "core/time/AbstractWorkLogForm.h"
#include "core/time/InteractsWithProvider.h"
#include "trackers/asana/AsanaDTOs.h"
#include "trackers/asana/AsanaService.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace velmora {

// The booking form of one Asana task. Asana entries carry only a duration, in whole
// minutes, so the form has no inputs beyond the base form's duration.
//
// The booking passes the service's rate-limit guard and nothing else: a failure only
// sets `errorOccurred` (no token refresh, no recorded limit, no notice). A booking is
// never sent twice: `save()` while one is under way does nothing.
class AsanaWorkLogForm : public AbstractWorkLogForm,
                         public InteractsWithProvider<AsanaProvider, AsanaService> {
    Q_OBJECT
public:
    AsanaWorkLogForm(AsanaProvider provider, std::shared_ptr<AsanaService> service, Project project,
                     Issue task, double duration, QObject* parent = nullptr);

    const AsanaProvider& provider() const override { return m_provider; }
    void setProvider(AsanaProvider provider) { m_provider = std::move(provider); }
    AsanaService& service() const override { return *m_service; }
    const std::shared_ptr<AsanaService>& sharedService() const { return m_service; }
    void setService(std::shared_ptr<AsanaService> service) { m_service = std::move(service); }

    // Books the duration on the task; `completion` runs on the main thread once Asana
    // took it. An invalid form (under a minute) sends nothing.
    QString trackerName() const override { return QStringLiteral("Asana"); }
    void openConnectionAhead() override { m_service->request()->openConnectionAhead(); }
    void save(std::function<void()> completion) override;

    // The body a duration books: its whole minutes, cut toward zero. None for a
    // duration that is not a finite number of seconds within range.
    static std::optional<AsanaTimeTrackingDTO> body(double seconds);
    // Whether Asana's answer to a booking is the entry it made for it: a time-tracking
    // entry of the minutes booked, on the task booked (Asana's answer always names it): an
    // answer repeated from a booking on another task, or one without a task, is no proof.
    static bool provesEntry(const AsanaCreatedEntryDTO& answer, const QString& taskId, std::int64_t minutes);

protected:
    std::optional<Publisher<std::vector<WorkEntry>, APIError>>
    readOwnEntries(const DateInterval& interval) override;
    std::optional<ClockOffset> currentTrackerClock() const override;

private:
    AsanaProvider m_provider;
    std::shared_ptr<AsanaService> m_service;
};

} // namespace velmora
