#pragma once

#include "core/model/Endpoint.h"
#include "core/model/Issue.h"
#include "core/model/WorkEntry.h"

#include <QString>

namespace velmora {

// Every resource of the YouTrack REST interface that the connector reaches, as a
// path relative to the account's base URL. Method, query and body are the caller's.
// Ids enter the paths percent-encoded as one segment each.
class YouTrackEndpoint final : public Endpoint {
public:
    enum class Case {
        timeTrackingSettings,
        saveWorkItem,
        deleteWorkItem,
        user,
        projects,
        tasks,
        states,
        assignees,
        workItems,
    };

    // "api/admin/projects/<project id>/timeTrackingSettings"
    static YouTrackEndpoint timeTrackingSettings(const QString& identifier);
    // "api/issues/<task id>/timeTracking/workItems"
    static YouTrackEndpoint saveWorkItem(const Issue& task);
    // "api/issues/<issue id>/timeTracking/workItems/<entry id>"
    static YouTrackEndpoint deleteWorkItem(const WorkEntry& workEntry);
    // "api/users/me"
    static YouTrackEndpoint user() { return YouTrackEndpoint(Case::user); }
    // "api/admin/projects"
    static YouTrackEndpoint projects() { return YouTrackEndpoint(Case::projects); }
    // "api/issues"
    static YouTrackEndpoint tasks() { return YouTrackEndpoint(Case::tasks); }
    // "api/admin/customFieldSettings/bundles/state"
    static YouTrackEndpoint states() { return YouTrackEndpoint(Case::states); }
    // "api/admin/customFieldSettings/bundles/user"
    static YouTrackEndpoint assignees() { return YouTrackEndpoint(Case::assignees); }
    // "api/workItems"
    static YouTrackEndpoint workItems() { return YouTrackEndpoint(Case::workItems); }

    Case kind() const { return m_case; }

    QString path() const override;

private:
    explicit YouTrackEndpoint(Case kind, QString first = QString(), QString second = QString())
        : m_case(kind), m_first(std::move(first)), m_second(std::move(second)) {}

    Case m_case;
    // The ids the path needs, as given (encoded when the path is built).
    QString m_first;
    QString m_second;
};

} // namespace velmora
