#include "state/ApplicationViewModel.h"

#include "trackers/ServiceFactory.h"
#include "trackers/asana/AsanaWorkLogForm.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "trackers/youtrack/YouTrackWorkLogForm.h"

#include <QMetaObject>
#include <QSet>

#include <algorithm>
#include <type_traits>
#include <utility>

namespace velmora {

ApplicationViewModel::ApplicationViewModel(AnyProvider provider, StateEnvironment environment,
                                           QObject* parent)
    : ApplicationViewModel(provider, ServiceFactory::makeService(provider), std::move(environment), parent) {}

ApplicationViewModel::ApplicationViewModel(AnyProvider provider, std::shared_ptr<ProviderService> service,
                                           StateEnvironment environment, QObject* parent)
    : QObject(parent), m_provider(std::move(provider)), m_service(std::move(service)),
      m_environment(std::move(environment)) {}

ApplicationViewModel::~ApplicationViewModel() = default;

QString ApplicationViewModel::snapshotKey(const QUuid& accountId) {
    return accountId.toString(QUuid::WithoutBraces).toUpper();
}

QString ApplicationViewModel::accountKey() const {
    const auto& id = providerId(m_provider);
    // Every account that reaches a main window was stored and has an id.
    return id ? snapshotKey(*id) : QString();
}

void ApplicationViewModel::setRoute(ApplicationRoute route) {
    if (m_route == route) {
        return;
    }
    m_route = std::move(route);
    emit routeChanged(m_route);
}

void ApplicationViewModel::start() {
    setStarredProjects(restoreStarredProjects());
    // In the subject before the sorting is bound, so the first sorted list already
    // honours the stars.
    m_starredProjectsSubject.send(m_starredProjects);
    bindProjectSorting();
    loadProjects();
}

std::vector<QString> ApplicationViewModel::restoreStarredProjects() const {
    const QString key = accountKey();
    if (key.isEmpty()) {
        return {};
    }
    if (auto saved = m_environment.snapshotManager().value<StarredProjectsSnapshot>(key)) {
        return std::move(saved->projects);
    }
    return {};
}

void ApplicationViewModel::bindProjectSorting() {
    const auto binding = ++m_sortingBinding;

    // The latest value of each subject; a sorted list is made once both have one,
    // and again whenever either sends.
    struct Latest {
        std::optional<std::vector<Project>> projects;
        std::optional<std::vector<QString>> starred;
    };
    auto latest = std::make_shared<Latest>();
    auto sortAndDeliver = [this, latest, binding] {
        if (!latest->projects || !latest->starred) {
            return;
        }
        const QSet<QString> starred(latest->starred->begin(), latest->starred->end());
        std::vector<Project> sorted = *latest->projects;
        std::stable_sort(sorted.begin(), sorted.end(), [&](const Project& a, const Project& b) {
            return starred.contains(a.id) && !starred.contains(b.id);
        });
        // Delivered from the event loop; a list of a binding that was replaced
        // meanwhile, or of an object that is gone, is dropped.
        QMetaObject::invokeMethod(
            this,
            [this, binding, sorted = std::move(sorted)]() mutable {
                if (binding == m_sortingBinding) {
                    setProjects(std::move(sorted));
                }
            },
            Qt::QueuedConnection);
    };

    auto projects = std::make_shared<Cancellable>(
        m_projectsSubject.subscribe([latest, sortAndDeliver](const std::vector<Project>& value) {
            latest->projects = value;
            sortAndDeliver();
        }));
    auto starred = std::make_shared<Cancellable>(
        m_starredProjectsSubject.subscribe([latest, sortAndDeliver](const std::vector<QString>& value) {
            latest->starred = value;
            sortAndDeliver();
        }));
    m_projectSorting = Cancellable([projects, starred] {
        projects->cancel();
        starred->cancel();
    });
}

void ApplicationViewModel::loadProjects() {
    setProjectsLoadError(std::nullopt);
    setProjectsRequest(m_service->fetchProjects().receiveOn(this).sink(
        [this](std::vector<Project> projects) {
            m_projectsSubject.send(std::move(projects));
            setProjectsRequest(std::nullopt);
        },
        [this](const APIError& error) {
            // The projects shown stay as they were; the sidebar says why no new ones came.
            setProjectsLoadError(error);
            setProjectsRequest(std::nullopt);
        }));
}

void ApplicationViewModel::setProjectsLoadError(std::optional<APIError> error) {
    if (!m_projectsLoadError && !error) {
        return;
    }
    m_projectsLoadError = std::move(error);
    emit projectsLoadErrorChanged();
}

void ApplicationViewModel::toggleStar(bool starred, const Project& project) {
    std::vector<QString> ids = m_starredProjects;
    if (starred) {
        ids.push_back(project.id);
    } else {
        ids.erase(std::remove(ids.begin(), ids.end(), project.id), ids.end());
    }
    setStarredProjects(std::move(ids));
    saveStarredProjects();
    m_starredProjectsSubject.send(m_starredProjects);
}

void ApplicationViewModel::saveStarredProjects() {
    const QString key = accountKey();
    if (key.isEmpty()) {
        return;
    }
    SnapshotManager& snapshots = m_environment.snapshotManager();
    if (m_starredProjects.empty()) {
        snapshots.remove<StarredProjectsSnapshot>(key);
        return;
    }
    // Only stars of projects the account still has are saved; the list in memory
    // keeps them until the next start().
    StarredProjectsSnapshot snapshot;
    for (const auto& id : m_starredProjects) {
        const bool exists = std::any_of(m_projects.begin(), m_projects.end(),
                                        [&](const Project& candidate) { return candidate.id == id; });
        if (exists) {
            snapshot.projects.push_back(id);
        }
    }
    snapshots.save(snapshot, key);
}

std::unique_ptr<AbstractWorkLogForm>
ApplicationViewModel::makeWorkLogForm(const Project& project, const Issue& task, double duration) const {
    // The service was made from this account, so it is the account's tracker's; a
    // service of another kind (a test's stand-in) has no booking form.
    return std::visit(
        [&](const auto& account) -> std::unique_ptr<AbstractWorkLogForm> {
            using P = std::decay_t<decltype(account)>;
            if constexpr (std::is_same_v<P, JiraProvider>) {
                if (auto service = std::dynamic_pointer_cast<JiraService>(m_service)) {
                    return std::make_unique<JiraWorkLogForm>(account, service, project, task, duration);
                }
            } else if constexpr (std::is_same_v<P, AsanaProvider>) {
                if (auto service = std::dynamic_pointer_cast<AsanaService>(m_service)) {
                    return std::make_unique<AsanaWorkLogForm>(account, service, project, task, duration);
                }
            } else {
                static_assert(std::is_same_v<P, YouTrackProvider>);
                // Its work-item types start loading as it is made.
                if (auto service = std::dynamic_pointer_cast<YouTrackService>(m_service)) {
                    return std::make_unique<YouTrackWorkLogForm>(account, service, project, task, duration);
                }
            }
            return nullptr;
        },
        m_provider);
}

void ApplicationViewModel::setProjects(std::vector<Project> projects) {
    m_projects = std::move(projects);
    emit projectsChanged();
}

void ApplicationViewModel::setStarredProjects(std::vector<QString> ids) {
    if (m_starredProjects == ids) {
        return;
    }
    m_starredProjects = std::move(ids);
    emit starredProjectsChanged();
}

void ApplicationViewModel::setProjectsRequest(std::optional<Cancellable> request) {
    // Replacing a running load cancels it.
    m_projectsRequest = std::move(request);
    const bool loading = m_projectsRequest.has_value();
    if (m_loadingProjects != loading) {
        m_loadingProjects = loading;
        emit loadingProjectsChanged(loading);
    }
}

} // namespace velmora
