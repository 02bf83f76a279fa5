#pragma once

#include <QString>

namespace velmora {

// The identifiers of the main window's toolbars and of their items. Toolbar delegates
// match them as text, so each compares equal to its raw value.
namespace ToolbarItemIdentifier {
inline const QString timeTrackingDisabled = QStringLiteral("TimeTrackingDisabled");
inline const QString refreshData = QStringLiteral("RefreshData");
inline const QString filter = QStringLiteral("Filter");
inline const QString trackingSplitItem = QStringLiteral("TrackingSplitItem");
inline const QString startTimeTracking = QStringLiteral("StartTimeTracking");
inline const QString cancelTimeTracking = QStringLiteral("CancelTimeTracking");
inline const QString pauseTimeTracking = QStringLiteral("PauseTimeTracking");
inline const QString continueTimeTracking = QStringLiteral("ContinueTimeTracking");
inline const QString searchItem = QStringLiteral("SearchItem");
inline const QString previousDay = QStringLiteral("PreviousDay");
inline const QString upcomingDay = QStringLiteral("UpcomingDay");
} // namespace ToolbarItemIdentifier

// The toolbars themselves: one for a project route, one for the calendar.
namespace ToolbarIdentifier {
inline const QString applicationProject = QStringLiteral("ApplicationProject");
inline const QString applicationCalendar = QStringLiteral("ApplicationCalendar");
} // namespace ToolbarIdentifier

} // namespace velmora
