#pragma once

#include "core/model/APIError.h"
#include "core/model/AnyPaginator.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/ProviderService.h"
#include "core/model/ProviderUser.h"
#include "core/model/User.h"
#include "platform/async/Cancellable.h"
#include "platform/async/Publisher.h"
#include "state/FilterSnapshot.h"
#include "state/StateEnvironment.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// The task list of one project of the current account: the states and assignees it
// can be filtered by, the chosen filters and search text, the tasks loaded so far
// page by page, the selected task and the loading flags the views show.
//
// It starts loading when it is made: the filter lists, then the filters (from the
// user's defaults or the filter saved for the project when it was last left), then
// the first page. Later loads come from the views: after changing `state`,
// `assignee` or `search` they call resetTasks() and loadTasks(); the list calls
// loadMoreTasks() at its end. When the object goes away it saves its filter for the
// next visit, or removes the saved one when the filter is none or the default.
//
// Running requests are kept by purpose ("filters" for the refresh chain, "tasks" for
// every page); a new request under a purpose cancels the one before. A failure keeps
// what the lists held and is kept for the views to show: `loadError` for the filter
// lists and the first page, `moreTasksError` for a later page; retry() repeats what
// failed. An empty list therefore means "no tasks" only once `hasLoaded` holds and no
// error is kept. Filters and search survive a failure: filters that could not be
// chosen yet (the first load failed) are chosen by the next load that succeeds.
// Main thread only.
class ProjectViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(velmora::Project project READ project NOTIFY projectChanged)
    Q_PROPERTY(std::vector<velmora::Issue::State> states READ states NOTIFY statesChanged)
    Q_PROPERTY(std::optional<velmora::Issue::State> state READ state WRITE setState NOTIFY stateChanged)
    Q_PROPERTY(std::vector<velmora::User> assignees READ assignees NOTIFY assigneesChanged)
    Q_PROPERTY(std::optional<velmora::User> assignee READ assignee WRITE setAssignee NOTIFY assigneeChanged)
    Q_PROPERTY(std::vector<velmora::Issue> tasks READ tasks NOTIFY tasksChanged)
    Q_PROPERTY(std::optional<velmora::Issue> task READ task WRITE setTask NOTIFY taskChanged)
    Q_PROPERTY(bool loadingMoreTasks READ loadingMoreTasks NOTIFY loadingMoreTasksChanged)
    Q_PROPERTY(bool hasMoreTasks READ hasMoreTasks NOTIFY hasMoreTasksChanged)
    Q_PROPERTY(std::optional<QString> search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)

public:
    using FilterSnapshot = velmora::FilterSnapshot;

    // The purposes under which requests are kept.
    static inline const QString filtersRequest = QStringLiteral("filters");
    static inline const QString tasksRequest = QStringLiteral("tasks");

    // Starts loading at once (refresh(true)). `providerUser` is the account's own
    // user; its external id stands for "my tasks".
    ProjectViewModel(std::shared_ptr<ProviderService> service, Project project,
                     std::optional<ProviderUser> providerUser, StateEnvironment environment = {},
                     QObject* parent = nullptr);
    // Saves the filter for the next visit, or removes the saved one.
    ~ProjectViewModel() override;

    const std::shared_ptr<ProviderService>& service() const { return m_service; }
    const std::optional<ProviderUser>& providerUser() const { return m_providerUser; }

    const Project& project() const { return m_project; }
    const std::vector<Issue::State>& states() const { return m_states; }
    const std::optional<Issue::State>& state() const { return m_state; }
    void setState(std::optional<Issue::State> state);
    const std::vector<User>& assignees() const { return m_assignees; }
    const std::optional<User>& assignee() const { return m_assignee; }
    void setAssignee(std::optional<User> assignee);
    const std::vector<Issue>& tasks() const { return m_tasks; }
    // How many of the first tasks the last change of `tasks` left as they were: all that
    // were there when a further page was added, none when the list was replaced.
    std::size_t tasksKeptByLastChange() const { return m_tasksKept; }
    const std::optional<Issue>& task() const { return m_task; }
    void setTask(std::optional<Issue> task);
    bool loadingMoreTasks() const { return m_loadingMoreTasks; }
    bool hasMoreTasks() const { return m_hasMoreTasks; }
    // Absent until the user first commits a search.
    const std::optional<QString>& search() const { return m_search; }
    void setSearch(std::optional<QString> search);
    bool loading() const { return m_loading; }
    // True until the first request for more tasks.
    bool isFirstIteration() const { return m_isFirstIteration; }
    // Why the last refresh or first page failed; absent once a load starts again.
    const std::optional<APIError>& loadError() const { return m_loadError; }
    // Why the last later page failed; absent once it is asked for again or the query
    // changes.
    const std::optional<APIError>& moreTasksError() const { return m_moreTasksError; }
    // The tracker answered a first page since the project was opened.
    bool hasLoaded() const { return m_hasLoaded; }
    // Repeats the load that failed: the refresh (choosing the filters when they were
    // never chosen), the first page, or the later page. Nothing when none failed.
    void retry();

    // A state or an assignee filter is set.
    bool isFiltered() const;
    // The filter is what the user's defaults choose: "Unresolved", and the account's
    // own user when there is one.
    bool isDefaultFilter() const;

    // Reloads the filter lists, then the tasks; with `resetFilters` the filters are
    // chosen afresh (defaults or the saved filter), otherwise kept.
    void refresh(bool resetFilters);
    // Each completes once its list is stored, or fails with the service's error.
    Publisher<Void, APIError> loadStates();
    Publisher<Void, APIError> loadAssignees();
    // A new query for the current filters and search; the list keeps showing the old
    // tasks until loadTasks() brings the new query's first page.
    void resetTasks();
    // The first page of the current query.
    void loadTasks();
    // The next page, after the environment's pause (one second). Nothing is asked
    // for when the query changed or its first page was asked for again meanwhile.
    void loadMoreTasks();

