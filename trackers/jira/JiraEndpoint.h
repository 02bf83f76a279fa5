#pragma once

#include "core/model/Endpoint.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/WorkEntry.h"

#include <QString>

#include <variant>

namespace velmora {

// Every request the Jira connector sends, by its path. The method, query items and
// body travel beside it to the HTTP client.
//
// Paths under "rest/api/" belong to the site ("<cloud API host>/ex/jira/<cloud id>");
// "me" and "oauth/token/accessible-resources" belong to the cloud API host itself
// (`isOnVendorRoot()`). Version 3 of the interface everywhere, except the work-log
// read, which uses version 2 so that comments arrive as plain text.
class JiraEndpoint final : public Endpoint {
public:
    enum class Case {
        saveWorkItem,
        deleteWorkItem,
        statuses,
        worklogs,
        serverInfo,
        accessibleResources,
        user,
        projects,
        timeTrackingSettings,
        search,
        userSearch,
    };

    static JiraEndpoint saveWorkItem(const Issue& task) { return JiraEndpoint(Case::saveWorkItem, task); }
    static JiraEndpoint deleteWorkItem(const WorkEntry& workEntry) {
        return JiraEndpoint(Case::deleteWorkItem, workEntry);
    }
    static JiraEndpoint statuses(const Project& project) { return JiraEndpoint(Case::statuses, project); }
    static JiraEndpoint worklogs(const Issue& task) { return JiraEndpoint(Case::worklogs, task); }
    static JiraEndpoint serverInfo() { return JiraEndpoint(Case::serverInfo); }
    static JiraEndpoint accessibleResources() { return JiraEndpoint(Case::accessibleResources); }
    static JiraEndpoint user() { return JiraEndpoint(Case::user); }
    static JiraEndpoint projects() { return JiraEndpoint(Case::projects); }
    static JiraEndpoint timeTrackingSettings() { return JiraEndpoint(Case::timeTrackingSettings); }
    static JiraEndpoint search() { return JiraEndpoint(Case::search); }
    static JiraEndpoint userSearch() { return JiraEndpoint(Case::userSearch); }

    Case kind() const { return m_case; }

    // Without a leading "/" and without a query. Ids are percent-encoded as one path
    // segment each, so an id can never point the request at another resource.
    QString path() const override;

    // The request goes to the cloud API host alone, not to the account's site.
    bool isOnVendorRoot() const { return m_case == Case::user || m_case == Case::accessibleResources; }

private:
    using Value = std::variant<std::monostate, Issue, WorkEntry, Project>;
    explicit JiraEndpoint(Case c, Value value = {}) : m_case(c), m_value(std::move(value)) {}

    Case m_case;
    Value m_value;
};

} // namespace velmora
