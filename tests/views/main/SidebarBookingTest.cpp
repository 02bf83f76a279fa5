#include "views/main/SidebarView.h"

#include "state/ApplicationViewModel.h"
#include "state/BookingRecovery.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/TestData.h"
#include "tests/trackers/jira/JiraFixture.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingStatusView.h"
#include "views/main/BookingTexts.h"
#include "views/main/ReadableAlert.h"
#include "views/main/TimeEditFieldView.h"
#include "views/main/TimerBlockView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

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

    // Save, once the read of what was there has ended (a booking still waiting for it would go
    // with the sheet), and wait until the booking is on its way.
    [[nodiscard]] bool saveUntilTheBookingLeaves(BookTimeView* sheet) {
        if (!waitUntil([&] { return !jira.http().requestsTo(QStringLiteral("/worklog"), "GET").isEmpty(); })) {
            return false;
        }
        drainEvents();
        sheet->save();
        return waitUntil([&] { return !jira.http().requestsTo(QStringLiteral("/worklog"), "POST").isEmpty(); });
    }

    // PRJ-2, a second task of the project, in the tracker too.
    Issue addOtherTask() {
        jira.addIssue({QStringLiteral("10002"), QStringLiteral("PRJ-2"), QStringLiteral("10000"),
                       QStringLiteral("Slow search")});
        Issue other = task;
        other.id = QStringLiteral("10002");
        other.reference = QStringLiteral("PRJ-2");
        other.name = QStringLiteral("Slow search");
        return other;
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

// ■ takes no focus, so the time field would end its edit only once the sheet took the
// focus, after the sheet had read the timer.
TEST_F(SidebarBookingTest, ATimeTypedWithoutReturnIsWhatTheStopBooks) {
    timer.start(project, task);
    env.clock->advance(600 * 1000);
    TimerBlockView* block = view->timerBlock();
    TimeEditFieldView* field = block->timeField();
    QTest::mouseClick(field->elapsedLabel(), Qt::LeftButton);
    ASSERT_TRUE(field->isEditing());
    field->textField()->selectAll();
    QTest::keyClicks(field->textField(), QStringLiteral("2:15"));

    QTest::mouseClick(block->stopButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    EXPECT_EQ(view->bookingSheet()->durationField()->text(), QStringLiteral("2h 15m"));
    EXPECT_TRUE(view->bookingSheet()->saveButton()->isEnabled());
    EXPECT_FALSE(field->isEditing());
    EXPECT_EQ(timer.elapsed(), 8100);
}

TEST_F(SidebarBookingTest, AFailedBookingKeepsTheSheetAndWhatWasTyped) {
    // Turned down: nothing was stored, so it can be booked again.
    jira.interceptOnce("POST", QStringLiteral("/worklog"), FakeResponse::json("{}", 400));
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
    // Save books again once the refusal is on the booking's record.
    ASSERT_TRUE(waitUntil([&] { return sheet->saveButton()->isEnabled(); }));
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
    jira.setLatency(200, "POST");
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(saveUntilTheBookingLeaves(sheet));
    // The time is the booking's now: Cancel only closes the sheet.
    sheet->cancel();
    EXPECT_EQ(sheet->discardQuestion(), nullptr);
    EXPECT_FALSE(timer.isInUse());

    ASSERT_TRUE(waitUntil([&] { return !saved.empty(); }));
    drainEvents();
    EXPECT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled) << "booked, so it leaves the timer";
    EXPECT_EQ(view->lateBookingFailureAlert(), nullptr);
}

TEST_F(SidebarBookingTest, ABookingThatFailsAfterCancelIsReportedAndKeepsTheTime) {
    jira.setLatency(200, "POST");
    jira.interceptOnce("POST", QStringLiteral("/worklog"), FakeResponse::json("{}", 400).withDelay(200));
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(saveUntilTheBookingLeaves(sheet));
    sheet->cancel();
    EXPECT_EQ(sheet->discardQuestion(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr; }));

    ASSERT_TRUE(waitUntil([&] { return view->lateBookingFailureAlert() != nullptr; }));
    QMessageBox* alert = view->lateBookingFailureAlert();
    EXPECT_EQ(alert->text(), QStringLiteral("The work log could not be saved."));
    EXPECT_EQ(alert->informativeText(),
              QStringLiteral("The time is back on the timer, so it can be booked again."));
    // Read as the app's other alerts are: titled by what happened, wide enough for its
    // lines, and a button of text alone.
    drainEvents();
    EXPECT_EQ(alert->windowTitle(), alert->text());
    EXPECT_GE(alert->width(), ReadableAlert::minimumTextWidth(*alert));
    for (QAbstractButton* button : alert->buttons()) {
        EXPECT_TRUE(button->icon().isNull()) << button->text().toStdString();
    }
    EXPECT_TRUE(jira.workLogs().empty());
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_EQ(timer.task(), task);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 5400);
}

