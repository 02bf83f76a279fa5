#include "trackers/youtrack/YouTrackEndpoint.h"

namespace velmora {

YouTrackEndpoint YouTrackEndpoint::timeTrackingSettings(const QString& identifier) {
    return YouTrackEndpoint(Case::timeTrackingSettings, identifier);
}

YouTrackEndpoint YouTrackEndpoint::saveWorkItem(const Issue& task) {
    return YouTrackEndpoint(Case::saveWorkItem, task.id);
}

YouTrackEndpoint YouTrackEndpoint::deleteWorkItem(const WorkEntry& workEntry) {
    return YouTrackEndpoint(Case::deleteWorkItem, workEntry.issue.id, workEntry.id);
}

QString YouTrackEndpoint::path() const {
    switch (m_case) {
    case Case::timeTrackingSettings:
        return QStringLiteral("api/admin/projects/") + segment(m_first) +
               QStringLiteral("/timeTrackingSettings");
    case Case::saveWorkItem:
        return QStringLiteral("api/issues/") + segment(m_first) + QStringLiteral("/timeTracking/workItems");
    case Case::deleteWorkItem:
        return QStringLiteral("api/issues/") + segment(m_first) + QStringLiteral("/timeTracking/workItems/") +
               segment(m_second);
    case Case::user:
        return QStringLiteral("api/users/me");
    case Case::projects:
        return QStringLiteral("api/admin/projects");
    case Case::tasks:
        return QStringLiteral("api/issues");
    case Case::states:
        return QStringLiteral("api/admin/customFieldSettings/bundles/state");
    case Case::assignees:
        return QStringLiteral("api/admin/customFieldSettings/bundles/user");
    case Case::workItems:
        return QStringLiteral("api/workItems");
    }
    return QString();
}

} // namespace velmora
