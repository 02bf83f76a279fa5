#include "FakeProviderService.h"
#include "StateTestEnvironment.h"

#include "state/FilterSnapshot.h"
#include "state/ProjectViewModel.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace velmora {
namespace {

using namespace std::chrono_literals;

const Issue::State kUnresolved = Issue::State::unresolved();
const Issue::State kOpen{QStringLiteral("open"), QStringLiteral("Open")};
const Issue::State kDone{QStringLiteral("done"), QStringLiteral("Done")};

class ProjectViewModelTest : public ::testing::Test {
protected:
    ProjectViewModelTest() {
        service->states.answer({kUnresolved, kOpen, kDone});
        service->assignees.answer({colleague, me});
        service->tasks = test::makeIssues(50);
    }

    std::unique_ptr<ProjectViewModel> makeModel(std::chrono::milliseconds loadMoreDelay = 20ms) {
        return std::make_unique<ProjectViewModel>(service, project, providerUser,
                                                  env.environment(loadMoreDelay));
    }

    // Waits until the model has no request running.
    static void settle(const ProjectViewModel& model) {
        test::drainEvents();
        ASSERT_TRUE(test::waitUntil([&] { return !model.loading() && !model.loadingMoreTasks(); }));
    }

    const test::TaskQuery& lastQuery() const { return service->taskQueries.back(); }

    void setAllDefaults(bool on) {
        env.settings->setShowUnresolvedTasksByDefault(on);
        env.settings->setShowMyTasksByDefault(on);
        env.settings->setPersistProjectFilters(on);
    }

