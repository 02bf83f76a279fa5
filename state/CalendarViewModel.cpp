#include "state/CalendarViewModel.h"

#include "core/time/DateOperations.h"

#include <QDate>
#include <QLocale>
#include <QTimeZone>
#include <QUuid>

#include <utility>

namespace velmora {

namespace {

// The user's time zone, read at each use so it follows a change of the system's.
QTimeZone userTimeZone() {
    QTimeZone zone = QTimeZone::systemTimeZone();
    return zone.isValid() ? zone : QTimeZone::utc();
}

QDateTime dayStart(const QDate& day) {
    return day.startOfDay(userTimeZone());
}

QDateTime dayEnd(const QDate& day) {
    return DateOperations::endOfDay(dayStart(day));
}

QDate localDay(const QDateTime& date) {
    return date.toTimeZone(userTimeZone()).date();
}

} // namespace

CalendarViewModel::CalendarViewModel(std::shared_ptr<ProviderService> service, StateEnvironment environment,
                                     QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_environment(std::move(environment)),
      m_date(m_environment.currentTime()) {}

CalendarViewModel::~CalendarViewModel() = default;

void CalendarViewModel::setDate(const QDateTime& date) {
    if (!date.isValid()) {
        return;
    }
    const bool changed = m_date != date;
    m_date = date;
    if (changed) {
        emit dateChanged(m_date);
    }
    loadWorkEntries();
}

void CalendarViewModel::setCalendarMode(std::optional<CalendarMode> mode) {
    const bool changed = m_calendarMode != mode;
    m_calendarMode = mode;
    if (changed) {
        emit calendarModeChanged();
    }
    loadWorkEntries();
}

void CalendarViewModel::setIsLoading(bool isLoading) {
    if (m_isLoading == isLoading) {
        return;
    }
    m_isLoading = isLoading;
    emit isLoadingChanged(isLoading);
}

DateInterval CalendarViewModel::interval(CalendarMode mode) const {
    const QDate day = localDay(m_date);
    switch (mode) {
    case CalendarMode::threeDays:
        return DateInterval{dayStart(day.addDays(-1)), dayEnd(day.addDays(1))};
    case CalendarMode::fiveDays:
        return DateInterval{dayStart(day.addDays(-4)), dayEnd(day)};
    case CalendarMode::sevenDays:
        break;
    }
    const int firstDay = static_cast<int>(QLocale().firstDayOfWeek());
    const int offset = (day.dayOfWeek() - firstDay + 7) % 7;
    const QDate weekStart = day.addDays(-offset);
    return DateInterval{dayStart(weekStart), dayEnd(weekStart.addDays(6))};
}

std::optional<DateInterval> CalendarViewModel::dateInterval() const {
    if (!m_calendarMode) {
        return std::nullopt;
    }
    return interval(*m_calendarMode);
}

QString CalendarViewModel::title() const {
    const auto range = dateInterval();
    if (!range) {
        return {};
    }
    const QLocale locale;
    const QDate start = localDay(range->start);
    const QDate end = localDay(range->end);
    static const QString separator = QStringLiteral(" \u2013 ");
    if (start.year() != end.year()) {
        const QString pattern = QStringLiteral("MMMM d, yyyy");
        return locale.toString(start, pattern) + separator + locale.toString(end, pattern);
    }
    const QString pattern = QStringLiteral("MMMM d");
    return locale.toString(start, pattern) + separator + locale.toString(end, pattern) +
           QStringLiteral(", ") + locale.toString(start, QStringLiteral("yyyy"));
}

void CalendarViewModel::move(int days) {
    const QDateTime moved = m_date.addDays(days);
    if (!moved.isValid()) {
        return;
    }
    setDate(moved);
}

void CalendarViewModel::loadWorkEntries() {
    const auto range = dateInterval();
    if (!range) {
        return;
    }
    // Replacing the request cancels a load still running: only the newest range
    // delivers.
    m_workEntriesRequest = m_service->fetchWorkEntries(*range).receiveOn(this).sink(
        [this, loaded = *range](std::vector<WorkEntry> entries) {
            m_loadedInterval = loaded;
            setLoadError(std::nullopt);
            setWorkEntries(std::move(entries));
            m_workEntriesRequest.reset();
            setIsLoading(false);
        },
        [this](const APIError& error) {
            // The entries stay as they were: the days they cover keep showing them,
            // and the others are unknown rather than empty.
            setLoadError(error);
            m_workEntriesRequest.reset();
            setIsLoading(false);
        });
}

void CalendarViewModel::deleteWorkEntry(const WorkEntry& entry) {
    setIsLoading(true);
    // The service finishes on its own thread; the outcome is handled here on the main
    // thread, where the request fields and the reload belong.
    m_deleteRequest = m_service->deleteWorkEntry(entry).receiveOn(this).sink(
        [this](Void) {
            m_deleteRequest.reset();
            if (dateInterval()) {
                // The entry leaves the list when the reload delivers.
                loadWorkEntries();
            } else {
                setIsLoading(false);
            }
        },
        [this](const APIError& error) {
            m_deleteRequest.reset();
            setIsLoading(false);
            emit workEntryDeleteFailed(error);
        });
}

std::vector<CalendarDay> CalendarViewModel::visibleDays(CalendarMode mode) const {
    return days(interval(mode));
}

std::vector<CalendarDay> CalendarViewModel::days(const DateInterval& range) const {
    std::vector<CalendarDay> result;
    if (!range.start.isValid() || !range.end.isValid() || range.end < range.start) {
        return result;
    }
    for (QDateTime cursor = range.start; cursor.isValid() && cursor <= range.end;
         cursor = cursor.addDays(1)) {
        CalendarDay day{QUuid::createUuid(), cursor, 0, {}, m_loadError.has_value() && !isLoaded(cursor)};
        for (const auto& entry : m_workEntries) {
            if (DateOperations::isSameDay(entry.started, cursor)) {
                day.totalTimeSpent += entry.spentTimeSeconds;
                day.workEntries.push_back(entry);
            }
        }
        result.push_back(std::move(day));
    }
    return result;
}

bool CalendarViewModel::isLoaded(const QDateTime& dayStart) const {
    return m_loadedInterval && m_loadedInterval->start <= dayStart && dayStart <= m_loadedInterval->end;
}

void CalendarViewModel::setLoadError(std::optional<APIError> error) {
    if (!m_loadError && !error) {
        return;
    }
    m_loadError = std::move(error);
    emit loadErrorChanged();
}

void CalendarViewModel::setWorkEntries(std::vector<WorkEntry> entries) {
    m_workEntries = std::move(entries);
    emit workEntriesChanged();
}

} // namespace velmora
