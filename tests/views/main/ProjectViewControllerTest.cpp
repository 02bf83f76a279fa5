#include "ProjectViewTestHost.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecord.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PopoverOnHover.h"
#include "views/main/ProjectNoTasksView.h"
#include "views/main/ProjectSplitViewController.h"
#include "views/main/ProjectTaskView.h"
#include "views/main/ProjectTasksModel.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/ProjectViewController.h"
#include "views/main/TimeEditFieldView.h"
#include "views/main/TimerBlockView.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;
namespace id = velmora::ToolbarItemIdentifier;

namespace {

class ProjectViewControllerTest : public ::testing::Test {
protected:
    ProjectViewControllerTest() {
        env.settings->setShowUnresolvedTasksByDefault(false);
        env.settings->setShowMyTasksByDefault(false);
        env.settings->setPersistProjectFilters(false);
        ProjectSplitViewController::setSettingsFile(env.snapshotPath() + QStringLiteral(".windows"));
        service->states.answer({Issue::State{QStringLiteral("s1"), QStringLiteral("Open")},
                                Issue::State{QStringLiteral("s2"), QStringLiteral("Done")}});
        service->assignees.answer({makeUser(QStringLiteral("u1"))});
        service->tasks = makeIssues(3);
    }
    ~ProjectViewControllerTest() override { ProjectSplitViewController::setSettingsFile({}); }

    ProjectViewController& open(Project project = makeProject(QStringLiteral("p"))) {
        model = std::make_unique<ProjectViewModel>(service, project, std::nullopt, env.environment());
        controller = new ProjectViewController(*model, timer);
        host.setPane(controller);
        host.show();
        settle();
        return *controller;
    }
    void settle() { drainEvents(10); }

    StateTestEnvironment env;
    std::shared_ptr<FakeProviderService> service = std::make_shared<FakeProviderService>();
    TimerViewModel timer{QStringLiteral("ACCOUNT"), env.environment()};
    ProjectViewTestHost host;
    std::unique_ptr<ProjectViewModel> model;
    QPointer<ProjectViewController> controller;
};

} // namespace

TEST_F(ProjectViewControllerTest, ShowsLoadingThenTheTasksOrTheEmptyView) {
    service->holdPages = true;
    auto& view = open();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::loading);
    service->completePage(0);
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::tasks);
    ASSERT_NE(view.splitViewController(), nullptr);
    EXPECT_EQ(host.title, "Project p");
    EXPECT_EQ(host.subtitle, "3 issues");
    ASSERT_NE(view.splitViewController()->detailView(), nullptr) << "the first task is selected and shown";
    EXPECT_EQ(view.splitViewController()->detailView()->task().id, "1");

    // A refresh goes through loading again and ends with no tasks.
    service->tasks.clear();
    view.refreshData();
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::loading);
    service->completePage(1);
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::noTasks);
    EXPECT_EQ(host.subtitle, "0 issues");
    EXPECT_EQ(host.identifiers, (QStringList{id::refreshData, id::filter, id::searchItem}));
}

TEST_F(ProjectViewControllerTest, AFailedLoadKeepsTheTasksShown) {
    service->holdPages = true;
    auto& view = open();
    service->completePage(0);
    settle();
    view.refreshData();
    settle();
    service->failPage(1, APIError::unknown());
    settle();
    EXPECT_EQ(model->tasks().size(), 3u);
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::tasks);
}

// The toolbar's buttons take no focus either: a time typed into the window's timer field
// and not ended with Return is the timer's before stop or pause acts on it.
TEST_F(ProjectViewControllerTest, TheTimerItemsActOnATimeTypedAndNotYetEnded) {
    open();
    TimerBlockView block(timer, &host);
    block.show();
    host.item(id::startTimeTracking)->trigger();
    settle();
    std::vector<double> elapsedWhenPaused;
    QObject::connect(&timer, &TimerViewModel::stateChanged,
                     [&] { elapsedWhenPaused.push_back(timer.elapsed()); });
    // What the booking sheet reads when it opens.
    std::optional<double> elapsedWhenStopped;
    const Cancellable stopped = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::timerCanceled),
        [&](const Notification&) { elapsedWhenStopped = timer.elapsed(); });

    TimeEditFieldView* field = block.timeField();
    QTest::mouseClick(field->elapsedLabel(), Qt::LeftButton);
    field->textField()->selectAll();
    QTest::keyClicks(field->textField(), QStringLiteral("0:45"));
    host.item(id::pauseTimeTracking)->trigger();
    QTest::mouseClick(field->elapsedLabel(), Qt::LeftButton);
    field->textField()->selectAll();
    QTest::keyClicks(field->textField(), QStringLiteral("1:15"));
    host.item(id::cancelTimeTracking)->trigger();
    settle();
    EXPECT_EQ(elapsedWhenPaused, (std::vector<double>{2700}));
    EXPECT_EQ(elapsedWhenStopped, 4500);
    EXPECT_FALSE(field->isEditing());
}