// Refused after the timer went on to another task, the time waits in the main window; the alert
// says so in words that stay true once the timer is idle too.
TEST_F(SidebarBookingTest, ABookingRefusedAfterTheTimerMovedOnSaysWhereTheTimeWaits) {
    const Issue other = addOtherTask();
    jira.setLatency(200, "POST");
    jira.interceptOnce("POST", QStringLiteral("/worklog"), FakeResponse::json("{}", 400).withDelay(600));
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(saveUntilTheBookingLeaves(sheet));
    sheet->cancel();
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr; }));
    timer.start(project, other);

    ASSERT_TRUE(waitUntil([&] { return view->lateBookingFailureAlert() != nullptr; }));
    QMessageBox* alert = view->lateBookingFailureAlert();
    EXPECT_EQ(timer.task(), other);
    timer.reset();
    drainEvents();
    ASSERT_FALSE(timer.isInUse());
    const QString said = alert->informativeText();
    EXPECT_TRUE(said.contains(QStringLiteral("main window"))) << said.toStdString();
    EXPECT_FALSE(said.contains(QStringLiteral("tracks another task now")))
        << "the timer is idle: " << said.toStdString();
}

TEST_F(SidebarBookingTest, StartingAnotherTaskBooksTheTrackedTimeOnItsOwnTaskFirst) {
    const Issue other = addOtherTask();

    // Two hours on PRJ-1, then Start on PRJ-2 (what the toolbar's Start does).
    timer.start(project, task);
    env.clock->advance(7200 * 1000);
    timer.start(project, other);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    BookTimeView* sheet = view->bookingSheet();
    EXPECT_EQ(view->workLogForm()->task().id, task.id);
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("2h"));
    EXPECT_EQ(timer.task(), task);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);

    sheet->save();
    ASSERT_TRUE(waitUntil([&] { return !saved.empty(); }));
    drainEvents();
    ASSERT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(jira.workLogs().front().issueId, task.id);
    EXPECT_EQ(jira.workLogs().front().seconds, 7200);
    EXPECT_EQ(timer.task(), other) << "PRJ-2 runs once PRJ-1's time is booked";
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 0);

    // An hour on PRJ-2, Start on PRJ-1, and the sheet is closed with Escape: the
    // hour stays on the stopped timer and PRJ-1 does not start.
    env.clock->advance(3600 * 1000);
    timer.start(project, task);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    QTest::keyClick(view->bookingSheet(), Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr; }));
    EXPECT_EQ(timer.task(), other);
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 3600);
    EXPECT_FALSE(timer.hasPendingStart());
    EXPECT_EQ(jira.workLogs().size(), 1u);
}

// After switching task through the booking sheet the keyboard focus is back where it was
// (the list), or on the timer, never at the top of the window (the account header).
TEST_F(SidebarBookingTest, AfterSwitchingTaskThroughTheSheetTheFocusIsNotOnTheAccountHeader) {
    const Issue other = addOtherTask();
    // The Start the user pressed is a toolbar's, rebuilt whole once the timer's task
    // changes: it is gone when the sheet closes.
    QPointer<QPushButton> start = new QPushButton(QStringLiteral("Start"), view.get());
    start->show();
    QObject::connect(&timer, &TimerViewModel::taskChanged, start, [&start] { delete start.data(); });
    QApplication::setActiveWindow(view.get());
    view->activateWindow();
    start->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == start; }));

    timer.start(project, task);
    env.clock->advance(7200 * 1000);
    timer.start(project, other);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    BookTimeView* sheet = view->bookingSheet();
    ASSERT_TRUE(waitUntil([&] { return sheet->saveButton()->isEnabled(); }));
    QTest::keyClick(sheet->durationField(), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr && !saved.empty(); }));
    drainEvents();
    EXPECT_EQ(timer.task(), other);
    // The desktop gives the window back its activation once the sheet is gone.
    QApplication::setActiveWindow(view.get());
    drainEvents();
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr) << "the focus went nowhere";
    EXPECT_NE(focused, view->accountHeader());
    EXPECT_TRUE(start.isNull());
    EXPECT_TRUE(focused == view->projectList() || view->timerBlock()->isAncestorOf(focused))
        << focused->metaObject()->className() << " " << focused->objectName().toStdString();
}

