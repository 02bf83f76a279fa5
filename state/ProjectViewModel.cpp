#include "state/ProjectViewModel.h"

#include <QPointer>

#include <algorithm>
#include <iterator>
#include <utility>

namespace velmora {

namespace {

template <typename T>
std::optional<T> firstWithId(const std::vector<T>& items, const std::optional<QString>& id) {
    if (!id) {
        return std::nullopt;
    }
    const auto it = std::find_if(items.begin(), items.end(), [&](const T& item) { return item.id == *id; });
    if (it == items.end()) {
        return std::nullopt;
    }
    return *it;
}

} // namespace

ProjectViewModel::ProjectViewModel(std::shared_ptr<ProviderService> service, Project project,
                                   std::optional<ProviderUser> providerUser, StateEnvironment environment,
                                   QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_providerUser(std::move(providerUser)),
      m_environment(std::move(environment)), m_project(std::move(project)),
      m_tasksPaginator(m_service->fetchTasks(m_project, std::nullopt, std::nullopt, std::nullopt)) {
    refresh(true);
}

ProjectViewModel::~ProjectViewModel() {
    if (!m_filtersChosen) {
        // The filters were never chosen (the tracker could not be reached): what the
        // user saved last time is still what they want next time.
        return;
    }
    SnapshotManager& snapshots = m_environment.snapshotManager();
    const QString key = FilterSnapshot::key(m_project.id);
    if (isFiltered() && !isDefaultFilter()) {
        // With persistence off an entry saved earlier stays as it was.
        if (m_environment.userSettings().persistProjectFilters()) {
            snapshots.save(FilterSnapshot{m_state, m_assignee}, key);
        }
    } else {
        // The next visit starts from the defaults again.
        snapshots.remove<FilterSnapshot>(key);
    }
}

bool ProjectViewModel::isFiltered() const {
    return m_state.has_value() || m_assignee.has_value();
}

bool ProjectViewModel::isDefaultFilter() const {
    if (!m_state || !m_state->isUnresolved()) {
        return false;
    }
    if (!m_assignee && !m_providerUser) {
        return true;
    }
    return m_assignee && m_providerUser && m_assignee->id == m_providerUser->externalId;
}

void ProjectViewModel::refresh(bool resetFilters) {
    setTask(std::nullopt);
    // A first load that failed left the filters unchosen; keeping them would list the
    // project unfiltered after the outage.
    resetFilters = resetFilters || !m_filtersChosen;
    setLoadError(std::nullopt);

    // Each list is loaded only when the project offers that filter; the first failure
    // ends the chain, and then no filter is chosen and no task loaded.
    auto chain = Publisher<Void, APIError>::just(Void{});
    QPointer<ProjectViewModel> self(this);
    if (m_project.configuration.stateFilterEnabled) {
        chain = chain.flatMap([self](Void) {
            return self ? self->loadStates() : Publisher<Void, APIError>::fail(APIError::unknown());
        });
    }
    if (m_project.configuration.assigneeFilterEnabled) {
        chain = chain.flatMap([self](Void) {
            return self ? self->loadAssignees() : Publisher<Void, APIError>::fail(APIError::unknown());
        });
    }
    keepRequest(filtersRequest, chain.receiveOn(this).sink(
                                    [this, resetFilters](Void) {
                                        chooseFilters(resetFilters);
                                        endRequest(filtersRequest);
                                    },
                                    [this](const APIError& error) {
                                        m_failed = Failed::refresh;
                                        setLoadError(error);
                                        endRequest(filtersRequest);
                                    }));
}

Publisher<Void, APIError> ProjectViewModel::loadStates() {
    QPointer<ProjectViewModel> self(this);
    return m_service->fetchStates(m_project).receiveOn(this).map([self](std::vector<Issue::State> states) {
        if (self) {
            self->setStates(std::move(states));
        }
        return Void{};
    });
}

Publisher<Void, APIError> ProjectViewModel::loadAssignees() {
    QPointer<ProjectViewModel> self(this);
    return m_service->fetchAssignees(m_project).receiveOn(this).map([self](std::vector<User> assignees) {
        if (self) {
            self->setAssignees(std::move(assignees));
        }
        return Void{};
    });
}

std::optional<FilterSnapshot> ProjectViewModel::restoreFilters() const {
    return m_environment.snapshotManager().value<FilterSnapshot>(FilterSnapshot::key(m_project.id));
}

void ProjectViewModel::chooseFilters(bool resetFilters) {
    const UserSettings& settings = m_environment.userSettings();
    const bool unresolvedByDefault = settings.showUnresolvedTasksByDefault();
    const bool mineByDefault = settings.showMyTasksByDefault();
    const bool persist = settings.persistProjectFilters();
    m_filtersChosen = true;
    if (!resetFilters || !(unresolvedByDefault || mineByDefault || persist)) {
        loadTasks();
        return;
    }

    std::optional<QString> wantedState;
    std::optional<QString> wantedAssignee;
    if (const auto saved = persist ? restoreFilters() : std::nullopt) {
        if (saved->state) {
            wantedState = saved->state->id;
        }
        if (saved->assignee) {
            wantedAssignee = saved->assignee->id;
        }
    } else {
        if (unresolvedByDefault) {
            wantedState = QString::fromLatin1(Issue::State::unresolvedId);
        }
        if (mineByDefault && m_providerUser) {
            wantedAssignee = m_providerUser->externalId;
        }
    }

    // Only what the freshly loaded lists offer can be chosen: a saved state that the
    // project no longer has leaves the state filter off.
    setState(firstWithId(m_states, wantedState));
    setAssignee(firstWithId(m_assignees, wantedAssignee));
    resetTasks();
    loadTasks();
}

void ProjectViewModel::resetTasks() {
    setTask(std::nullopt);
    m_tasksPaginator = m_service->fetchTasks(m_project, m_search, m_state, m_assignee);
    ++m_query;
    setLoadingMoreTasks(false);
    setHasMoreTasks(false);
    setMoreTasksError(std::nullopt);
}

void ProjectViewModel::loadTasks() {
    // A request for more that is still waiting out its pause would replace this first
    // page and append to the old list; it is dropped instead.
    ++m_query;
    setLoadError(std::nullopt);
    setMoreTasksError(std::nullopt);
    keepRequest(tasksRequest, m_tasksPaginator.fetchFirst().receiveOn(this).sink(
                                  [this](std::vector<Issue> page) {
                                      m_hasLoaded = true;
                                      receiveFirstPage(std::move(page));
                                      endRequest(tasksRequest);
                                  },
                                  [this](const APIError& error) {
                                      m_failed = Failed::firstPage;
                                      setLoadError(error);
                                      endRequest(tasksRequest);
                                  }));
}

void ProjectViewModel::loadMoreTasks() {
    m_isFirstIteration = false;
    setMoreTasksError(std::nullopt);
    setLoadingMoreTasks(true);
    const auto query = m_query;
    m_environment.clock->callAfter(m_environment.loadMoreDelay, this, [this, query] {
        // A new query or a new first page started meanwhile: it must not be cancelled
        // by, nor mixed with, a page asked for before it.
        if (query != m_query) {
            return;
        }
        requestNextPage();
    });
}

void ProjectViewModel::requestNextPage() {
    keepRequest(tasksRequest, m_tasksPaginator.fetchNext().receiveOn(this).sink(
                                  [this](std::vector<Issue> page) {
                                      receiveNextPage(std::move(page));
                                      endRequest(tasksRequest);
                                  },
                                  [this](const APIError& error) {
                                      m_failed = Failed::nextPage;
                                      setMoreTasksError(error);
                                      endRequest(tasksRequest);
                                  }));
}

void ProjectViewModel::retry() {
    const Failed failed = std::exchange(m_failed, Failed::nothing);
    switch (failed) {
    case Failed::refresh:
        refresh(false);
        break;
    case Failed::firstPage:
        loadTasks();
        break;
    case Failed::nextPage:
        loadMoreTasks();
        break;
    case Failed::nothing:
        break;
    }
}

void ProjectViewModel::receiveFirstPage(std::vector<Issue> page) {
    setTasks(std::move(page));
    setHasMoreTasks(m_tasksPaginator.hasMorePages());
    if (!m_task) {
        if (!m_tasks.empty()) {
            setTask(m_tasks.front());
        }
        return;
    }
    // The selection is the same task when it comes back with new values (its spent
    // time after a booking, say); keep it pointing at the row the list shows.
    const auto it = std::find_if(m_tasks.begin(), m_tasks.end(),
                                 [&](const Issue& candidate) { return candidate.id == m_task->id; });
    if (it != m_tasks.end()) {
        setTask(*it);
    }
}

void ProjectViewModel::receiveNextPage(std::vector<Issue> page) {
    // Appended in place: paging through a long project costs the new page only.
    m_tasksKept = m_tasks.size();
    m_tasks.insert(m_tasks.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
    if (!m_tasksPaginator.hasMorePages()) {
        // The list is whole: the room kept for further pages (up to as much again as the
        // tasks take) is given back.
        m_tasks.shrink_to_fit();
    }
    emit tasksChanged();
    setHasMoreTasks(m_tasksPaginator.hasMorePages());
}

void ProjectViewModel::keepRequest(const QString& purpose, Cancellable request) {
    // Replacing an entry cancels the request it held.
    m_requests[purpose] = std::move(request);
    updateLoadingFlags();
}

void ProjectViewModel::endRequest(const QString& purpose) {
    m_requests.erase(purpose);
    updateLoadingFlags();
}

void ProjectViewModel::updateLoadingFlags() {
    if (m_isFirstIteration) {
        setLoading(!m_requests.empty());
        return;
    }
    // Once the list has asked for more, page requests show as loading more and
    // `loading` covers the filter lists only.
    setLoadingMoreTasks(m_requests.count(tasksRequest) > 0);
    setLoading(std::any_of(m_requests.begin(), m_requests.end(),
                           [](const auto& entry) { return entry.first != tasksRequest; }));
}

void ProjectViewModel::setState(std::optional<Issue::State> state) {
    if (m_state == state) {
        return;
    }
    m_state = std::move(state);
    emit stateChanged();
}

void ProjectViewModel::setAssignee(std::optional<User> assignee) {
    if (m_assignee == assignee) {
        return;
    }
    m_assignee = std::move(assignee);
    emit assigneeChanged();
}

void ProjectViewModel::setTask(std::optional<Issue> task) {
    if (m_task == task) {
        return;
    }
    m_task = std::move(task);
    emit taskChanged();
}

void ProjectViewModel::setSearch(std::optional<QString> search) {
    if (m_search == search) {
        return;
    }
    m_search = std::move(search);
    emit searchChanged();
}

void ProjectViewModel::setStates(std::vector<Issue::State> states) {
    m_states = std::move(states);
    emit statesChanged();
}

void ProjectViewModel::setAssignees(std::vector<User> assignees) {
    m_assignees = std::move(assignees);
    emit assigneesChanged();
}

void ProjectViewModel::setTasks(std::vector<Issue> tasks) {
    m_tasks = std::move(tasks);
    m_tasksKept = 0;
    emit tasksChanged();
}

void ProjectViewModel::setLoadingMoreTasks(bool value) {
    if (m_loadingMoreTasks == value) {
        return;
    }
    m_loadingMoreTasks = value;
    emit loadingMoreTasksChanged(value);
}

void ProjectViewModel::setHasMoreTasks(bool value) {
    if (m_hasMoreTasks == value) {
        return;
    }
    m_hasMoreTasks = value;
    emit hasMoreTasksChanged(value);
}

void ProjectViewModel::setLoadError(std::optional<APIError> error) {
    if (!m_loadError && !error) {
        return;
    }
    m_loadError = std::move(error);
    emit loadErrorChanged();
}

void ProjectViewModel::setMoreTasksError(std::optional<APIError> error) {
    if (!m_moreTasksError && !error) {
        return;
    }
    m_moreTasksError = std::move(error);
    emit moreTasksErrorChanged();
}

void ProjectViewModel::setLoading(bool value) {
    if (m_loading == value) {
        return;
    }
    m_loading = value;
    emit loadingChanged(value);
}

} // namespace velmora