TEST_F(ProjectViewControllerTest, TimerItemsFollowTheTimerAndTheSelection) {
    open();
    const QStringList head{id::refreshData, id::filter, id::trackingSplitItem};
    EXPECT_EQ(host.identifiers, (head + QStringList{id::startTimeTracking, id::searchItem})) << "idle";

    host.item(id::startTimeTracking)->trigger();
    settle();
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_EQ(host.identifiers,
              (head + QStringList{id::cancelTimeTracking, id::pauseTimeTracking, id::searchItem}));

    host.item(id::pauseTimeTracking)->trigger();
    settle();
    EXPECT_EQ(host.identifiers,
              (head + QStringList{id::cancelTimeTracking, id::continueTimeTracking, id::searchItem}));

    // Another task selected: only start, which moves the timer there.
    model->setTask(model->tasks()[1]);
    settle();
    EXPECT_EQ(host.identifiers, (head + QStringList{id::startTimeTracking, id::searchItem}));
    host.item(id::startTimeTracking)->trigger();
    settle();
    EXPECT_EQ(timer.task()->id, "2");

    // The tracked task reloaded with another spent time is still the tracked one.
    service->tasks[1].spentTime = QStringLiteral("1h");
    model->loadTasks();
    settle();
    model->setTask(model->tasks()[1]);
    settle();
    EXPECT_TRUE(host.identifiers.contains(id::cancelTimeTracking));
    auto* split = controller->splitViewController();
    ASSERT_NE(split, nullptr);
    EXPECT_TRUE(split->tasksView()->tasksModel()->index(1).data(ProjectTasksModel::TrackingRole).toBool());
}

TEST_F(ProjectViewControllerTest, WithoutTimeTrackingOnlyTheWarningAndNoTimerItems) {
    Project project = makeProject(QStringLiteral("p"));
    project.configuration.timeTrackingEnabled = false;
    project.configuration.searchEnabled = false;
    open(project);
    EXPECT_EQ(host.identifiers,
              (QStringList{id::timeTrackingDisabled, id::refreshData, id::filter, id::trackingSplitItem}));
    // Its explanation comes to the keyboard too, on screen with the window at the screen's top.
    auto* warning = host.toolbar->findChild<QWidget*>(id::timeTrackingDisabled);
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->focusPolicy() & Qt::TabFocus);
    host.move(host.screen()->availableGeometry().topLeft());
    host.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return host.isActiveWindow(); }));
    warning->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == warning; }));
    QWidget* explained = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        explained = PopoverOnHover::of(warning) ? PopoverOnHover::of(warning)->popover() : nullptr;
        return explained;
    }));
    EXPECT_TRUE(host.screen()->availableGeometry().contains(explained->geometry()));
    // No selection and an idle timer: start is offered but does nothing.
    model->setTask(std::nullopt);
    controller->startTimeTracking();
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
}

TEST_F(ProjectViewControllerTest, FiltersAndSearchMakeANewQuery) {
    auto& view = open();
    const auto queries = service->taskQueries.size();
    const Issue::State open{QStringLiteral("s1"), QStringLiteral("Open")};
    view.setStateFilter(open);
    settle();
    ASSERT_EQ(service->taskQueries.size(), queries + 1);
    EXPECT_EQ(service->taskQueries.back().state, open);

    std::unique_ptr<QMenu> menu(view.makeFilterMenu());
    auto* states = menu->findChild<QMenu*>(QStringLiteral("StateMenu"));
    ASSERT_NE(states, nullptr);
    EXPECT_TRUE(states->menuAction()->isChecked());
    ASSERT_EQ(states->actions().size(), 2);
    EXPECT_TRUE(states->actions()[0]->isChecked());
    states->actions()[0]->trigger(); // the checked entry again clears the filter
    settle();
    EXPECT_EQ(service->taskQueries.back().state, std::nullopt);
    EXPECT_FALSE(model->isFiltered());

    QLineEdit* search = view.searchField();
    ASSERT_NE(search, nullptr);
    search->setText(QStringLiteral("bug"));
    view.commitSearch();
    settle();
    EXPECT_EQ(service->taskQueries.back().search, QStringLiteral("bug"));
    view.commitSearch(); // unchanged text still searches again
    settle();
    EXPECT_EQ(service->taskQueries.size(), queries + 4);
}