// A switch to a task whose name reads right to left: the sheet's line reads in the app's
// direction, its full stop at its end (".starts once this time is booked 12 פרויקט" before).
TEST_F(SidebarBookingTest, TheLineOfASwitchToARightToLeftTaskKeepsItsOwnDirection) {
    Issue other = addOtherTask();
    other.reference.reset();
    other.name =
        namedTestText(QStringLiteral("outside-text/names-cut-in-sentences.txt"), QStringLiteral("opening"));
    timer.start(project, task);
    env.clock->advance(5400 * 1000);
    timer.start(project, other);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    const QString said = view->bookingSheet()->pendingStartLabel()->text();
    EXPECT_TRUE(said.startsWith(QStringLiteral("\u2068%1\u2069 starts once").arg(other.name)) && !said.isRightToLeft())
        << said.toStdString();
}

// A switch whose sheet books only part of the tracked time: the rest stays on the tracked
// task, the other task does not start and the sheet said so before the Save; a later plain
// stop of the tracked task, booked whole, starts nothing either.
TEST_F(SidebarBookingTest, APartialBookingOfASwitchStartsNothingNowOrAtALaterStop) {
    const Issue other = addOtherTask();
    timer.start(project, task);
    env.clock->advance(5400 * 1000);
    timer.start(project, other);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    BookTimeView* sheet = view->bookingSheet();
    ASSERT_TRUE(sheet->pendingStartLabel()->isVisibleTo(sheet));
    EXPECT_TRUE(
        sheet->pendingStartLabel()->text().startsWith(QStringLiteral("PRJ-2 Slow search starts once")))
        << sheet->pendingStartLabel()->text().toStdString();

    sheet->durationField()->setFocus();
    sheet->durationField()->selectAll();
    QTest::keyClicks(sheet->durationField(), QStringLiteral("30m"));
    EXPECT_TRUE(sheet->pendingStartLabel()->text().contains(QStringLiteral("won't start")))
        << "the sheet says which task starts after it, and that it will not";
    EXPECT_TRUE(sheet->pendingStartLabel()->text().contains(QStringLiteral("1h")));
    QTest::keyClick(sheet->durationField(), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr && !saved.empty(); }));
    drainEvents();
    EXPECT_EQ(timer.task(), task) << "the rest stays on PRJ-1";
    EXPECT_DOUBLE_EQ(timer.elapsed(), 3600);
    EXPECT_FALSE(timer.hasPendingStart()) << "the switch is not kept for a later stop";

    // Later: a plain stop of PRJ-1, its hour booked whole.
    timer.cancel();
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    EXPECT_FALSE(view->bookingSheet()->pendingStartLabel()->isVisibleTo(view->bookingSheet()));
    view->bookingSheet()->save();
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr && saved.size() == 2; }));
    drainEvents();
    EXPECT_FALSE(timer.isInUse()) << "PRJ-2 started by itself";
    EXPECT_EQ(jira.workLogs().size(), 2u);
}

namespace {

// The main window's strip beside the sidebar, and the look-ups, for bookings whose answer was
// not seen.
class SidebarStripTest : public SidebarBookingTest {
protected:
    SidebarStripTest()
        : recovery(*env.bookings,
                   [this](const QString&) { return std::shared_ptr<ProviderService>(service()); }),
          strip(*env.bookings, &recovery, QStringLiteral("ACCOUNT"), view.get()) {
        strip.show();
    }
    // Every change the records were asked for is on disk and shown.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            drainEvents();
            env.bookings->settle();
        }
    }
    // The timer's time booked with `description`, answered 503 with nothing stored, and
    // looked up once (nothing listed).
    QUuid unknownBooking(const QString& description) {
        jira.interceptOnce("POST", QStringLiteral("/worklog"), FakeResponse::json("{}", 503));
        BookTimeView* sheet = stopTimer();
        descriptionEditor(sheet)->setPlainText(description);
        sheet->save();
        std::optional<QUuid> id;
        EXPECT_TRUE(waitUntil([&] {
            id = sheet->bookingRecord();
            const auto record = id ? env.bookings->record(*id) : std::nullopt;
            return record && record->lookUp == BookingRecord::LookUp::nothingListed;
        }));
        sheet->reject();
        settle();
        return id.value_or(QUuid());
    }

    BookingRecovery recovery;
    BookingStatusView strip;
};

} // namespace

