#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "app/WindowManager.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/ProjectViewModel.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingStatusView.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/SidebarSplitViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/TimerBlockView.h"
#include "views/main/ProjectSplitViewController.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/SettingsWindowController.h"
#include "views/settings/WelcomeView.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>

#include <cstdlib>

using namespace velmora;
using namespace velmora::test;

// Every window and sheet on a small screen at scale 2: the ctest entries of this file run it
// on an offscreen screen of 1366 by 768 and of 1280 by 720 pixels with QT_SCALE_FACTOR=2,
// which the windows see as 683 by 384 and 640 by 360.
namespace {

class ScreenFitTest : public ShellFixture {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIntValue("VELMORA_SMALL_SCREEN") == 0) {
            GTEST_SKIP() << "run on the small screens by its own ctest entries";
        }
        available = QGuiApplication::primaryScreen()->availableGeometry();
        // The screen asked for, so that a platform that ignored it cannot pass the test.
        ASSERT_LE(available.width(), 683);
        ASSERT_LE(available.height(), 384);
        ASSERT_DOUBLE_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    }

    static QRect globalRect(const QWidget* widget) {
        return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    }
    // Shown whole: on the screen, within its window, and not squeezed below what its content needs.
    void expectWhole(const QWidget* widget, const char* what) {
        EXPECT_TRUE(widget->isVisible()) << what;
        EXPECT_TRUE(available.contains(globalRect(widget))) << what;
        EXPECT_TRUE(globalRect(widget->window()).contains(globalRect(widget))) << what;
        EXPECT_GE(widget->height(), widget->minimumSizeHint().height()) << what;
    }
    void expectWindowOnScreen(const QWidget* window, const char* what) {
        const QRect frame = window->frameGeometry();
        EXPECT_TRUE(available.contains(frame))
            << what << ": " << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height()
            << " on " << available.width() << "x" << available.height();
        // A layout given less than its content's least size overlaps or cuts what it lays out.
        const QSize least = window->minimumSizeHint();
        EXPECT_LE(least.width(), window->width()) << what;
        EXPECT_LE(least.height(), window->height()) << what;
    }

    // Shown in the scrolled view without a scroll by hand: whole, or its top lines where it is
    // taller than the view.
    void expectInView(const QScrollArea* scroll, const QWidget* widget, const char* what) {
        const QRect view = globalRect(scroll->viewport());
        const QRect shown = globalRect(widget);
        EXPECT_TRUE(widget->isVisible()) << what;
        EXPECT_TRUE(shown.height() <= view.height() ? view.contains(shown)
                                                     : view.contains(shown.topLeft()) &&
                                                           view.contains(shown.topRight() - QPoint(1, 0)))
            << what << ": " << shown.y() << "+" << shown.height() << " in " << view.y() << "+" << view.height();
    }

    // The main window with a booking on hold in its strip, whose words take several lines.
    ApplicationWindowController& windowWithStrip() {
        account = addAccount(QStringLiteral("Alpha"));
        storeUnansweredBooking(uuidText(*account.id()), 1800);
        launch();
        ApplicationWindowController* window = windows().applicationWindow();
        EXPECT_NE(window, nullptr);
        window->show();
        EXPECT_TRUE(waitUntil([&] { return window->statusBar()->isVisible(); }));
        drainEvents();
        return *window;
    }

    QRect available;
    YouTrackProvider account;
};

} // namespace