TEST_F(ProjectViewControllerTest, TheSearchFieldKeepsItsTextAndFocusThroughRebuilds) {
    auto& view = open();
    host.activateWindow();
    QLineEdit* search = view.searchField();
    ASSERT_NE(search, nullptr);
    search->setFocus();
    QTest::keyClicks(search, QStringLiteral("abc"));
    const auto queries = service->taskQueries.size();
    host.updateToolbar();
    host.updateToolbar();
    settle();
    EXPECT_EQ(view.searchField(), search);
    EXPECT_EQ(search->text(), "abc");
    EXPECT_TRUE(search->isVisible());
    EXPECT_TRUE(host.toolbar->isAncestorOf(search));
    EXPECT_TRUE(search->hasFocus());
    EXPECT_EQ(service->taskQueries.size(), queries) << "a rebuild is not the end of an edit";
    // Escape ends the search, and the keyboard goes back to the list.
    QTest::keyClick(search, Qt::Key_Escape);
    settle();
    EXPECT_TRUE(search->text().isEmpty());
    ASSERT_NE(view.splitViewController(), nullptr);
    EXPECT_TRUE(view.splitViewController()->tasksView()->hasFocus()) << "the focus went nowhere";
}

TEST_F(ProjectViewControllerTest, ASavedEntryReloadsOnlyItsOwnProject) {
    open();
    const auto pages = service->pageRequests.size();
    NotificationCenter::defaultCenter().post(NotificationName::timeEntrySaved,
                                             makeProject(QStringLiteral("other")));
    settle();
    EXPECT_EQ(service->pageRequests.size(), pages);
    NotificationCenter::defaultCenter().post(NotificationName::timeEntrySaved, model->project());
    settle();
    EXPECT_EQ(service->pageRequests.size(), pages + 1);
}

TEST_F(ProjectViewControllerTest, TheDetailPaneJoinsAtTheFirstSelectionAndKeepsTheLastTask) {
    open();
    auto* split = controller->splitViewController();
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->count(), 2);
    EXPECT_EQ(split->objectName(), "split-view-project");
    ProjectTaskView* detail = split->detailView();
    model->setTask(model->tasks()[2]);
    settle();
    EXPECT_EQ(split->detailView(), detail) << "the same pane, new content";
    EXPECT_EQ(detail->task().id, "3");
    model->setTask(std::nullopt);
    settle();
    EXPECT_EQ(detail->task().id, "3");
    EXPECT_FALSE(split->tasksView()->currentIndex().isValid());
    EXPECT_EQ(split->count(), 2);
}

// A load that fails with nothing to show is said as a failure, never as "No tasks
// here.", and Try Again loads again; a failed refresh keeps the list under the failure.
TEST_F(ProjectViewControllerTest, AFailedLoadShowsWhatFailedAndTryAgainRecovers) {
    service->holdPages = true;
    auto& view = open();
    service->failPage(
        0, APIError::failure(APIError::Cause::Unreachable).withHost(QStringLiteral("jira.example")));
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::failed);
    auto* page = qobject_cast<LoadFailureView*>(view.currentChild());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->headlineLabel()->text(), "Couldn't load the tasks");
    EXPECT_EQ(page->explanationLabel()->text(),
              "Can't reach jira.example. The server or the network connection may be down.");
    EXPECT_TRUE(view.findChildren<ProjectNoTasksView*>().isEmpty());
    EXPECT_EQ(host.subtitle, "issues not loaded") << "no count for a list that did not load";

    QTest::mouseClick(page->tryAgainButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::loading);
    service->completePage(1);
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::tasks);
    EXPECT_FALSE(view.failureBanner()->isVisible());

    view.refreshData();
    settle();
    service->failPage(2, APIError::failure(APIError::Cause::ServerError, 502));
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::tasks) << "the list stays";
    EXPECT_TRUE(view.failureBanner()->isVisible());
    EXPECT_EQ(
        view.failureBanner()->explanationLabel()->text(),
        "The server answered with an error (HTTP 502). The fault is on the server's side; try again in a "
        "moment.");
    EXPECT_EQ(host.subtitle, "3 issues");
    QTest::mouseClick(view.failureBanner()->tryAgainButton(), Qt::LeftButton);
    settle();
    service->completePage(3);
    settle();
    EXPECT_FALSE(view.failureBanner()->isVisible());
}

TEST_F(ProjectViewControllerTest, NoTasksOnlyForAnAnswerWithNoneAndTheCountReadsRight) {
    service->tasks = makeIssues(1);
    auto& view = open();
    EXPECT_EQ(host.subtitle, "1 issue");
    service->tasks.clear();
    view.refreshData();
    settle();
    EXPECT_EQ(view.currentView(), ProjectViewController::ViewState::noTasks);
    EXPECT_EQ(host.subtitle, "0 issues");
}