// "Book Again Now" opens the timer's sheet with the time and what was typed the first time.
TEST_F(SidebarStripTest, BookAgainNowKeepsTheDescriptionTypedFirst) {
    const QUuid id = unknownBooking(QStringLiteral("Found the cause"));
    QPushButton* again = strip.button(id, BookingTexts::bookAgainButton);
    ASSERT_NE(again, nullptr);
    again->click();
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    BookTimeView* sheet = view->bookingSheet();
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_EQ(descriptionEditor(sheet)->toPlainText(), QStringLiteral("Found the cause"));
    sheet->reject();
}

// Wait puts the choice off until the booking moves on: a later look-up that again finds
// nothing brings neither the buttons nor the invitation back, and says until when it waits.
// Rows stay as their records change, and so does a button that keeps its meaning, with the
// keyboard focus on it.
TEST_F(SidebarStripTest, TheStripKeepsItsRowsTheFocusAndAWait) {
    const QUuid id = unknownBooking(QString());
    QWidget* row = strip.row(id);
    ASSERT_NE(row, nullptr);
    QPushButton* wait = strip.button(id, BookingTexts::waitButton);
    ASSERT_NE(wait, nullptr);
    QApplication::setActiveWindow(view.get());
    wait->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == wait; }));
    QTest::keyClick(wait, Qt::Key_Space);
    settle();
    EXPECT_TRUE(strip.isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == &strip)
        << "the choice that went took the focus out of the strip: "
        << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
    EXPECT_EQ(strip.button(id, BookingTexts::bookAgainButton), nullptr);
    recovery.lookUpNow(id);
    ASSERT_TRUE(waitUntil([&] { return !recovery.isLookingUp(id); }));
    settle();
    EXPECT_EQ(strip.row(id), row) << "the row was made again";
    EXPECT_EQ(strip.button(id, BookingTexts::waitButton), nullptr) << "Wait came back at the next look-up";
    QString shown;
    for (const QLabel* label : row->findChildren<QLabel*>()) {
        shown += label->text();
    }
    EXPECT_FALSE(shown.contains(QStringLiteral("wait for it, or book it again"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("Velmora waits for it until"))) << shown.toStdString();

    // A look-up that fails offers Ask Now; the focus on it stays through the look-ups that
    // follow and fail again.
    jira.http().stop();
    recovery.lookUpNow(id);
    ASSERT_TRUE(waitUntil([&] { return env.bookings->record(id)->lookUp == BookingRecord::LookUp::failed; }));
    settle();
    QPushButton* askNow = strip.button(id, BookingTexts::askNowButton);
    ASSERT_NE(askNow, nullptr);
    QApplication::setActiveWindow(view.get());
    askNow->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == askNow; }));
    env.bookings->lookedUp(id, BookingRecord::LookUp::failed, APIError::failure(APIError::Cause::Unreachable),
                           env.clock->now().addSecs(60));
    settle();
    EXPECT_EQ(strip.row(id), row);
    EXPECT_EQ(QApplication::focusWidget(), askNow) << "the focus left the strip at its rebuild";
    ASSERT_TRUE(jira.http().start());
}

// Book It on time that waits (the timer tracks another task) opens a sheet for the record's
// own task and seconds, and leaves the other task's timer alone.
TEST_F(SidebarStripTest, BookItOnReturnedTimeOpensItsOwnSheetAndLeavesTheTimerAlone) {
    const Issue other = addOtherTask();
    const QUuid id = unknownBooking(QStringLiteral("Found the cause"));
    timer.start(project, other);
    env.clock->advance(600 * 1000);
    env.bookings->end(id, BookingRecord::Ending::notListed);
    settle();
    ASSERT_EQ(env.bookings->record(id)->state, BookingRecord::State::returned);
    if (QMessageBox* told = strip.alert(id)) {
        told->close();
    }
    QPushButton* bookIt = strip.button(id, BookingTexts::bookItButton);
    ASSERT_NE(bookIt, nullptr);
    bookIt->click();
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    BookTimeView* sheet = view->bookingSheet();
    EXPECT_EQ(view->workLogForm()->task().id, task.id) << "the record's own task";
    EXPECT_EQ(sheet->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_EQ(descriptionEditor(sheet)->toPlainText(), QStringLiteral("Found the cause"));
    EXPECT_EQ(timer.task(), other);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 600);
    sheet->reject();
}

