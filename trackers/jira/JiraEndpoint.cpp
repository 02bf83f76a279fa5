#include "trackers/jira/JiraEndpoint.h"

namespace velmora {

QString JiraEndpoint::path() const {
    switch (m_case) {
    case Case::saveWorkItem:
        return QStringLiteral("rest/api/3/issue/%1/worklog").arg(segment(std::get<Issue>(m_value).id));
    case Case::deleteWorkItem: {
        const auto& entry = std::get<WorkEntry>(m_value);
        return QStringLiteral("rest/api/3/issue/%1/worklog/%2")
            .arg(segment(entry.issue.id), segment(entry.id));
    }
    case Case::statuses:
        return QStringLiteral("rest/api/3/project/%1/statuses").arg(segment(std::get<Project>(m_value).id));
    case Case::worklogs:
        return QStringLiteral("rest/api/2/issue/%1/worklog").arg(segment(std::get<Issue>(m_value).id));
    case Case::serverInfo:
        return QStringLiteral("rest/api/3/serverInfo");
    case Case::accessibleResources:
        return QStringLiteral("oauth/token/accessible-resources");
    case Case::user:
        return QStringLiteral("me");
    case Case::projects:
        return QStringLiteral("rest/api/3/project/search");
    case Case::timeTrackingSettings:
        return QStringLiteral("rest/api/3/configuration/timetracking");
    case Case::search:
        // The old "rest/api/3/search" is gone from Jira Cloud (410 Gone).
        return QStringLiteral("rest/api/3/search/jql");
    case Case::userSearch:
        return QStringLiteral("rest/api/3/user/search/query");
    }
    return QString();
}

} // namespace velmora
