#include "views/main/SidebarView.h"

#include "state/ApplicationViewModel.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/trackers/jira/JiraFixture.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "views/main/BookTimeView.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using namespace velmora;
using namespace velmora::test;

namespace {

// The sidebar, its booking sheet and a Jira form booking against the fake Jira.
class SidebarBookingTest : public JiraFixture {
protected:
    SidebarBookingTest()
        : viewModel(account, service(), env.environment()),
          timer(QStringLiteral("ACCOUNT"), env.environment()) {
        addProject();
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Crash on start")});
        m_saved = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::timeEntrySaved), [this](const Notification& notification) {
                if (const auto* project = notification.objectAs<Project>()) {
                    saved.push_back(*project);
                }
            });
        view = std::make_unique<SidebarView>(viewModel, timer, account.id(), store);
        view->show();
    }
    ~SidebarBookingTest() override {
        view.reset();
        drainEvents();
    }

    // Tracks 1 h 30 min on the task and stops the timer; waits for the sheet.
    BookTimeView* stopTimer() {
        timer.start(project, task);
        env.clock->advance(5400 * 1000);
        timer.cancel();
        EXPECT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
        return view->bookingSheet();
    }

    QPlainTextEdit* descriptionEditor(BookTimeView* sheet) {
        return sheet->additionalFields()->findChild<QPlainTextEdit*>();
    }

    StateTestEnvironment env;
    ApplicationViewModel viewModel;
    TimerViewModel timer;
    Project project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
    Issue task{QStringLiteral("10001"),
               QStringLiteral("PRJ-1"),
               QStringLiteral("Crash on start"),
               {},
               {},
               {},
               {},
               {}};
    std::unique_ptr<SidebarView> view;
    std::vector<Project> saved;

private:
    Cancellable m_saved;
};

} // namespace

TEST_F(SidebarBookingTest, StoppingTheTimerBooksOnceThroughTheSheet) {
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    ASSERT_NE(dynamic_cast<JiraWorkLogForm*>(view->workLogForm()), nullptr);
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_TRUE(sheet->isModal());
    auto* editor = descriptionEditor(sheet);
    ASSERT_NE(editor, nullptr);
    editor->setPlainText(QStringLiteral("Found the cause"));

    QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
    QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !saved.empty(); }));
    drainEvents();

    ASSERT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(jira.workLogs().front().seconds, 5400);
    EXPECT_EQ(jira.workLogs().front().issueId, QStringLiteral("10001"));
    ASSERT_TRUE(jira.workLogs().front().comment.has_value());
    EXPECT_TRUE(jira.workLogs().front().comment->contains(QStringLiteral("Found the cause")));
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.front(), project);
    EXPECT_EQ(view->bookingSheet(), nullptr);
    EXPECT_EQ(view->workLogForm(), nullptr);
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
}

TEST_F(SidebarBookingTest, AFailedBookingKeepsTheSheetAndWhatWasTyped) {
    jira.interceptOnce("POST", QStringLiteral("/worklog"), FakeResponse::json("{}", 500));
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    descriptionEditor(sheet)->setPlainText(QStringLiteral("Half done"));
    sheet->save();
    ASSERT_TRUE(waitUntil([&] { return sheet->alert() != nullptr; }));

    EXPECT_EQ(view->bookingSheet(), sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_EQ(descriptionEditor(sheet)->toPlainText(), QStringLiteral("Half done"));
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);

    sheet->alert()->button(QMessageBox::Ok)->click();
    sheet->save();
    ASSERT_TRUE(waitUntil([&] { return !saved.empty(); }));
    ASSERT_EQ(jira.workLogs().size(), 1u);
    EXPECT_TRUE(jira.workLogs().front().comment->contains(QStringLiteral("Half done")));
}

TEST_F(SidebarBookingTest, AManualWorkLogOpensForTheShownProjectWithNoTime) {
    viewModel.setRoute(ApplicationRoute::forProject(project));
    NotificationCenter::defaultCenter().post(QString(NotificationName::addManualWorkLog), task);
    ASSERT_NE(view->bookingSheet(), nullptr);
    EXPECT_EQ(view->workLogForm()->duration(), 0);
    EXPECT_EQ(view->workLogForm()->task(), task);
    EXPECT_EQ(view->bookingSheet()->durationField()->text(), QString());
    EXPECT_FALSE(view->bookingSheet()->saveButton()->isEnabled());

    view->bookingSheet()->cancel();
    drainEvents();
    EXPECT_EQ(view->bookingSheet(), nullptr);
    EXPECT_TRUE(jira.workLogs().empty());
}

TEST_F(SidebarBookingTest, ABookingSentBeforeCancelStillEndsAndOnlyAnnouncesItself) {
    jira.setLatency(200);
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    sheet->save();
    sheet->cancel();
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    timer.start(project, task);

    ASSERT_TRUE(waitUntil([&] { return !saved.empty(); }));
    EXPECT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
}
