#pragma once

#include "core/model/DateInterval.h"
#include "core/model/ProviderService.h"
#include "core/model/WorkEntry.h"
#include "platform/async/Cancellable.h"
#include "state/CalendarDay.h"
#include "state/CalendarMode.h"
#include "state/StateEnvironment.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// The calendar page of the current account: a reference date, the display mode, the
// entries the account booked in the range those two give, and a loading flag. From
// them it works out the visible range, its title and the days with their entries and
// totals; it deletes an entry at the tracker and then reloads.
//
// Nothing loads until a mode is chosen. Every assignment of `date` or `calendarMode`
// (also of the value already held) reloads. Days are calendar days in the user's time
// zone; the week starts on the default locale's first day of the week; texts use the
// default locale. A failed load keeps the entries of the last load that delivered and
// the error (`loadError`): the days that load covered still show their entries, the
// others are marked unavailable, never empty. Main thread only: every outcome of the
// service is handled there.
class CalendarViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QDateTime date READ date WRITE setDate NOTIFY dateChanged)
    Q_PROPERTY(std::optional<velmora::CalendarMode> calendarMode READ calendarMode WRITE setCalendarMode
                   NOTIFY calendarModeChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(std::vector<velmora::WorkEntry> workEntries READ workEntries NOTIFY workEntriesChanged)

public:
    using CalendarDay = velmora::CalendarDay;

    // Loads nothing; `date` starts at the environment's now and `isLoading` true.
    explicit CalendarViewModel(std::shared_ptr<ProviderService> service, StateEnvironment environment = {},
                               QObject* parent = nullptr);
    ~CalendarViewModel() override;

    const std::shared_ptr<ProviderService>& service() const { return m_service; }

    const QDateTime& date() const { return m_date; }
    // An invalid date is ignored: it names no range.
    void setDate(const QDateTime& date);
    const std::optional<CalendarMode>& calendarMode() const { return m_calendarMode; }
    void setCalendarMode(std::optional<CalendarMode> mode);
    // True from creation until the first load ends, and from a delete until the load
    // after it ends (or the delete fails). The views also raise it while they wait for
    // a mode.
    bool isLoading() const { return m_isLoading; }
    void setIsLoading(bool isLoading);
    // The entries of the last load that delivered, in the service's order.
    const std::vector<WorkEntry>& workEntries() const { return m_workEntries; }
    // Why the last load failed; absent once a load delivers.
    const std::optional<APIError>& loadError() const { return m_loadError; }

    // The range of `calendarMode` around `date`; absent without a mode.
    std::optional<DateInterval> dateInterval() const;
    // The range of `mode` around `date`.
    DateInterval interval(CalendarMode mode) const;
    // "March 3 – March 9, 2025"; a range across the new year names both years
    // ("December 29, 2025 – January 4, 2026"). Empty without a mode.
    QString title() const;

    // Moves `date` by whole calendar days (negative: back), which reloads.
    void move(int days);
    // Loads the entries of dateInterval(), replacing a load still running.
    void loadWorkEntries();
    // Deletes the entry at the tracker, then reloads. A failed delete reloads nothing
    // and ends the loading state.
    void deleteWorkEntry(const WorkEntry& entry);

    // The days of `mode`'s range around `date` (whatever the chosen mode), each with
    // the entries now held that started on it.
    std::vector<CalendarDay> visibleDays(CalendarMode mode) const;
    // One day for the interval's start and each following day up to its end; none
    // when the end lies before the start.
    std::vector<CalendarDay> days(const DateInterval& interval) const;

signals:
    void dateChanged(const QDateTime& date);
    void calendarModeChanged();
    void isLoadingChanged(bool isLoading);
    void workEntriesChanged();
    void loadErrorChanged();
    // A delete the tracker refused or that never reached it; the view tells the user.
    void workEntryDeleteFailed(const velmora::APIError& error);

private:
    void setWorkEntries(std::vector<WorkEntry> entries);
    void setLoadError(std::optional<APIError> error);
    // The day starting at `dayStart` lies in the range of the last load that delivered.
    bool isLoaded(const QDateTime& dayStart) const;

    const std::shared_ptr<ProviderService> m_service;
    StateEnvironment m_environment;
    QDateTime m_date;
    std::optional<CalendarMode> m_calendarMode;
    bool m_isLoading = true;
    std::vector<WorkEntry> m_workEntries;
    std::optional<DateInterval> m_loadedInterval;
    std::optional<APIError> m_loadError;
    std::optional<Cancellable> m_workEntriesRequest;
    std::optional<Cancellable> m_deleteRequest;
};

} // namespace velmora