TEST_F(ScreenFitTest, TheMainWindowWithTheStripKeepsTheProjectsAndTheTime) {
    ApplicationWindowController& window = windowWithStrip();
    expectWindowOnScreen(&window, "main window");
    auto* split = window.splitViewController();
    ASSERT_NE(split, nullptr);
    auto* sidebar = qobject_cast<SidebarView*>(split->sidebarView());
    ASSERT_NE(sidebar, nullptr);

    // "Calendar", "Projects" and the list are apart, and the list shows rows to choose from.
    expectWhole(sidebar->calendarButton(), "Calendar");
    QLabel* projectsHeader = nullptr;
    for (QLabel* label : sidebar->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("Projects")) {
            projectsHeader = label;
        }
    }
    ASSERT_NE(projectsHeader, nullptr);
    expectWhole(projectsHeader, "Projects");
    EXPECT_FALSE(globalRect(sidebar->calendarButton()).intersects(globalRect(projectsHeader)));
    QListView* list = sidebar->projectList();
    ASSERT_TRUE(waitUntil([&] { return list->isVisible() && list->model()->rowCount() == 2; }));
    EXPECT_GE(list->viewport()->height(), 2 * list->sizeHintForRow(0)) << "both projects show";
    EXPECT_GE(globalRect(list).top(), globalRect(projectsHeader).bottom());
    // The time, whole and under the list.
    expectWhole(sidebar->timerBlock(), "the time");
    EXPECT_GE(globalRect(sidebar->timerBlock()).top(), globalRect(list).bottom());

    // The strip says what it has to say, scrolled where it is longer than its room.
    auto* strip = qobject_cast<BookingStatusView*>(window.bookingStatus());
    ASSERT_NE(strip, nullptr);
    EXPECT_TRUE(available.contains(globalRect(window.statusBar())));
    auto* scroll = qobject_cast<QScrollArea*>(strip->parentWidget()->parentWidget());
    if (strip->height() > window.statusBar()->height()) {
        ASSERT_NE(scroll, nullptr) << "a strip taller than its room scrolls";
        EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    }
    // Its headline and its buttons show as it is, and within the screen.
    ASSERT_NE(scroll, nullptr);
    auto* headline = strip->findChild<QLabel*>(QStringLiteral("BookingStatusHeadline"));
    ASSERT_NE(headline, nullptr);
    expectInView(scroll, headline, "the strip's headline");
    for (const QPushButton* button : strip->findChildren<QPushButton*>()) {
        if (button->isVisibleTo(strip)) {
            expectInView(scroll, button, button->text().toStdString().c_str());
            EXPECT_TRUE(available.contains(globalRect(button))) << button->text().toStdString();
        }
    }

    // A project's tasks in the pane beside it fit too.
    service->tasks = {makeIssue(QStringLiteral("7")), makeIssue(QStringLiteral("8"))};
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    drainEvents();
    expectWindowOnScreen(&window, "main window with a project");
    expectWhole(sidebar->timerBlock(), "the time beside a project");

    // A task chosen: its detail beside the list, neither over the other, the detail whole.
    ProjectSplitViewController* tasks = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (tasks = window.findChild<ProjectSplitViewController*>()) != nullptr; }));
    auto* project = window.findChild<ProjectViewModel*>();
    ASSERT_NE(project, nullptr);
    project->setTask(makeIssue(QStringLiteral("7")));
    ASSERT_TRUE(waitUntil([&] { return tasks->detailView() && tasks->detailView()->isVisible(); }));
    drainEvents();
    const QRect rows = globalRect(tasks->widget(0));
    const QRect detail = globalRect(tasks->detailView());
    EXPECT_FALSE(rows.intersects(detail)) << "the list to " << rows.right() << ", the detail from " << detail.left();
    EXPECT_TRUE(globalRect(&window).contains(detail)) << "the detail cut at the window's edge";
    EXPECT_TRUE(available.contains(detail));
    for (const QLabel* value : {tasks->detailView()->assigneeValue(), tasks->detailView()->nameLabel()}) {
        EXPECT_GE(value->width(), value->minimumSizeHint().width()) << value->text().toStdString();
    }
}