// Time of a deleted account waits on its record for every window; booked on a task of this
// account, it leaves from that record and is saved there.
TEST_F(SidebarStripTest, TimeOfAGoneAccountIsBookedOnATaskOfThisOne) {
    const QUuid id = unknownBooking(QStringLiteral("Found the cause"));
    env.bookings->accountGoing(QStringLiteral("ACCOUNT"), true);
    settle();
    ASSERT_TRUE(env.bookings->record(id)->account.isEmpty());
    ASSERT_NE(strip.button(id, BookingTexts::bookOnSelectedButton), nullptr);
    const Issue other = addOtherTask();
    NotificationCenter::defaultCenter().post(QString(NotificationName::bookReturnedTime),
                                             ReturnedTimeOnTask{id, project, other});
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    EXPECT_EQ(view->workLogForm()->task().id, other.id);
    EXPECT_EQ(view->bookingSheet()->durationField()->text(), QStringLiteral("1h 30m"));
    view->bookingSheet()->save();
    ASSERT_TRUE(waitUntil([&] { return env.bookings->record(id)->state == BookingRecord::State::saved; }));
    EXPECT_EQ(env.bookings->record(id)->account, QStringLiteral("ACCOUNT")) << "now this account's booking";
    ASSERT_EQ(jira.workLogs().size(), 1u);
    EXPECT_EQ(jira.workLogs().front().issueId, other.id);
}

// "Book Again Now" by keyboard, the timer on another task: its sheet opens for the time, and is
// cancelled. The keyboard is back on the strip on a choice that loses nothing, never on Discard.
TEST_F(SidebarStripTest, AfterCancellingTheSheetOfBookAgainNowNoKeyDiscards) {
    const QUuid id = unknownBooking(QStringLiteral("Found the cause"));
    timer.start(project, addOtherTask());
    QApplication::setActiveWindow(view.get());
    QPushButton* again = strip.button(id, BookingTexts::bookAgainButton);
    ASSERT_NE(again, nullptr);
    again->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == again; }));
    QTest::keyClick(again, Qt::Key_Space);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() != nullptr; }));
    ASSERT_EQ(env.bookings->record(id)->state, BookingRecord::State::returned);
    QTest::keyClick(view->bookingSheet(), Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return view->bookingSheet() == nullptr; }));
    settle();
    QApplication::setActiveWindow(view.get());
    settle();
    QPushButton* discard = strip.button(id, BookingTexts::discardButton);
    ASSERT_NE(discard, nullptr);
    EXPECT_NE(QApplication::focusWidget(), discard) << "the keyboard rests on Discard";
    if (QWidget* focused = QApplication::focusWidget()) {
        QTest::keyClick(focused, Qt::Key_Space);
    }
    settle();
    if (BookTimeView* sheet = view->bookingSheet()) {
        sheet->reject();
    }
    settle();
    EXPECT_EQ(env.bookings->record(id)->state, BookingRecord::State::returned)
        << "one key discarded the time";
}

// A booking still on its way when its account is deleted (its time kept) and its window goes with
// the account: its answer still reaches its record and settles it, the time it held leaving with
// it. Meanwhile the strip never says it wasn't booked.
TEST_F(SidebarStripTest, ABookingOnItsWayWhenItsAccountGoesIsSettledByItsLateAnswer) {
    jira.setLatency(scaledMs(3000), "POST");
    BookTimeView* sheet = stopTimer();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(waitUntil([&] { return view->workLogForm()->knowsEntriesBefore(); }));
    sheet->save();
    ASSERT_TRUE(
        waitUntil([&] { return !jira.http().requestsTo(QStringLiteral("/worklog"), "POST").isEmpty(); }));
    ASSERT_TRUE(sheet->bookingRecord().has_value());
    const QUuid id = *sheet->bookingRecord();
    env.bookings->accountGoing(QStringLiteral("ACCOUNT"), true);
    settle();
    ASSERT_EQ(env.bookings->record(id)->state, BookingRecord::State::leaving) << "its answer would be lost";
    const auto shown = [&] {
        QString text;
        if (QWidget* row = strip.row(id)) {
            for (const QLabel* label : row->findChildren<QLabel*>()) {
                text += label->text() + QLatin1Char('\n');
            }
        }
        return text;
    };
    EXPECT_FALSE(shown().contains(QStringLiteral("wasn't booked"))) << shown().toStdString();
    EXPECT_TRUE(shown().contains(QStringLiteral("account was deleted"))) << shown().toStdString();
    // The account's window goes.
    strip.setParent(nullptr);
    view.reset();
    ASSERT_TRUE(
        waitUntil([&] { return env.bookings->record(id)->state != BookingRecord::State::leaving; }, 20000));
    settle();
    EXPECT_EQ(env.bookings->record(id)->state, BookingRecord::State::saved);
    EXPECT_FALSE(env.bookings->record(id)->holdsSeconds()) << "booked, and held again";
    EXPECT_EQ(jira.workLogs().size(), 1u);
    EXPECT_TRUE(shown().contains(QStringLiteral("was saved"))) << shown().toStdString();
}
