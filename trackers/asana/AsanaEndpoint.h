#pragma once

#include "core/model/Endpoint.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/WorkEntry.h"

#include <QString>

namespace velmora {

// Every resource of the Asana REST interface the connector calls, relative to the
// client's base ("<host>/api/1.0"). Only the carried value's id enters the path, as
// one percent-encoded segment. The method is the caller's: `timeTrackingEntries`
// (GET) and `saveTimeTrackingEntry` (POST) share one path.
class AsanaEndpoint final : public Endpoint {
public:
    enum class Case {
        projects,
        sections,
        teamUsers,
        tasks,
        timeTrackingEntries,
        saveTimeTrackingEntry,
        deleteTimeTrackingEntry,
        timeTrackingEntryList,
        search,
        workspaces,
        user,
        memberships,
    };

    // The projects of a workspace (its gid).
    static AsanaEndpoint projects(const QString& workspace) { return {Case::projects, workspace}; }
    // The sections of a project: the task states.
    static AsanaEndpoint sections(const Project& project) { return {Case::sections, project.id}; }
    // The users of a team (its gid).
    static AsanaEndpoint teamUsers(const QString& team) { return {Case::teamUsers, team}; }
    // The tasks of a project; named for completeness, never requested.
    static AsanaEndpoint tasks(const Project& project) { return {Case::tasks, project.id}; }
    static AsanaEndpoint timeTrackingEntries(const Issue& task) {
        return {Case::timeTrackingEntries, task.id};
    }
    static AsanaEndpoint saveTimeTrackingEntry(const Issue& task) {
        return {Case::saveTimeTrackingEntry, task.id};
    }
    static AsanaEndpoint deleteTimeTrackingEntry(const WorkEntry& workEntry) {
        return {Case::deleteTimeTrackingEntry, workEntry.id};
    }
    // The entries that the query items filter ("task", "user", the days entered on).
    static AsanaEndpoint timeTrackingEntryList() { return {Case::timeTrackingEntryList, QString()}; }
    // The task search of a workspace (its gid).
    static AsanaEndpoint search(const QString& workspace) { return {Case::search, workspace}; }
    static AsanaEndpoint workspaces() { return {Case::workspaces, QString()}; }
    // The signed-in user.
    static AsanaEndpoint user() { return {Case::user, QString()}; }
    // The memberships of a project; the project goes in the query ("parent").
    static AsanaEndpoint memberships() { return {Case::memberships, QString()}; }

    Case endpointCase() const { return m_case; }
    // The id the case carries; empty for the cases that carry none.
    const QString& carriedId() const { return m_id; }

    QString path() const override;

private:
    AsanaEndpoint(Case endpointCase, QString id) : m_case(endpointCase), m_id(std::move(id)) {}

    Case m_case;
    QString m_id;
};

} // namespace velmora