// The failure row is as tall as what it says at the list's width, down to the
// narrowest list, and the list scrolls it wholly into view.
TEST_F(ProjectViewControllerTest, AFailedLaterPagesRowFitsItsText) {
    service->tasks = makeIssues(30);
    auto& view = open();
    ASSERT_NE(view.splitViewController(), nullptr);
    auto* list = view.findChild<ProjectTasksView*>();
    ASSERT_NE(list, nullptr);
    service->holdPages = true;
    // The user scrolls to the end of the list, which asks for the next page.
    list->scrollToBottom();
    settle();
    env.clock->advance(20);
    ASSERT_TRUE(waitUntil([&] { return service->waitingPages() == 1; }));
    service->failPage(
        service->pageRequests.size() - 1,
        APIError::failure(APIError::Cause::Unreachable).withHost(QStringLiteral("jira.example")));
    settle();
    for (const int width : {list->width(), 300}) {
        list->setFixedWidth(width);
        settle();
        list->scrollToBottom();
        settle();
        auto* row = qobject_cast<LoadFailureView*>(list->moreTasksFailure());
        ASSERT_NE(row, nullptr);
        for (QLabel* label : {row->headlineLabel(), row->explanationLabel()}) {
            const std::string what = label->text().toStdString() + " at " + std::to_string(width);
            EXPECT_GE(label->height(),
                      label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height())
                << what;
            if (!label->wordWrap()) {
                EXPECT_GE(label->width(), label->sizeHint().width()) << what;
            }
            const QRect shown(label->mapTo(list->viewport(), QPoint(0, 0)), label->size());
            EXPECT_TRUE(list->viewport()->rect().contains(shown)) << what;
        }
        QPushButton* tryAgain = row->tryAgainButton();
        EXPECT_TRUE(tryAgain->isVisible());
        EXPECT_TRUE(row->rect().contains(QRect(tryAgain->mapTo(row, QPoint(0, 0)), tryAgain->size())));
    }
}

TEST_F(ProjectViewControllerTest, AFailedLaterPageSaysSoInItsRowWithTryAgain) {
    service->tasks = makeIssues(30);
    auto& view = open();
    ASSERT_NE(view.splitViewController(), nullptr);
    auto* list = view.findChild<ProjectTasksView*>();
    ASSERT_NE(list, nullptr);
    service->holdPages = true;
    model->loadMoreTasks();
    settle();
    env.clock->advance(20);
    ASSERT_TRUE(waitUntil([&] { return service->waitingPages() == 1; }));
    service->failPage(service->pageRequests.size() - 1, APIError::rateLimited(30));
    settle();
    auto* row = qobject_cast<LoadFailureView*>(list->moreTasksFailure());
    ASSERT_NE(row, nullptr) << "the failure stands where the spinner was";
    EXPECT_EQ(row->explanationLabel()->text(), "The server asked us to slow down. Try again in 30 seconds.");
    EXPECT_EQ(list->tasksModel()->rowCount(), 21);

    QTest::mouseClick(row->tryAgainButton(), Qt::LeftButton);
    settle();
    env.clock->advance(20);
    ASSERT_TRUE(waitUntil([&] { return service->waitingPages() == 1; }));
    service->completePage(service->pageRequests.size() - 1);
    settle();
    EXPECT_EQ(list->moreTasksFailure(), nullptr);
    EXPECT_EQ(list->tasksModel()->taskCount(), 30);
}

// Time of no account is booked on the task the shown project has selected: the project answers
// with it, once, and only where time is tracked.
TEST_F(ProjectViewControllerTest, TimeOfNoAccountIsOfferedTheSelectedTask) {
    open();
    ASSERT_TRUE(model->task().has_value()) << "the first task is selected";
    std::vector<ReturnedTimeOnTask> asked;
    const Cancellable booking = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::bookReturnedTime), [&](const Notification& notification) {
            if (const auto* onTask = notification.objectAs<ReturnedTimeOnTask>()) {
                asked.push_back(*onTask);
            }
        });
    const QUuid record = QUuid::createUuid();
    auto taken = std::make_shared<bool>(false);
    NotificationCenter::defaultCenter().post(QString(NotificationName::bookOnSelectedTask),
                                             SelectedTaskWanted{record, taken});
    EXPECT_TRUE(*taken);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked.front().record, record);
    EXPECT_EQ(asked.front().task.id, model->task()->id);
    EXPECT_EQ(asked.front().project, model->project());

    // Already taken (another window answered): nothing more.
    NotificationCenter::defaultCenter().post(QString(NotificationName::bookOnSelectedTask),
                                             SelectedTaskWanted{record, taken});
    EXPECT_EQ(asked.size(), 1u);
}
