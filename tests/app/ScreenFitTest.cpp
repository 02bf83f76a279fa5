#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "app/WindowManager.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingStatusView.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/SidebarSplitViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/TimerBlockView.h"
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

    // A project's tasks in the pane beside it fit too.
    window.applicationViewModel()->setRoute(ApplicationRoute::forProject(makeProject(QStringLiteral("p1"))));
    drainEvents();
    expectWindowOnScreen(&window, "main window with a project");
    expectWhole(sidebar->timerBlock(), "the time beside a project");
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
        if (scroll) {
            scroll->ensureWidgetVisible(button);
            drainEvents();
        }
        EXPECT_TRUE(globalRect(welcome).contains(globalRect(button))) << "a tracker's button out of reach";
    }
}