signals:
    void projectChanged();
    void statesChanged();
    void stateChanged();
    void assigneesChanged();
    void assigneeChanged();
    void tasksChanged();
    void taskChanged();
    void loadingMoreTasksChanged(bool loadingMoreTasks);
    void hasMoreTasksChanged(bool hasMoreTasks);
    void searchChanged();
    void loadingChanged(bool loading);
    void loadErrorChanged();
    void moreTasksErrorChanged();

private:
    void chooseFilters(bool resetFilters);
    std::optional<FilterSnapshot> restoreFilters() const;
    void keepRequest(const QString& purpose, Cancellable request);
    void endRequest(const QString& purpose);
    void updateLoadingFlags();
    void requestNextPage();
    void receiveFirstPage(std::vector<Issue> page);
    void receiveNextPage(std::vector<Issue> page);

    void setStates(std::vector<Issue::State> states);
    void setAssignees(std::vector<User> assignees);
    void setTasks(std::vector<Issue> tasks);
    void setLoadingMoreTasks(bool value);
    void setHasMoreTasks(bool value);
    void setLoading(bool value);
    void setLoadError(std::optional<APIError> error);
    void setMoreTasksError(std::optional<APIError> error);

    const std::shared_ptr<ProviderService> m_service;
    const std::optional<ProviderUser> m_providerUser;
    StateEnvironment m_environment;

    Project m_project;
    std::vector<Issue::State> m_states;
    std::optional<Issue::State> m_state;
    std::vector<User> m_assignees;
    std::optional<User> m_assignee;
    std::vector<Issue> m_tasks;
    std::size_t m_tasksKept = 0;
    std::optional<Issue> m_task;
    AnyPaginator<Issue> m_tasksPaginator;
    // Counts the queries made by resetTasks() and the first pages asked for, so a
    // delayed request for more tasks can tell that the list was reloaded meanwhile.
    std::uint64_t m_query = 0;
    bool m_isFirstIteration = true;
    bool m_loadingMoreTasks = false;
    bool m_hasMoreTasks = false;
    std::optional<QString> m_search;
    bool m_loading = false;
    std::optional<APIError> m_loadError;
    std::optional<APIError> m_moreTasksError;
    // What failed last, for retry().
    enum class Failed { nothing, refresh, firstPage, nextPage };
    Failed m_failed = Failed::nothing;
    // The filters were chosen (from the defaults or the saved filter) by a refresh that
    // got its lists; until then a refresh chooses them and leaving saves nothing.
    bool m_filtersChosen = false;
    bool m_hasLoaded = false;
    std::map<QString, Cancellable> m_requests;
};

} // namespace velmora
