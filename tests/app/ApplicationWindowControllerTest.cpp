#include "ShellFixture.h"

#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecovery.h"
#include "state/TimerSnapshot.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/AlertTexts.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/ProviderSelectorView.h"
#include "views/main/RateLimitView.h"
#include "views/main/SidebarSplitViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimeZone>
#include <QToolBar>

using namespace velmora;
using namespace velmora::test;

namespace {
class ApplicationWindowControllerTest : public ShellFixture {
protected:
    ApplicationWindowController& openWindow() {
        account = addAccount(QStringLiteral("Alpha"));
        launch();
        EXPECT_NE(windows().applicationWindow(), nullptr);
        return *windows().applicationWindow();
    }
    QString key() const { return uuidText(*account.id()); }
    std::optional<TimerSnapshot> savedTimer() { return snapshots->value<TimerSnapshot>(key()); }
    void startTimer(ApplicationWindowController& window) {
        window.timerViewModel()->start(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")));
    }
    static void pump() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }

    YouTrackProvider account;
};
} // namespace

TEST_F(ApplicationWindowControllerTest, OpensWithTheSidebarTheCalendarAndItsToolbar) {
    auto& window = openWindow();
    pump();
    EXPECT_EQ(window.minimumSize(), QSize(812, 400));
    auto* split = window.splitViewController();
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->count(), 2);
    EXPECT_EQ(split->sidebarView()->width(), 220);
    EXPECT_GE(window.contentSplitItem()->minimumWidth(), 592);
    ASSERT_NE(window.toolbar(), nullptr);
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationCalendar);
    EXPECT_EQ(window.applicationViewModel()->projects().size(), 2u) << "the projects were loaded";
}

TEST_F(ApplicationWindowControllerTest, RoutesSwapTheDetailPaneOnlyWhenTheyChange) {
    auto& window = openWindow();
    pump();
    const Project project = makeProject(QStringLiteral("p1"));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    QWidget* projectPane = window.contentSplitItem();
    EXPECT_EQ(projectPane->objectName(), "ProjectView");
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationProject);

    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));
    EXPECT_EQ(window.contentSplitItem(), projectPane) << "the same project is not built again";

    window.applicationViewModel()->setRoute(ApplicationRoute::calendar());
    EXPECT_EQ(window.contentSplitItem()->objectName(), "CalendarView");
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p2"))));
    EXPECT_EQ(window.splitViewController()->count(), 2);
    EXPECT_EQ(window.toolbar()->objectName(), ToolbarIdentifier::applicationProject);
}

TEST_F(ApplicationWindowControllerTest, ARateLimitOfThisAccountShowsTheScreenUntilRetry) {
    auto& window = openWindow();
    pump();
    const Project project = makeProject(QStringLiteral("p2"));
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(project));

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{QUuid::createUuid(), 30});
    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited, QStringLiteral("junk"));
    EXPECT_NE(window.splitViewController(), nullptr) << "another account's limit changes nothing";

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{*account.id(), 30});
    EXPECT_EQ(window.splitViewController(), nullptr);
    EXPECT_EQ(window.toolbar(), nullptr);
    EXPECT_FALSE(window.previousRoute().has_value());

    auto* screen = window.centralWidget()->findChild<RateLimitView*>();
    ASSERT_NE(screen, nullptr);
    // The way back opens once the wait has been counted down.
    screen->bringMeBackButton()->click();
    pump();
    EXPECT_EQ(window.splitViewController(), nullptr);
    while (screen->delay() > 0) {
        screen->tick();
    }
    screen->bringMeBackButton()->click();
    pump();
    ASSERT_NE(window.splitViewController(), nullptr);
    EXPECT_EQ(window.contentSplitItem()->objectName(), "ProjectView")
        << "the project comes back, not the calendar";
    EXPECT_EQ(window.previousRoute(), ApplicationRoute::forProject(project));
}

TEST_F(ApplicationWindowControllerTest, ClosingPausesOrKeepsTheTimerAsTheUserSetIt) {
    settings.setStopTimeTrackingWhenClosed(true);
    auto& window = openWindow();
    startTimer(window);
    window.close();
    ASSERT_TRUE(savedTimer().has_value());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
    delegate.reset();

    settings.setStopTimeTrackingWhenClosed(false);
    launch();
    ApplicationWindowController* second = windows().applicationWindow();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->timerViewModel()->state(), TimerViewModel::State::paused)
        << "restored from the snapshot";
    second->timerViewModel()->resume();
    second->close();
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::active);
}

TEST_F(ApplicationWindowControllerTest, SwitchingAccountsUsesTheSwitchingSetting) {
    settings.setStopTimeTrackingWhenClosed(true);
    settings.setStopTimeTrackingWhenSwitching(false);
    auto& window = openWindow();
    const auto other = addAccount(QStringLiteral("Beta"));
    startTimer(window);
    windows().switchProvider(other, false);
    EXPECT_TRUE(window.hasClosed());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::active);

    settings.setStopTimeTrackingWhenSwitching(true);
    windows().switchProvider(account, false);
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(windows().applicationWindow()->timerViewModel()->state(), TimerViewModel::State::active);
    windows().switchProvider(other, false);
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
}

