#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "platform/net/SessionConfiguration.h"
#include "state/ProjectViewModel.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeYouTrackServer.h"
#include "views/main/BookTimeView.h"
#include "views/main/CalendarDayView.h"
#include "views/main/CalendarEntryModel.h"
#include "views/main/CalendarViewController.h"
#include "views/main/NavigationLinkButton.h"
#include "views/main/ProjectListModel.h"
#include "views/main/ProjectViewController.h"
#include "views/main/SidebarView.h"
#include "views/main/ToolbarItemIdentifier.h"
#include "views/settings/WelcomeView.h"
#include "views/settings/YouTrackProviderView.h"

#include <QAction>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolBar>

using namespace velmora;
using namespace velmora::test;

namespace {

// The whole app from a first start to a booked and deleted entry, on the real YouTrack
// connector against the fake YouTrack server; the user's clicks are sent to the widgets.
class YouTrackEndToEndTest : public ShellFixture {
protected:
    YouTrackEndToEndTest() {
        CredentialsManager::setSharedKeyring(keyring);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        settings.setShowUnresolvedTasksByDefault(false);
        settings.setShowMyTasksByDefault(false);
        youTrack.setMe(
            {QStringLiteral("1-1"), QStringLiteral("jane"), QStringLiteral("Jane Roe"), QString()});
        youTrack.addProject({QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application")});
        youTrack.addIssue({QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("0-1"),
                           QStringLiteral("Crash on start")});
        youTrack.setNow(QDateTime::currentMSecsSinceEpoch());
    }
    ~YouTrackEndToEndTest() override { CredentialsManager::setSharedKeyring(nullptr); }

    ShellEnvironment realServices() {
        ShellEnvironment env = environment();
        env.makeService = {};
        return env;
    }

    template <typename T> T* detail() {
        ApplicationWindowController* window = windows().applicationWindow();
        return window ? qobject_cast<T*>(window->contentSplitItem()) : nullptr;
    }
    SidebarView* sidebar() {
        ApplicationWindowController* window = windows().applicationWindow();
        return window ? window->findChild<SidebarView*>() : nullptr;
    }
    QAction* toolbarItem(const QString& identifier) {
        QToolBar* toolbar = windows().applicationWindow()->toolbar();
        return toolbar ? toolbar->findChild<QAction*>(identifier) : nullptr;
    }

    FakeYouTrackServer youTrack;
};

void type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClicks(edit, text);
    QMetaObject::invokeMethod(edit, "editingFinished");
}

void clickRow(QListView* list, int row) {
    const QRect rect = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

TEST_F(YouTrackEndToEndTest, FromAFirstStartToABookedEntryInTheCalendarAndBackOut) {
    delegate = std::make_unique<AppDelegate>(realServices());
    delegate->applicationDidFinishLaunching();

    // First start: no accounts, so the welcome window leads to a YouTrack account.
    WelcomeWindowController* welcomeWindow = windows().welcomeWindow();
    ASSERT_TRUE(welcomeWindow->isVisible());
    auto* welcome = qobject_cast<WelcomeView*>(welcomeWindow->content());
    ASSERT_NE(welcome, nullptr);
    QTest::mouseClick(welcome->trackerButton(IntroRoute::youTrackSetup), Qt::LeftButton);
    auto* form = qobject_cast<YouTrackProviderView*>(welcome->setupView());
    ASSERT_NE(form, nullptr);
    type(form->nameField(), QStringLiteral("Work"));
    type(form->baseUrlField(), QStringLiteral("https://") + youTrack.baseUrl());
    type(form->tokenField(), youTrack.token());
    drainEvents();
    ASSERT_TRUE(form->mainButton()->isEnabled());
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return windows().applicationWindow() != nullptr; }, 10000));
    EXPECT_FALSE(welcomeWindow->isVisible());

    // The main window: the project from the tracker in the sidebar; opening it lists its task.
    ASSERT_TRUE(waitUntil([&] { return sidebar() && sidebar()->projectModel()->rowCount() == 1; }, 10000));
    clickRow(sidebar()->projectList(), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            auto* project = detail<ProjectViewController>();
            return project && project->currentView() == ProjectViewController::ViewState::tasks &&
                   project->viewModel().task().has_value();
        },
        10000));
    EXPECT_EQ(detail<ProjectViewController>()->viewModel().task()->reference, "APP-1");

    // Start tracking, set the tracked time to 25 minutes (what the time field does), stop.
    ASSERT_NE(toolbarItem(ToolbarItemIdentifier::startTimeTracking), nullptr);
    toolbarItem(ToolbarItemIdentifier::startTimeTracking)->trigger();
    TimerViewModel* timer = windows().applicationWindow()->timerViewModel();
    ASSERT_EQ(timer->state(), TimerViewModel::State::active);
    timer->setDuration(25 * 60);
    ASSERT_TRUE(waitUntil([&] { return toolbarItem(ToolbarItemIdentifier::cancelTimeTracking) != nullptr; }));
    toolbarItem(ToolbarItemIdentifier::cancelTimeTracking)->trigger();

    // The booking sheet opens with the tracked time; saving books it into YouTrack.
    ASSERT_TRUE(waitUntil([&] { return sidebar()->bookingSheet() != nullptr; }));
    BookTimeView* sheet = sidebar()->bookingSheet();
    ASSERT_TRUE(waitUntil([&] { return sheet->saveButton()->isEnabled(); }));
    QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return youTrack.workItems().size() == 1; }, 10000));
    EXPECT_EQ(youTrack.workItems().front().minutes, 25);
    EXPECT_EQ(youTrack.workItems().front().issueId, "2-1");
    EXPECT_TRUE(waitUntil([&] { return timer->state() == TimerViewModel::State::cancelled; }));

    // The calendar shows the entry on today's column; deleting it after the
    // confirmation removes it from the tracker and from the column.
    QTest::mouseClick(sidebar()->calendarButton(), Qt::LeftButton);
    CalendarDayView* today = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto* calendar = detail<CalendarViewController>();
            if (!calendar) {
                return false;
            }
            for (auto* day : calendar->findChildren<CalendarDayView*>()) {
                if (day->isToday() && day->entryList()->model() &&
                    day->entryList()->model()->rowCount() == 1) {
                    today = day;
                }
            }
            return today != nullptr;
        },
        10000));
    auto* entries = qobject_cast<CalendarEntryModel*>(today->entryList()->model());
    ASSERT_NE(entries, nullptr);
    today->requestDelete(entries->entry(0));
    ASSERT_NE(today->confirmation(), nullptr);
    today->confirmDelete();
    ASSERT_TRUE(waitUntil([&] { return youTrack.workItems().empty(); }, 10000));
    EXPECT_TRUE(waitUntil(
        [&] {
            for (auto* day : detail<CalendarViewController>()->findChildren<CalendarDayView*>()) {
                if (day->isToday()) {
                    return day->entryList()->model() && day->entryList()->model()->rowCount() == 0;
                }
            }
            return false;
        },
        10000));
}