    test::StateTestEnvironment env;
    std::shared_ptr<test::FakeProviderService> service = std::make_shared<test::FakeProviderService>();
    Project project = test::makeProject(QStringLiteral("10001"));
    User me = test::makeUser(QStringLiteral("me"));
    User colleague = test::makeUser(QStringLiteral("colleague"));
    std::optional<ProviderUser> providerUser =
        ProviderUser{QStringLiteral("me"), QStringLiteral("Me"), QString()};
};

TEST_F(ProjectViewModelTest, FirstLoadChoosesTheDefaultFilters) {
    service->holdPages = true;
    auto model = makeModel();
    EXPECT_TRUE(model->loading()) << "loading from construction on";
    test::drainEvents();

    EXPECT_EQ(model->states().size(), 3u);
    EXPECT_EQ(model->assignees().size(), 2u);
    EXPECT_EQ(model->state(), kUnresolved);
    EXPECT_EQ(model->assignee(), me);
    EXPECT_TRUE(model->isDefaultFilter());
    EXPECT_EQ(lastQuery().state, kUnresolved);
    EXPECT_EQ(lastQuery().assignee, me);
    EXPECT_FALSE(lastQuery().search.has_value());
    EXPECT_TRUE(model->loading()) << "the first page is still on its way";

    ASSERT_EQ(service->waitingPages(), 1u);
    service->completePage(service->pageRequests.size() - 1);
    settle(*model);
    EXPECT_EQ(model->tasks().size(), 20u);
    EXPECT_TRUE(model->hasMoreTasks());
    EXPECT_EQ(model->task(), service->tasks.front()) << "the first task is selected";
}

TEST_F(ProjectViewModelTest, SavedFilterWinsAndAStateThatIsGoneIsLeftOff) {
    env.snapshots->save(
        FilterSnapshot{Issue::State{QStringLiteral("gone"), QStringLiteral("Gone")}, colleague},
        FilterSnapshot::key(project.id));
    auto model = makeModel();
    settle(*model);
    EXPECT_FALSE(model->state().has_value());
    EXPECT_EQ(model->assignee(), colleague);
    EXPECT_FALSE(lastQuery().state.has_value());
    EXPECT_EQ(lastQuery().assignee, colleague);
}

TEST_F(ProjectViewModelTest, WithEveryDefaultOffNoFilterIsChosenAndNoneIsRead) {
    setAllDefaults(false);
    env.snapshots->save(FilterSnapshot{kOpen, colleague}, FilterSnapshot::key(project.id));
    auto model = makeModel();
    settle(*model);
    EXPECT_FALSE(model->isFiltered());
    EXPECT_FALSE(lastQuery().state.has_value());
    EXPECT_FALSE(lastQuery().assignee.has_value());
    EXPECT_EQ(model->tasks().size(), 20u);
}

TEST_F(ProjectViewModelTest, ProjectWithoutFiltersLoadsTasksUnfiltered) {
    project = test::makeProject(QStringLiteral("plain"), false);
    auto model = makeModel();
    settle(*model);
    EXPECT_EQ(service->states.calls(), 0);
    EXPECT_EQ(service->assignees.calls(), 0);
    EXPECT_TRUE(model->states().empty());
    EXPECT_FALSE(model->isFiltered()) << "no list offers the default filters";
    EXPECT_EQ(model->tasks().size(), 20u);
}

TEST_F(ProjectViewModelTest, FailedStatesEndTheChainWithoutTasks) {
    service->states.answerError(APIError::unknown());
    auto model = makeModel();
    settle(*model);
    EXPECT_TRUE(model->states().empty());
    EXPECT_EQ(service->assignees.calls(), 0);
    EXPECT_TRUE(service->pageRequests.empty()) << "no tasks are asked for";
    EXPECT_FALSE(model->loading());
    EXPECT_TRUE(model->tasks().empty());
}

TEST_F(ProjectViewModelTest, ToolbarRefreshKeepsFiltersAndSelectsTheNewFirstTask) {
    setAllDefaults(false);
    auto model = makeModel();
    settle(*model);
    model->setState(kOpen);
    model->resetTasks();
    model->loadTasks();
    settle(*model);
    model->setTask(service->tasks[5]);
    const auto queries = service->taskQueries.size();

    service->tasks.insert(service->tasks.begin(), test::makeIssue(QStringLiteral("new")));
    model->refresh(false);
    EXPECT_FALSE(model->task().has_value());
    settle(*model);
    EXPECT_EQ(service->states.calls(), 2);
    EXPECT_EQ(model->state(), kOpen);
    EXPECT_EQ(service->taskQueries.size(), queries) << "the current query is kept";
    EXPECT_EQ(model->task(), test::makeIssue(QStringLiteral("new")));
}

TEST_F(ProjectViewModelTest, ResetKeepsTheOldTasksUntilTheNewFirstPageArrives) {
    auto model = makeModel();
    settle(*model);
    const auto oldTasks = model->tasks();

    service->holdPages = true;
    service->tasksFor = [](const test::TaskQuery& query) {
        return query.search ? std::vector<Issue>{test::makeIssue(QStringLiteral("found"))}
                            : test::makeIssues(50);
    };
    model->setSearch(QStringLiteral("found"));
    model->resetTasks();
    EXPECT_FALSE(model->task().has_value());
    EXPECT_FALSE(model->hasMoreTasks());
    model->loadTasks();
    test::drainEvents();
    EXPECT_EQ(model->tasks(), oldTasks);
    EXPECT_EQ(lastQuery().search, QStringLiteral("found"));

    service->completePage(service->pageRequests.size() - 1);
    settle(*model);
    ASSERT_EQ(model->tasks().size(), 1u);
    EXPECT_EQ(model->task(), test::makeIssue(QStringLiteral("found")));
    EXPECT_FALSE(model->hasMoreTasks());
}

TEST_F(ProjectViewModelTest, LoadMoreWaitsThenAppendsAndShowsAsLoadingMore) {
    EXPECT_EQ(StateEnvironment{}.loadMoreDelay, 1000ms);
    // Far longer than any test waits: only the test's clock ends it.
    auto model = makeModel(10min);
    settle(*model);
    service->holdPages = true;
    const auto pagesBefore = service->pageRequests.size();

    model->loadMoreTasks();
    EXPECT_TRUE(model->loadingMoreTasks()) << "shown at once";
    EXPECT_FALSE(model->isFirstIteration());
    test::drainEvents();
    env.clock->advance(10 * 60 * 1000 - 1);
    test::drainEvents();
    EXPECT_EQ(service->pageRequests.size(), pagesBefore) << "asked for only after the pause";

    env.clock->advance(1);
    ASSERT_TRUE(test::waitUntil([&] { return service->pageRequests.size() == pagesBefore + 1; }));
    EXPECT_EQ(service->pageRequests.back().skip, 20);
    EXPECT_FALSE(model->loading()) << "page requests now show as loading more, not loading";
    EXPECT_TRUE(model->loadingMoreTasks());
    service->completePage(service->pageRequests.size() - 1);
    settle(*model);
    EXPECT_EQ(model->tasks().size(), 40u);
    EXPECT_EQ(model->tasks()[20], service->tasks[20]);
    EXPECT_TRUE(model->hasMoreTasks());

    // After the first request for more, even a new query's first page shows as
    // loading more.
    model->resetTasks();
    model->loadTasks();
    test::drainEvents();
    EXPECT_TRUE(model->loadingMoreTasks());
    EXPECT_FALSE(model->loading());
    service->completePage(service->pageRequests.size() - 1);
    settle(*model);
    EXPECT_EQ(model->tasks().size(), 20u);
}

TEST_F(ProjectViewModelTest, QueryChangedDuringThePauseKeepsTheNewFirstPage) {
    auto model = makeModel(100ms);
    settle(*model);
    service->holdPages = true;
    service->tasksFor = [&](const test::TaskQuery& query) {
        if (query.state == kDone) {
            return std::vector<Issue>{test::makeIssue(QStringLiteral("done-1"))};
        }
        return service->tasks;
    };

    model->loadMoreTasks();
    model->setState(kDone);
    model->resetTasks();
    model->loadTasks();
    const auto pages = service->pageRequests.size();
    ASSERT_EQ(service->waitingPages(), 1u);

    // Well past the pause: the old query asks for nothing.
    env.clock->advance(250);
    test::drainEvents();
    EXPECT_EQ(service->pageRequests.size(), pages);
    EXPECT_EQ(service->pageRequests.back().skip, 0);
    EXPECT_EQ(service->waitingPages(), 1u) << "the new first page was not cancelled";

    service->completePage(pages - 1);
    settle(*model);
    ASSERT_EQ(model->tasks().size(), 1u);
    EXPECT_EQ(model->tasks().front().id, QStringLiteral("done-1"));
}

TEST_F(ProjectViewModelTest, RefreshDuringThePauseKeepsItsFirstPage) {
    setAllDefaults(false);
    auto model = makeModel(400ms);
    settle(*model);
    service->holdPages = true;

    // The list asks for more, and within the pause the toolbar refreshes the same query
    // (or a saved work log reloads it), its filter lists arriving within the pause.
    model->loadMoreTasks();
    service->tasks.insert(service->tasks.begin(), test::makeIssue(QStringLiteral("new")));
    model->refresh(false);
    ASSERT_TRUE(test::waitUntil([&] { return service->waitingPages() == 1; }));
    const auto pages = service->pageRequests.size();
    EXPECT_EQ(service->pageRequests.back().skip, 0);

    env.clock->advance(600);
    test::drainEvents();
    EXPECT_EQ(service->pageRequests.size(), pages) << "the older request for more asks for nothing";
    ASSERT_EQ(service->waitingPages(), 1u) << "the fresh first page was not cancelled";

    service->completePage(pages - 1);
    settle(*model);
    ASSERT_EQ(model->tasks().size(), 20u);
    EXPECT_EQ(model->tasks().front().id, QStringLiteral("new"));
    EXPECT_EQ(model->task(), test::makeIssue(QStringLiteral("new")));
    EXPECT_TRUE(model->hasMoreTasks());
}

TEST_F(ProjectViewModelTest, FailedPageKeepsTheListAndEndsLoading) {
    auto model = makeModel();
    settle(*model);
    service->holdPages = true;
    model->loadMoreTasks();
    env.clock->advance(20);
    ASSERT_TRUE(test::waitUntil([&] { return service->waitingPages() == 1; }));
    service->failPage(service->pageRequests.size() - 1, APIError::rateLimited(30));
    settle(*model);
    EXPECT_EQ(model->tasks().size(), 20u);
    EXPECT_TRUE(model->hasMoreTasks());
}

TEST_F(ProjectViewModelTest, ReloadKeepsTheSelectedTaskWithItsNewValues) {
    setAllDefaults(false);
    auto model = makeModel();
    settle(*model);
    model->setTask(service->tasks[3]);

    // A booking on the task changes its spent time; the list reloads its first page.
    service->tasks[3].spentTime = QStringLiteral("1h");
    model->loadTasks();
    settle(*model);
    ASSERT_TRUE(model->task().has_value());
    EXPECT_EQ(model->task()->spentTime, QStringLiteral("1h"));
    EXPECT_EQ(model->task(), model->tasks()[3]);
}

TEST_F(ProjectViewModelTest, LeavingSavesOnlyAFilterThatIsNotTheDefault) {
    const QString key = FilterSnapshot::key(project.id);
    {
        auto model = makeModel();
        settle(*model);
        ASSERT_TRUE(model->isDefaultFilter());
        env.snapshots->save(FilterSnapshot{kOpen, std::nullopt}, key);
    }
    EXPECT_FALSE(env.snapshots->value<FilterSnapshot>(key).has_value())
        << "the default filter removes the entry";

    {
        auto model = makeModel();
        settle(*model);
        model->setState(std::nullopt);
        model->setAssignee(colleague);
    }
    EXPECT_EQ(env.snapshots->value<FilterSnapshot>(key), (FilterSnapshot{std::nullopt, colleague}));

    {
        // The saved filter comes back on the next visit.
        auto model = makeModel();
        settle(*model);
        EXPECT_EQ(model->assignee(), colleague);
        EXPECT_FALSE(model->state().has_value());

        env.settings->setPersistProjectFilters(false);
        model->setState(kDone);
    }
    EXPECT_EQ(env.snapshots->value<FilterSnapshot>(key), (FilterSnapshot{std::nullopt, colleague}))
        << "without persistence an earlier entry stays as it was";

    {
        auto model = makeModel();
        settle(*model);
        model->setState(std::nullopt);
        model->setAssignee(std::nullopt);
    }
    EXPECT_FALSE(env.snapshots->value<FilterSnapshot>(key).has_value()) << "no filter removes the entry";
}

TEST_F(ProjectViewModelTest, DefaultFilterRules) {
    providerUser.reset();
    setAllDefaults(false);
    auto model = makeModel();
    settle(*model);
    model->setState(kUnresolved);
    EXPECT_TRUE(model->isDefaultFilter()) << "no own user and no assignee";
    model->setAssignee(me);
    EXPECT_FALSE(model->isDefaultFilter()) << "an assignee without an own user";
    model->setState(kOpen);
    model->setAssignee(std::nullopt);
    EXPECT_TRUE(model->isFiltered());
    EXPECT_FALSE(model->isDefaultFilter());
}

// An outage on the first load leaves the filters unchosen; the load that follows it
// chooses them as a first visit would, and leaving meanwhile keeps what was saved.
TEST_F(ProjectViewModelTest, FiltersSurviveAnOutageOnTheFirstLoad) {
    const QString key = FilterSnapshot::key(project.id);
    env.snapshots->save(FilterSnapshot{kOpen, colleague}, key);
    service->states.answerError(APIError::failure(APIError::Cause::Unreachable));
    {
        auto model = makeModel();
        settle(*model);
        EXPECT_FALSE(model->isFiltered());
    }
    EXPECT_EQ(env.snapshots->value<FilterSnapshot>(key), (FilterSnapshot{kOpen, colleague}))
        << "leaving a project that never loaded keeps its saved filter";

    auto model = makeModel();
    settle(*model);
    service->states.answer({kUnresolved, kOpen, kDone});
    // The toolbar's refresh after the server is back.
    model->refresh(false);
    settle(*model);
    EXPECT_EQ(model->state(), kOpen);
    EXPECT_EQ(model->assignee(), colleague);
    EXPECT_EQ(lastQuery().state, kOpen);
    EXPECT_EQ(lastQuery().assignee, colleague);
}

TEST_F(ProjectViewModelTest, AFailureIsKeptUntilTryAgainRepeatsWhatFailed) {
    setAllDefaults(false);
    service->states.answerError(APIError::failure(APIError::Cause::ServerError, 500));
    auto model = makeModel();
    settle(*model);
    ASSERT_TRUE(model->loadError().has_value()) << "the refresh chain failed";
    EXPECT_EQ(model->loadError()->cause(), APIError::Cause::ServerError);
    EXPECT_FALSE(model->hasLoaded()) << "an empty list that is no answer";

    service->states.answer({kUnresolved, kOpen, kDone});
    model->retry();
    settle(*model);
    EXPECT_FALSE(model->loadError().has_value());
    EXPECT_TRUE(model->hasLoaded());
    EXPECT_EQ(model->tasks().size(), 20u);

    // A later page: its failure is kept apart and its retry asks for that page again.
    service->holdPages = true;
    model->loadMoreTasks();
    test::drainEvents();
    env.clock->advance(20);
    ASSERT_TRUE(test::waitUntil([&] { return service->waitingPages() == 1; }));
    service->failPage(service->pageRequests.size() - 1, APIError::failure(APIError::Cause::TimedOut));
    settle(*model);
    ASSERT_TRUE(model->moreTasksError().has_value());
    EXPECT_FALSE(model->loadError().has_value());
    const std::size_t shown = model->tasks().size();
    model->retry();
    EXPECT_FALSE(model->moreTasksError().has_value());
    test::drainEvents();
    env.clock->advance(20);
    ASSERT_TRUE(test::waitUntil([&] { return service->waitingPages() == 1; }));
    service->completePage(service->pageRequests.size() - 1);
    settle(*model);
    EXPECT_GT(model->tasks().size(), shown);
}

} // namespace
} // namespace velmora