TEST_F(ApplicationWindowControllerTest, AnIdleTimerLeavesNoSnapshotBehind) {
    auto& window = openWindow();
    startTimer(window);
    window.timerViewModel()->reset();
    snapshots->save(TimerSnapshot{}, key());
    window.close();
    EXPECT_FALSE(snapshots->value(SnapshotKind::Timers, key()).has_value());
}

TEST_F(ApplicationWindowControllerTest, TheWindowReopensWhereItWasAndNeverSmallerThanItsMinimum) {
    auto& window = openWindow();
    window.setGeometry(QRect(40, 50, 1000, 700));
    window.close();
    delegate.reset();
    launch();
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(windows().applicationWindow()->size(), QSize(1000, 700));

    QSettings(dir.filePath(QStringLiteral("windows.conf")), QSettings::NativeFormat)
        .setValue(ApplicationWindowController::frameAutosaveName, QByteArray("garbage"));
    delegate.reset();
    launch();
    EXPECT_GE(windows().applicationWindow()->width(), 812);
    EXPECT_GE(windows().applicationWindow()->height(), 400);
}

TEST_F(ApplicationWindowControllerTest, AFirstStartOpensLargeEnoughForItsContentWithinTheScreen) {
    using W = ApplicationWindowController;
    EXPECT_EQ(W::firstStartSize(QRect(0, 0, 1440, 900)), QSize(1100, 720));
    const QSize small = W::firstStartSize(QRect(0, 0, 1024, 768));
    EXPECT_GE(small.width(), 900) << "room for the sidebar and a task list with its detail";
    EXPECT_LE(small.width(), 1024 - 40);
    EXPECT_GE(small.height(), 600);
    EXPECT_LE(small.height(), 768 - 60) << "the title bar and the bottom edge stay on screen";
    EXPECT_EQ(W::firstStartSize(QRect(0, 0, 800, 480)), QSize(812, 420)) << "never under the minimum width";

    // With nothing saved the window opens at that size on the screen it has.
    auto& window = openWindow();
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(window.size(), W::firstStartSize(available));
}

TEST_F(ApplicationWindowControllerTest, AProjectSuppliesTheToolbarAndItsSearchFieldSurvivesRebuilds) {
    service->tasks = makeIssues(3);
    settings.setShowUnresolvedTasksByDefault(false);
    settings.setShowMyTasksByDefault(false);
    auto& window = openWindow();
    pump();
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    pump();
    pump();
    ASSERT_NE(window.toolbar(), nullptr);
    QStringList items;
    for (QAction* action : window.toolbar()->actions()) {
        items << action->objectName();
    }
    EXPECT_TRUE(items.contains(ToolbarItemIdentifier::startTimeTracking)) << items.join(',').toStdString();
    EXPECT_EQ(window.windowTitle(), "Project p1 — 3 issues");

    auto* search = window.toolbar()->findChild<QLineEdit*>(ToolbarItemIdentifier::searchItem);
    ASSERT_NE(search, nullptr);
    search->setText(QStringLiteral("needle"));
    window.updateToolbar();
    window.updateToolbar();
    pump();
    EXPECT_TRUE(window.toolbar()->isAncestorOf(search));
    EXPECT_EQ(search->text(), "needle");
}

// Where no tray shows the running time, the title does; a view's own title replaces
// only the view's part of it.
TEST_F(ApplicationWindowControllerTest, TheRunningTimeStaysInTheTitleAcrossViewChanges) {
    auto& window = openWindow();
    pump();
    startTimer(window);
    pump();
    const QString running = QStringLiteral(" — ⏱ ");
    ASSERT_TRUE(window.windowTitle().contains(running)) << window.windowTitle().toStdString();
    const QString time = window.windowTitle().section(running, 1);

    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    pump();
    pump();
    EXPECT_TRUE(window.windowTitle().startsWith(QStringLiteral("Project p1")))
        << window.windowTitle().toStdString();
    EXPECT_TRUE(window.windowTitle().endsWith(running + time)) << window.windowTitle().toStdString();
    window.applicationViewModel()->setRoute(ApplicationRoute::calendar());
    pump();
    pump();
    EXPECT_TRUE(window.windowTitle().endsWith(running + time)) << window.windowTitle().toStdString();
    EXPECT_EQ(window.windowTitle().count(running), 1);

    window.timerViewModel()->reset();
    pump();
    EXPECT_FALSE(window.windowTitle().contains(running)) << window.windowTitle().toStdString();
}

