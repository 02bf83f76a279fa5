#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/ProviderService.h"
#include "core/time/AbstractWorkLogForm.h"
#include "platform/async/Cancellable.h"
#include "platform/async/Stream.h"
#include "state/ApplicationRoute.h"
#include "state/StarredProjectsSnapshot.h"
#include "state/StateEnvironment.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// What one main window keeps for the current account: the account and its tracker
// service, the route of the detail pane, the account's projects with the starred ones
// first, and the booking form of the account's tracker.
//
// start() restores the stars, binds the sorting and loads the projects; the main
// window calls it whenever it builds its content. Stars persist per account in the
// snapshot store. Main thread only.
class ApplicationViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(velmora::ApplicationRoute route READ route WRITE setRoute NOTIFY routeChanged)
    Q_PROPERTY(std::vector<velmora::Project> projects READ projects NOTIFY projectsChanged)
    Q_PROPERTY(bool loadingProjects READ loadingProjects NOTIFY loadingProjectsChanged)
    Q_PROPERTY(std::vector<QString> starredProjects READ starredProjects NOTIFY starredProjectsChanged)

public:
    using StarredProjectsSnapshot = velmora::StarredProjectsSnapshot;

    // The account's service made by the service factory. Loads nothing.
    explicit ApplicationViewModel(AnyProvider provider, StateEnvironment environment = {},
                                  QObject* parent = nullptr);
    // With a service of the caller's (tests).
    ApplicationViewModel(AnyProvider provider, std::shared_ptr<ProviderService> service,
                         StateEnvironment environment = {}, QObject* parent = nullptr);
    ~ApplicationViewModel() override;

    // The key of an account's entries in the snapshot store (its timer, its stars):
    // the id as upper-case UUID text without braces.
    static QString snapshotKey(const QUuid& accountId);

    const AnyProvider& provider() const { return m_provider; }
    const std::shared_ptr<ProviderService>& service() const { return m_service; }

    // Set by the views only; starts at the calendar.
    const ApplicationRoute& route() const { return m_route; }
    void setRoute(ApplicationRoute route);
    // Starred projects first, then the others; each group in the service's order.
    const std::vector<Project>& projects() const { return m_projects; }
    // True exactly while a project load runs.
    bool loadingProjects() const { return m_loadingProjects; }
    // Ids of the starred projects, in the order they were starred.
    const std::vector<QString>& starredProjects() const { return m_starredProjects; }

    // The projects as the service last delivered them, and the starred ids as last
    // changed; each hands its current value to a new subscriber.
    Stream<std::vector<Project>> projectsSubject() const { return m_projectsSubject.stream(); }
    Stream<std::vector<QString>> starredProjectsSubject() const { return m_starredProjectsSubject.stream(); }

    // Restores the stars, binds the sorting and loads the projects. A further call
    // reads the stars anew, rebinds and reloads.
    void start();
    // The stars saved for the account; ids of projects that are gone stay in it.
    std::vector<QString> restoreStarredProjects() const;
    // Keeps `projects` sorted with the starred first, from now on.
    void bindProjectSorting();
    // Replaces a load still running. A failure keeps the projects as they were and
    // is kept in `projectsLoadError` until the next load starts.
    void loadProjects();
    const std::optional<APIError>& projectsLoadError() const { return m_projectsLoadError; }
    // Stars (true) or unstars (false) the project, saves the stars and re-sorts.
    void toggleStar(bool starred, const Project& project);

    // A new booking form of the account's tracker for the task, its duration field
    // starting at `duration` seconds (0 for a work log added by hand): a Jira or
    // YouTrack form with a description of at most 10000 characters, an Asana form
    // without one. Null only when the service is not of the account's tracker.
    std::unique_ptr<AbstractWorkLogForm> makeWorkLogForm(const Project& project, const Issue& task,
                                                         double duration) const;

signals:
    void routeChanged(const velmora::ApplicationRoute& route);
    void projectsChanged();
    void loadingProjectsChanged(bool loadingProjects);
    void projectsLoadErrorChanged();
    void starredProjectsChanged();

private:
    QString accountKey() const;
    void saveStarredProjects();
    void setProjects(std::vector<Project> projects);
    void setStarredProjects(std::vector<QString> ids);
    void setProjectsRequest(std::optional<Cancellable> request);
    void setProjectsLoadError(std::optional<APIError> error);

    const AnyProvider m_provider;
    const std::shared_ptr<ProviderService> m_service;
    StateEnvironment m_environment;

    ApplicationRoute m_route;
    std::vector<Project> m_projects;
    bool m_loadingProjects = false;
    std::optional<APIError> m_projectsLoadError;
    std::vector<QString> m_starredProjects;
    CurrentValueSubject<std::vector<Project>> m_projectsSubject{{}};
    CurrentValueSubject<std::vector<QString>> m_starredProjectsSubject{{}};
    std::optional<Cancellable> m_projectsRequest;
    std::optional<Cancellable> m_projectSorting;
    // Counts bindings, so a sorted list still queued from an older binding is dropped.
    std::uint64_t m_sortingBinding = 0;
};

} // namespace velmora
