#include "trackers/asana/AsanaEndpoint.h"

namespace velmora {

QString AsanaEndpoint::path() const {
    const QString id = segment(m_id);
    switch (m_case) {
    case Case::projects:
        return QStringLiteral("workspaces/") + id + QStringLiteral("/projects");
    case Case::sections:
        return QStringLiteral("projects/") + id + QStringLiteral("/sections");
    case Case::teamUsers:
        return QStringLiteral("teams/") + id + QStringLiteral("/users");
    case Case::tasks:
        return QStringLiteral("projects/") + id + QStringLiteral("/tasks");
    case Case::timeTrackingEntries:
    case Case::saveTimeTrackingEntry:
        return QStringLiteral("tasks/") + id + QStringLiteral("/time_tracking_entries");
    case Case::deleteTimeTrackingEntry:
        return QStringLiteral("time_tracking_entries/") + id;
    case Case::timeTrackingEntryList:
        return QStringLiteral("time_tracking_entries");
    case Case::search:
        return QStringLiteral("workspaces/") + id + QStringLiteral("/tasks/search");
    case Case::workspaces:
        return QStringLiteral("workspaces");
    case Case::user:
        return QStringLiteral("users/me");
    case Case::memberships:
        return QStringLiteral("memberships");
    }
    return QString();
}

} // namespace velmora