TEST_F(ScreenFitTest, SheetsScrollTheirBodyAndKeepTheirButtonsOnScreen) {
    ApplicationWindowController& window = windowWithStrip();
    ScriptedWorkLogForm form(makeProject(QStringLiteral("p1")), makeIssue(QStringLiteral("7")), 5400);

    // The sheet of a switch that books only part of the time: it says the other task won't start.
    auto* sheet = new BookTimeView(form, *window.timerViewModel(), &window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
    drainEvents();
    sheet->pendingStartLabel()->setText(
        QStringLiteral("KEY-8 Review the release notes won't start: the 1h 30m not booked here stays on the "
                       "timer of KEY-7 Fix the login page that fails for accounts with long names."));
    sheet->pendingStartLabel()->show();
    form.editor->setPlainText(QStringLiteral("Half a day of review"));
    drainEvents();
    expectWindowOnScreen(sheet, "switch sheet");
    expectWhole(sheet->saveButton(), "Save");
    expectWhole(sheet->cancelButton(), "Cancel");
    // The body scrolls to its last line, the buttons staying where they are.
    auto* body = qobject_cast<QScrollArea*>(sheet->findChild<QScrollArea*>(QStringLiteral("SheetBody")));
    ASSERT_NE(body, nullptr);
    const QRect save = globalRect(sheet->saveButton());
    expectInView(body, sheet->pendingStartLabel(), "what starts next, as it appears");
    body->ensureWidgetVisible(sheet->pendingStartLabel());
    drainEvents();
    EXPECT_TRUE(globalRect(body->viewport()).contains(globalRect(sheet->pendingStartLabel()).center()));
    EXPECT_EQ(globalRect(sheet->saveButton()), save);

    // The same sheet once its booking is on hold: it says so, with Close.
    sheet->durationField()->setText(QStringLiteral("1h 30m"));
    sheet->save();
    for (int round = 0; round < 3; ++round) {
        drainEvents();
        delegate->bookingRecords().settle();
    }
    form.bookings.fail(APIError::failure(APIError::Cause::TimedOut));
    ASSERT_TRUE(waitUntil([&] { return sheet->stateLabel()->isVisibleTo(sheet); }));
    if (sheet->alert()) {
        sheet->alert()->close();
    }
    drainEvents();
    expectWindowOnScreen(sheet, "hold sheet");
    expectWhole(sheet->cancelButton(), "Close");
    EXPECT_EQ(sheet->cancelButton()->text(), QStringLiteral("Close"));
    expectInView(body, sheet->stateLabel(), "the answer, as it appears");
    body->ensureWidgetVisible(sheet->stateLabel());
    drainEvents();
    EXPECT_TRUE(globalRect(body->viewport()).intersects(globalRect(sheet->stateLabel())));
    sheet->reject();
}

TEST_F(ScreenFitTest, TheSettingsWindowFitsOnEveryPage) {
    addAccount(QStringLiteral("Alpha"));
    launch();
    windows().showSettings();
    SettingsWindowController* window = windows().settingsWindow();
    ASSERT_NE(window, nullptr);
    for (const auto page :
         {SettingsPage::Name::general, SettingsPage::Name::timeTracking, SettingsPage::Name::accounts}) {
        window->splitViewController()->viewModel().setRoute(page);
        drainEvents();
        const std::string name = SettingsPage::rawValue(page).toStdString();
        expectWindowOnScreen(window, name.c_str());
        QWidget* detail = window->splitViewController()->detail();
        ASSERT_NE(detail, nullptr);
        EXPECT_TRUE(globalRect(window).contains(globalRect(detail))) << name;
        EXPECT_GE(detail->width(), detail->minimumSizeHint().width()) << name << ": nothing cut at its side";
        for (const QScrollArea* scroll : detail->findChildren<QScrollArea*>()) {
            EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << name << ": its rows fit its width";
        }
    }
}

TEST_F(ScreenFitTest, TheWelcomeWindowFitsAndEveryTrackerCanBeChosen) {
    launch();
    WelcomeWindowController* welcome = windows().welcomeWindow();
    ASSERT_TRUE(welcome->isVisible());
    drainEvents();
    expectWindowOnScreen(welcome, "welcome window");
    auto* view = qobject_cast<WelcomeView*>(welcome->content());
    ASSERT_NE(view, nullptr);
    auto* scroll = welcome->findChild<QScrollArea*>();
    for (const auto route : {IntroRoute::youTrackSetup, IntroRoute::jiraSetup, IntroRoute::asanaSetup}) {
        QPushButton* button = view->trackerButton(route);
        ASSERT_NE(button, nullptr);
        EXPECT_TRUE(globalRect(scroll ? scroll->viewport() : welcome).contains(globalRect(button)))
            << "a tracker's button below the fold";
        if (scroll) {
            scroll->ensureWidgetVisible(button);
            drainEvents();
        }
        EXPECT_TRUE(globalRect(welcome).contains(globalRect(button))) << "a tracker's button out of reach";
    }
}

// The welcome window telling of time kept from a deleted account, and its account form showing
// the address no browser could be opened at: every tracker and every button in view.
TEST_F(ScreenFitTest, TheWelcomeWindowsNoteAndTheUnopenedAddressLeaveEveryButtonInView) {
    BookingRecord kept;
    kept.id = QUuid::createUuid();
    kept.tracker = QStringLiteral("YouTrack");
    kept.task = makeIssue(QStringLiteral("8"));
    kept.booking = WorkLogBooking{QStringLiteral("8"), QDateTime::currentDateTime(), 1800, QString()};
    kept.state = BookingRecord::State::returned;
    snapshots->save(SnapshotKind::Bookings, kept.id.toString(QUuid::WithoutBraces), kept.toSnapshot());
    launch();
    WelcomeWindowController* welcome = windows().welcomeWindow();
    ASSERT_TRUE(waitUntil([&] { return welcome->keptTimeNote()->isVisible(); }));
    drainEvents();
    expectWindowOnScreen(welcome, "welcome window with its note");
    auto* view = qobject_cast<WelcomeView*>(welcome->content());
    ASSERT_NE(view, nullptr);
    for (const auto route : {IntroRoute::youTrackSetup, IntroRoute::jiraSetup, IntroRoute::asanaSetup}) {
        EXPECT_TRUE(globalRect(welcome).contains(globalRect(view->trackerButton(route))))
            << "a tracker's button below the fold";
    }

    view->trackerButton(IntroRoute::jiraSetup)->click();
    ProviderSetupView* form = view->setupView();
    ASSERT_NE(form, nullptr);
    form->viewModel().setBrowserOpener([](const QUrl&) { return false; });
    form->nameField()->setText(QStringLiteral("Work"));
    form->viewModel().name().setValue(QStringLiteral("Work"));
    drainEvents();
    form->mainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return form->unopenedAddressBox()->isVisible(); }));
    drainEvents();
    expectWindowOnScreen(welcome, "welcome window with the address");
    for (const QWidget* button : {static_cast<QWidget*>(form->mainButton()), static_cast<QWidget*>(form->cancelButton()),
                                  static_cast<QWidget*>(form->copyAddressButton())}) {
        expectWhole(button, button->objectName().toStdString().c_str());
    }
}