TEST_F(ApplicationWindowControllerTest, TheSidebarsSwitcherSwitchesAfterTheTimerWasSettled) {
    settings.setStopTimeTrackingWhenSwitching(true);
    settings.setChangeDefaultAccountAutomatically(false);
    auto& window = openWindow();
    const auto other = addAccount(QStringLiteral("Beta"));
    pump();
    startTimer(window);

    auto* sidebar = window.findChild<SidebarView*>();
    ASSERT_NE(sidebar, nullptr);
    sidebar->toggleProviderSelector();
    auto* sheet = window.findChild<ProviderSelectorView*>();
    ASSERT_NE(sheet, nullptr);
    ASSERT_EQ(sheet->rows().size(), 2u);
    // Rows in order of name: Alpha, Beta.
    sheet->rows()[1]->click();
    pump();

    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(providerName(windows().applicationWindow()->provider()), QStringLiteral("Beta"));
    // The old window's timer was paused and saved before the new content was made.
    ASSERT_TRUE(savedTimer().has_value());
    EXPECT_EQ(savedTimer()->state, TimerViewModel::State::paused);
    EXPECT_EQ(settings.defaultAccount(), uuidText(*account.id())) << "the default follows only when allowed";
    Q_UNUSED(other);
}

// A rate limit met by a read in the background while the user types a booking: the
// sheet and its text stay, and the screen comes once the sheet has closed, with what
// is left of the wait.
TEST_F(ApplicationWindowControllerTest, ARateLimitWaitsForTheOpenBookingSheet) {
    auto& window = openWindow();
    window.show();
    pump();
    ScriptedWorkLogForm form(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")), 0);
    QPointer<BookTimeView> sheet = new BookTimeView(form, *window.timerViewModel(), &window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
    pump();
    form.editor->setPlainText(QStringLiteral("Half a day of review"));
    sheet->durationField()->setText(QStringLiteral("2h"));

    NotificationCenter::defaultCenter().post(NotificationName::providerRateLimited,
                                             RateLimitInfo{*account.id(), 30});
    pump();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(form.editor->toPlainText(), QStringLiteral("Half a day of review"));
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("2h"));
    EXPECT_NE(window.splitViewController(), nullptr) << "the content stays while the sheet is open";

    sheet->cancel();
    ASSERT_TRUE(waitUntil([&] { return window.splitViewController() == nullptr; }, 2000));
    auto* screen = window.centralWidget()->findChild<RateLimitView*>();
    ASSERT_NE(screen, nullptr);
    EXPECT_GT(screen->delay(), 0);
    EXPECT_LE(screen->delay(), 30);
}

// A booking an earlier run sent and never saw answered, with an entry in the tracker that
// may be it: the window asks, keeping the time until the user says it was saved.
TEST_F(ApplicationWindowControllerTest, ABookingThatMayHaveBeenSavedIsAskedAboutAsTheWindowOpens) {
    account = addAccount(QStringLiteral("Alpha"));
    const QDateTime sent = QDateTime::currentDateTime().addSecs(-600);
    WorkLogBooking booking{QStringLiteral("7"), sent, 1800, QString()};
    booking.dating = WorkLogBooking::Dating::day;
    booking.sent = sent;
    TimerSnapshot timer{makeProject(QStringLiteral("p1")),
                        makeIssue(QStringLiteral("7")),
                        TimerViewModel::State::paused,
                        1800,
                        std::nullopt,
                        booking};
    snapshots->save(timer, key());
    // The same minutes that day; the tracker does not say when it was made.
    WorkEntry entry;
    entry.id = QStringLiteral("w9");
    entry.issue = makeIssue(QStringLiteral("7"));
    entry.spentTimeSeconds = 1800;
    entry.started = QDateTime(sent.toUTC().date(), QTime(0, 0), QTimeZone::utc());
    service->workEntries.answer({entry});
    launch();
    auto* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);
    QMessageBox* question = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        question = window->findChild<QMessageBox*>();
        return question != nullptr;
    }));
    EXPECT_TRUE(question->text().startsWith(QStringLiteral("A 30m work log on KEY-7 ")))
        << question->text().toStdString();
    EXPECT_DOUBLE_EQ(window->timerViewModel()->elapsed(), 1800);
    ASSERT_NE(question->defaultButton(), nullptr);
    EXPECT_EQ(question->defaultButton()->text(), QStringLiteral("Keep the Time"));
    for (QAbstractButton* button : question->buttons()) {
        if (button->text() == QStringLiteral("It Was Saved")) {
            button->click();
        }
    }
    EXPECT_FALSE(window->timerViewModel()->isInUse());
}

// The alert after an unanswered booking names the task by what the tracker sent, as
// text on one line.
TEST_F(ApplicationWindowControllerTest, TheBookingNotConfirmedAlertShowsTheTasksNameAsText) {
    auto& window = openWindow();
    pump();
    Issue task = makeIssue(QStringLiteral("7"));
    task.reference.reset();
    task.name = markupName + QStringLiteral("\nagain");
    window.timerViewModel()->start(makeProject(QStringLiteral("p1")), task);
    WorkLogBooking booking;
    booking.taskId = task.id;
    booking.seconds = 5400;
    auto* recovery = window.findChild<BookingRecovery*>();
    ASSERT_NE(recovery, nullptr);
    emit recovery->bookingMayNotHaveBeenSaved(booking);
    QMessageBox* alert = window.findChild<QMessageBox*>();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(richLabels(*alert), QStringList());
    EXPECT_TRUE(
        showsLiterally(*alert, QStringLiteral("1h 30m on ") + markupName + QStringLiteral(" again was on")))
        << shownTexts(*alert).join(u'|').toStdString();
    alert->close();
    window.timerViewModel()->reset();
}
