#include "views/main/BookTimeView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/AlertTexts.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "trackers/youtrack/YouTrackService.h"
#include "trackers/youtrack/YouTrackWorkLogForm.h"
#include "validation/ValidationMessageView.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/Appearance.h"
#include "views/main/CustomTextEditor.h"
#include "views/main/LoadFailureView.h"
#include "views/main/ReturnPressesFocusedButton.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

// The buttons of the discard question by their text.
QAbstractButton* questionButton(QMessageBox* question, const QString& text) {
    for (QAbstractButton* button : question->buttons()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

class BookTimeViewTest : public ::testing::Test {
protected:
    BookTimeViewTest() : timer(QStringLiteral("ACCOUNT"), env.environment()) {
        m_saved = NotificationCenter::defaultCenter().addObserver(
            QString(NotificationName::timeEntrySaved), [this](const Notification& notification) {
                if (const auto* project = notification.objectAs<Project>()) {
                    saved.push_back(*project);
                }
            });
        timer.start(project, task);
        env.clock->advance(5400 * 1000);
        timer.pause();
    }

    std::unique_ptr<BookTimeView> sheet(ScriptedWorkLogForm& form) {
        auto view = std::make_unique<BookTimeView>(form, timer);
        view->show();
        return view;
    }

    // A YouTrack booking form whose tracker cannot be reached (a port nothing listens
    // on): its inputs fail to load.
    struct OfflineYouTrack {
        OfflineYouTrack() {
            QTcpServer probe;
            EXPECT_TRUE(probe.listen(QHostAddress::LocalHost));
            baseUrl = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        }
        std::unique_ptr<YouTrackWorkLogForm> form(const Project& project, const Issue& task,
                                                  double duration) {
            const YouTrackProvider account(std::nullopt, QStringLiteral("Work"),
                                           YouTrackProvider::Parameters{baseUrl});
            auto service = std::make_shared<YouTrackService>(
                account, APIRequest::youTrack(QStringLiteral("token"), baseUrl));
            return std::make_unique<YouTrackWorkLogForm>(account, service, project, task, duration);
        }
        QString baseUrl;
    };

    // What the sheet and the records were told is on disk and shown.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            drainEvents();
            env.bookings->settle();
        }
    }

    static void type(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }

    StateTestEnvironment env;
    TimerViewModel timer;
    Project project = makeProject(QStringLiteral("p1"));
    Issue task = makeIssue(QStringLiteral("1"));
    std::vector<Project> saved;

private:
    Cancellable m_saved;
};

} // namespace

TEST_F(BookTimeViewTest, AManualBookingStartsEmptyWithSaveDisabled) {
    ScriptedWorkLogForm form(project, task, 0);
    auto view = sheet(form);
    EXPECT_EQ(view->durationField()->text(), QString());
    EXPECT_EQ(view->durationField()->placeholderText(), QStringLiteral("1w 1d 1h 1m"));
    EXPECT_FALSE(view->saveButton()->isEnabled());
    EXPECT_EQ(view->width(), BookTimeView::sheetWidth);

    // Entered by leaving the field (Return would book it at once).
    view->durationField()->setFocus();
    QTest::keyClicks(view->durationField(), QStringLiteral("1h 30m"));
    view->durationField()->clearFocus();
    EXPECT_EQ(form.duration(), 5400);
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_TRUE(view->saveButton()->isEnabled());
    EXPECT_EQ(form.bookings.calls(), 0);
}

TEST_F(BookTimeViewTest, RejectedDurationTextKeepsTheDuration) {
    ScriptedWorkLogForm form(project, task, 9000);
    auto view = sheet(form);
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("2h 30m"));
    EXPECT_TRUE(view->durationTextError()->isHidden());
    for (const QString& text : {QStringLiteral("1h 1h"), QStringLiteral("90"), QStringLiteral("1:30")}) {
        type(view->durationField(), text);
        // The text stays as typed, Save cannot book it and the sheet says why: Save
        // never stands for a duration other than the one on screen.
        EXPECT_EQ(view->durationField()->text(), text);
        EXPECT_FALSE(view->saveButton()->isEnabled()) << text.toStdString();
        EXPECT_FALSE(view->durationTextError()->isHidden());
        EXPECT_EQ(view->durationTextError()->text(), BookTimeView::durationTextMessage);
        view->save();
        settle();
        EXPECT_EQ(form.bookings.calls(), 0) << text.toStdString();
    }

    // Corrected text counts as soon as it is typed, without Return.
    view->durationField()->setFocus();
    view->durationField()->selectAll();
    QTest::keyClicks(view->durationField(), QStringLiteral("2h"));
    EXPECT_EQ(form.duration(), 7200);
    EXPECT_TRUE(view->saveButton()->isEnabled());
    EXPECT_TRUE(view->durationTextError()->isHidden());
    QTest::mouseClick(view->saveButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(form.bookings.calls(), 1);
}

// The message under a duration it can't read is as readable as every other field's:
// red on the sheet's background at the least contrast text must have.
TEST_F(BookTimeViewTest, TheDurationTextMessageReadsOnTheSheet) {
    ScriptedWorkLogForm form(project, task, 9000);
    auto view = sheet(form);
    type(view->durationField(), QStringLiteral("1h 1h"));
    ASSERT_FALSE(view->durationTextError()->isHidden());
    const QPalette palette = view->durationTextError()->palette();
    EXPECT_GE(
        Appearance::contrast(palette.color(QPalette::WindowText), view->palette().color(QPalette::Window)),
        Appearance::minimumContrast);
}

TEST_F(BookTimeViewTest, AManualBookingsSaveFollowsTheTextAsItIsTyped) {
    ScriptedWorkLogForm form(project, task, 0);
    auto view = sheet(form);
    view->durationField()->setFocus();
    QTest::keyClicks(view->durationField(), QStringLiteral("45m"));
    EXPECT_EQ(form.duration(), 2700);
    EXPECT_TRUE(view->saveButton()->isEnabled()) << "no Return or Tab needed";
    QTest::keyClick(view->durationField(), Qt::Key_Backspace);
    EXPECT_FALSE(view->saveButton()->isEnabled()) << "\"45\" is no duration";
    QTest::keyClicks(view->durationField(), QStringLiteral("m 1"));
    EXPECT_FALSE(view->saveButton()->isEnabled());
    QTest::keyClicks(view->durationField(), QStringLiteral("h"));
    EXPECT_TRUE(view->saveButton()->isEnabled());
    EXPECT_EQ(form.duration(), 2700 + 3600);
    // Emptied, the field books nothing: the minute rule speaks.
    view->durationField()->selectAll();
    QTest::keyClick(view->durationField(), Qt::Key_Delete);
    EXPECT_FALSE(view->saveButton()->isEnabled());
    EXPECT_TRUE(view->durationTextError()->isHidden());
    EXPECT_EQ(form.duration(), 0);
}

TEST_F(BookTimeViewTest, UnderAMinuteShowsTheRuleAndDisablesSave) {
    ScriptedWorkLogForm form(project, task, 3600);
    auto view = sheet(form);
    ASSERT_TRUE(view->saveButton()->isEnabled());
    form.setDuration(30);
    EXPECT_FALSE(view->saveButton()->isEnabled());
    EXPECT_EQ(view->durationValidationView()->latestValidation(),
              Validation::failure(AbstractWorkLogForm::durationMessage));
}

TEST_F(BookTimeViewTest, SaveBooksOnceAnnouncesClosesAndResetsTheTimer) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    QSignalSpy dismissed(view.get(), &BookTimeView::dismissed);

    QTest::mouseClick(view->saveButton(), Qt::LeftButton);

    settle();
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_FALSE(view->saveButton()->isEnabled());
    EXPECT_TRUE(view->progressIndicator()->isAnimating());
    EXPECT_TRUE(view->cancelButton()->isEnabled());
    // A second press while the booking is on its way books nothing more.
    view->save();
    settle();
    EXPECT_EQ(form.bookings.calls(), 1);

    form.bookings.complete(QStringLiteral("entry-1"));
    settle();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.front(), project);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_FALSE(view->isVisible());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_FALSE(timer.task().has_value());
    EXPECT_FALSE(form.networkRequestInProgress());
}

// What the announcement sets off (the task list loads again, with a request of its own)
// happens after the sheet closed: the user waits for the booking, not for that.
TEST_F(BookTimeViewTest, TheSheetHasClosedWhenTheBookingIsAnnounced) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    std::optional<bool> visibleWhenAnnounced;
    const Cancellable observer = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::timeEntrySaved),
        [&](const Notification&) { visibleWhenAnnounced = view->isVisible(); });

    view->save();

    settle();
    form.bookings.complete(QStringLiteral("entry-1"));
    settle();
    ASSERT_TRUE(visibleWhenAnnounced.has_value());
    EXPECT_FALSE(*visibleWhenAnnounced);
    EXPECT_TRUE(view->isDismissed());
}

TEST_F(BookTimeViewTest, AFailedBookingAlertsAndKeepsEverythingTyped) {
    ScriptedWorkLogForm form(project, task, 0);
    auto view = sheet(form);
    type(view->durationField(), QStringLiteral("1h 15m"));
    form.editor->setPlainText(QStringLiteral("Fixed the crash"));

    view->save();

    settle();
    // The tracker turned it down: nothing stored.
    form.bookings.fail(APIError::validation());
    settle();

    ASSERT_NE(view->alert(), nullptr);
    EXPECT_EQ(view->alert()->text(), QStringLiteral("Unknown error occurred."));
    EXPECT_EQ(view->alert()->informativeText(),
              QStringLiteral("Check whether the provided information is correct and try again."));
    EXPECT_TRUE(view->isVisible());
    EXPECT_FALSE(view->isDismissed());
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("1h 15m"));
    EXPECT_EQ(form.duration(), 4500);
    EXPECT_EQ(form.editor->toPlainText(), QStringLiteral("Fixed the crash"));
    EXPECT_EQ(form.description, QStringLiteral("Fixed the crash"));
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);

    view->alert()->button(QMessageBox::Ok)->click();
    settle();
    EXPECT_EQ(view->alert(), nullptr);
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_TRUE(view->saveButton()->isEnabled());

    // The second try goes out with what was kept.
    view->save();
    settle();
    EXPECT_EQ(form.bookings.calls(), 2);
}

TEST_F(BookTimeViewTest, CancelResetsTheTimerAndAnnouncesNothing) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    QTest::mouseClick(view->cancelButton(), Qt::LeftButton);
    ASSERT_NE(view->discardQuestion(), nullptr);
    QTest::mouseClick(questionButton(view->discardQuestion(), QStringLiteral("Discard")), Qt::LeftButton);
    settle();
    EXPECT_TRUE(view->isDismissed());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_EQ(form.bookings.calls(), 0);
    EXPECT_TRUE(saved.empty());
}

TEST_F(BookTimeViewTest, ABookingThatEndsAfterCancelOnlyAnnouncesItself) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    view->save();
    settle();
    view->reject();
    // The user goes on tracking the task before the tracker answers: that is time of
    // its own, which the booking's end must not take away.
    timer.start(project, task);
    env.clock->advance(600 * 1000);

    form.bookings.complete(QStringLiteral("entry-1"));
    settle();
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_EQ(timer.task(), task);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 600);
}

TEST_F(BookTimeViewTest, EscapeAndClosingKeepTheTrackedTime) {
    for (const bool escape : {true, false}) {
        ScriptedWorkLogForm form(project, task, timer.elapsed());
        auto view = sheet(form);
        if (escape) {
            QTest::keyClick(view.get(), Qt::Key_Escape);
        } else {
            view->close();
        }
        settle();
        EXPECT_TRUE(view->isDismissed());
        EXPECT_EQ(view->discardQuestion(), nullptr) << "nothing to ask: nothing is discarded";
        EXPECT_EQ(timer.state(), TimerViewModel::State::paused) << escape;
        EXPECT_EQ(timer.task(), task);
        EXPECT_DOUBLE_EQ(timer.elapsed(), 5400) << escape;
        EXPECT_EQ(form.bookings.calls(), 0);
    }
}

TEST_F(BookTimeViewTest, CancelAsksBeforeDiscardingAndKeepKeeps) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    QTest::mouseClick(view->cancelButton(), Qt::LeftButton);
    QMessageBox* question = view->discardQuestion();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), QStringLiteral("Discard 1h 30m tracked on KEY-1?"));
    QAbstractButton* keep = questionButton(question, QStringLiteral("Keep"));
    ASSERT_NE(keep, nullptr);
    ASSERT_NE(questionButton(question, QStringLiteral("Discard")), nullptr);
    EXPECT_EQ(question->defaultButton(), keep);
    EXPECT_EQ(question->escapeButton(), keep);

    // Return takes the default: Keep.
    QTest::keyClick(question, Qt::Key_Return);
    settle();
    EXPECT_EQ(view->discardQuestion(), nullptr);
    EXPECT_FALSE(view->isDismissed());
    EXPECT_DOUBLE_EQ(timer.elapsed(), 5400);
    EXPECT_EQ(timer.task(), task);

    QTest::mouseClick(view->cancelButton(), Qt::LeftButton);
    ASSERT_NE(view->discardQuestion(), nullptr);
    QTest::mouseClick(questionButton(view->discardQuestion(), QStringLiteral("Discard")), Qt::LeftButton);
    settle();
    EXPECT_TRUE(view->isDismissed());
    EXPECT_FALSE(timer.isInUse());
    EXPECT_EQ(BookTimeView::discardQuestionText(9000, makeIssue(QStringLiteral("1"))),
              QStringLiteral("Discard 2h 30m tracked on KEY-1?"));
}

// The question names the tracked task by what the tracker sent, as text on one line.
TEST_F(BookTimeViewTest, TheDiscardQuestionShowsTheTasksNameAsText) {
    Issue named = makeIssue(QStringLiteral("2"));
    named.reference.reset();
    named.name = markupName + QStringLiteral("\nagain");
    TimerViewModel tracking(QStringLiteral("OTHER"), env.environment());
    tracking.start(project, named);
    env.clock->advance(3600 * 1000);
    tracking.pause();
    ScriptedWorkLogForm form(project, named, tracking.elapsed());
    BookTimeView view(form, tracking);
    view.show();
    QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
    QMessageBox* question = view.discardQuestion();
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(richLabels(*question), QStringList());
    EXPECT_TRUE(showsLiterally(*question, QStringLiteral("Discard 1h tracked on ") + markupName +
                                              QStringLiteral(" again?")))
        << shownTexts(*question).join(u'|').toStdString();
    questionButton(question, QStringLiteral("Keep"))->click();
    settle();
}

TEST_F(BookTimeViewTest, UnderAMinuteOrABookingByHandCancelsWithoutAsking) {
    // A manual booking's sheet leaves the timer's 1 h 30 min alone, however it ends.
    for (const bool save : {false, true}) {
        ScriptedWorkLogForm form(project, makeIssue(QStringLiteral("9")), 3600);
        BookTimeView view(form, timer, BookTimeView::Source::manual);
        view.show();
        if (save) {
            view.save();
            settle();
            form.bookings.complete(QStringLiteral("entry-1"));
            settle();
            EXPECT_TRUE(view.isDismissed());
        } else {
            view.cancel();
            EXPECT_EQ(view.discardQuestion(), nullptr);
            EXPECT_TRUE(view.isDismissed());
        }
        EXPECT_EQ(timer.task(), task) << save;
        EXPECT_DOUBLE_EQ(timer.elapsed(), 5400) << save;
    }

    timer.reset();
    timer.start(project, task);
    env.clock->advance(30 * 1000);
    timer.pause();
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    view->cancel();
    EXPECT_EQ(view->discardQuestion(), nullptr);
    EXPECT_TRUE(view->isDismissed());
    EXPECT_FALSE(timer.isInUse());
}

// While the booking holds the time, Cancel only closes the sheet (its label says so): the
// time is the booking's, not the sheet's to discard. Refused, it comes back.
TEST_F(BookTimeViewTest, ABookingRefusedAfterCancelBringsTheTimeBack) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    view->save();
    settle();
    EXPECT_EQ(view->cancelButton()->text(), QStringLiteral("Close"));
    view->cancel();
    EXPECT_EQ(view->discardQuestion(), nullptr) << "nothing of the sheet's to discard";
    ASSERT_TRUE(view->isDismissed());
    EXPECT_FALSE(timer.isInUse()) << "the time left with the booking";
    ASSERT_TRUE(view->bookingRecord().has_value());
    EXPECT_EQ(env.bookings->record(*view->bookingRecord())->booking.seconds, 5400);

    form.bookings.fail(APIError::validation().withHttpStatus(400));
    settle();
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(timer.state(), TimerViewModel::State::paused);
    EXPECT_EQ(timer.task(), task);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 5400);
}

TEST_F(BookTimeViewTest, ABookingTakenAfterCancelLeavesNothingOnTheTimer) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    view->save();
    settle();
    view->reject();
    EXPECT_FALSE(timer.isInUse()) << "booked time must not stay to be booked twice";
    form.bookings.complete(QStringLiteral("entry-1"));
    settle();
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_FALSE(timer.isInUse());
    EXPECT_EQ(env.bookings->record(*view->bookingRecord())->entryId, QStringLiteral("entry-1"));
}

TEST_F(BookTimeViewTest, TheDescriptionEditorGetsTheSharedLook) {
    ScriptedWorkLogForm form(project, task, 3600);
    auto view = sheet(form);
    auto* look = CustomTextEditor::of(form.editor);
    ASSERT_NE(look, nullptr);
    EXPECT_FALSE(look->isFocused());
    EXPECT_EQ(look->ringColor().alpha(), 0);
    view->activateWindow();
    form.editor->setFocus();
    QEvent focusIn(QEvent::FocusIn);
    QCoreApplication::sendEvent(form.editor, &focusIn);
    EXPECT_TRUE(look->isFocused());
    EXPECT_GT(look->ringColor().alpha(), 0);
    EXPECT_EQ(form.editor->font().pixelSize(), CustomTextEditor::fontPixelSize);
}

// What the server, the network or the account did is never blamed on the input, and
// the sheet keeps everything typed whatever the failure.
TEST_F(BookTimeViewTest, AFailureThatIsNotTheInputsSaysWhatHappenedAndKeepsTheSheet) {
    struct Case {
        APIError error;
        QString explanation;
    };
    const QString host = QStringLiteral("tracker.example");
    // Failures that prove nothing was stored (the others leave the outcome unknown).
    const std::vector<Case> cases{
        {APIError::failure(APIError::Cause::Unreachable).withHost(host).asNeverSent(),
         "Can't reach tracker.example. The server or the network connection may be down."},
        {APIError::rateLimited(12).withHost(host),
         "tracker.example asked us to slow down. Try again in 12 seconds."},
        {APIError::unauthorized().withHttpStatus(401).withHost(host),
         "tracker.example refused the account's access. Open Settings \u203a Accounts and sign in to the "
         "account again."},
        // A permission refused is not mended by signing in again.
        {APIError::validation().withHttpStatus(403).withHost(host),
         "tracker.example refused it (HTTP 403): the account may not log work on this task. Ask whoever "
         "runs the tracker for that permission, or book the time on another task."},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.explanation.toStdString());
        ScriptedWorkLogForm form(project, task, 0);
        auto view = sheet(form);
        type(view->durationField(), QStringLiteral("45m"));
        form.editor->setPlainText(QStringLiteral("Wrote the report"));
        view->save();
        settle();
        form.bookings.fail(failure.error);
        settle();

        ASSERT_NE(view->alert(), nullptr);
        EXPECT_EQ(view->alert()->text(), QStringLiteral("The work log wasn't saved."));
        EXPECT_EQ(view->alert()->informativeText(), failure.explanation);
        EXPECT_FALSE(view->alert()->informativeText().contains(QStringLiteral("Check whether")));
        EXPECT_TRUE(view->isVisible());
        EXPECT_FALSE(view->isDismissed());
        EXPECT_EQ(form.editor->toPlainText(), QStringLiteral("Wrote the report"));
        EXPECT_EQ(form.duration(), 2700);
        view->alert()->button(QMessageBox::Ok)->click();
        settle();
        view->cancel();
    }
}

TEST_F(BookTimeViewTest, TheSheetNamesTheTaskItBooksOnOneLine) {
    Issue named = task;
    named.reference = QStringLiteral("WEB-1");
    named.name = QStringLiteral("Fix login");
    ScriptedWorkLogForm form(project, named, 3600);
    auto view = sheet(form);
    ASSERT_NE(view->taskLabel(), nullptr);
    EXPECT_EQ(view->taskLabel()->text(), QStringLiteral("WEB-1 Fix login"));
    EXPECT_FALSE(view->taskLabel()->wordWrap());
    EXPECT_EQ(view->taskLabel()->textFormat(), Qt::PlainText);

    // A name too long for the sheet is cut, and the sheet keeps its width.
    Issue lengthy = named;
    lengthy.name = QString(400, QLatin1Char('w'));
    ScriptedWorkLogForm longForm(project, lengthy, 3600);
    auto longView = sheet(longForm);
    settle();
    EXPECT_EQ(longView->width(), BookTimeView::sheetWidth);
    EXPECT_LE(longView->taskLabel()->fontMetrics().horizontalAdvance(longView->taskLabel()->text()),
              longView->taskLabel()->width());
    EXPECT_TRUE(longView->taskLabel()->text().startsWith(QStringLiteral("WEB-1 www")));

    // Line breaks in a name do not make a second line; a name of any length is cut
    // before it is laid out.
    named.name = QStringLiteral("Fix\nlogin\r\nagain") + QString(1000000, QLatin1Char('x'));
    const QString shown = BookTimeView::bookedTaskName(named);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("WEB-1 Fix login again")));
    EXPECT_FALSE(shown.contains(QLatin1Char('\n')));
    EXPECT_LE(shown.size(), 1000);
}

// The messages under the duration have their room from the start: one that appears
// moves nothing, Save and Cancel stay in view and the description keeps its height.
TEST_F(BookTimeViewTest, TheDurationsMessagesHaveTheirRoomSoItsButtonsStayInView) {
    ScriptedWorkLogForm form(project, task, 3600);
    auto view = sheet(form);
    settle();
    const int before = view->height();
    view->durationField()->setFocus();
    view->durationField()->selectAll();
    QTest::keyClicks(view->durationField(), QStringLiteral("abc"));
    settle();
    ASSERT_FALSE(view->durationTextError()->isHidden());
    EXPECT_EQ(view->height(), before);
    // Emptied, the minute rule takes the same room.
    view->durationField()->selectAll();
    QTest::keyClick(view->durationField(), Qt::Key_Delete);
    settle();
    ASSERT_TRUE(view->durationTextError()->isHidden());
    ASSERT_FALSE(view->durationRuleMessage()->isHidden());
    EXPECT_EQ(view->durationRuleMessage()->text(), AbstractWorkLogForm::durationMessage);
    EXPECT_EQ(view->height(), before);
    EXPECT_EQ(form.editor->height(), 100);
    const QRect save(view->saveButton()->mapTo(view.get(), QPoint(0, 0)), view->saveButton()->size());
    const QRect editor(form.editor->mapTo(view.get(), QPoint(0, 0)), form.editor->size());
    EXPECT_TRUE(view->rect().contains(save));
    EXPECT_GE(save.top(), editor.bottom());
}

TEST_F(BookTimeViewTest, TabLeavesTheDescriptionWithoutTypingATab) {
    ScriptedWorkLogForm form(project, task, 3600);
    auto view = sheet(form);
    view->activateWindow();
    QApplication::setActiveWindow(view.get());
    form.editor->setFocus();
    ASSERT_TRUE(form.editor->hasFocus());
    QTest::keyClick(form.editor, Qt::Key_Tab);
    EXPECT_FALSE(form.editor->hasFocus());
    EXPECT_FALSE(form.editor->toPlainText().contains(QLatin1Char('\t')));
}

TEST_F(BookTimeViewTest, ReturnInTheDurationSavesOnlyWhileSaveIsEnabled) {
    ScriptedWorkLogForm form(project, task, 0);
    auto view = sheet(form);
    view->durationField()->setFocus();
    QTest::keyClicks(view->durationField(), QStringLiteral("1h 1h"));
    QTest::keyClick(view->durationField(), Qt::Key_Return);
    EXPECT_EQ(form.bookings.calls(), 0) << "Save was disabled";

    view->durationField()->selectAll();
    QTest::keyClicks(view->durationField(), QStringLiteral("1h 30m"));
    QTest::keyClick(view->durationField(), Qt::Key_Return);
    EXPECT_EQ(form.bookings.calls(), 1);
    EXPECT_EQ(form.duration(), 5400);
    QTest::keyClick(view->durationField(), Qt::Key_Return);
    EXPECT_EQ(form.bookings.calls(), 1) << "not while the booking is on its way";
}

// A YouTrack sheet opened while the tracker cannot be reached: it says the work item
// types could not be loaded and why, offers to try again, and books without a type.
TEST_F(BookTimeViewTest, TheOfflineSheetSaysWhatCouldNotBeLoaded) {
    const auto offline = OfflineYouTrack().form(project, task, 3600);
    YouTrackWorkLogForm& form = *offline;
    auto view = std::make_unique<BookTimeView>(form, timer);
    view->show();
    ASSERT_TRUE(waitUntil([&] { return !form.networkRequestInProgress(); }));
    settle();

    EXPECT_FALSE(form.errorOccurred());
    EXPECT_EQ(view->alert(), nullptr) << "no error before anything was done";
    LoadFailureView* banner = view->loadFailureBanner();
    ASSERT_NE(banner, nullptr);
    EXPECT_FALSE(banner->isHidden());
    EXPECT_EQ(banner->headlineLabel()->text(), QStringLiteral("Couldn't load the work item types."));
    EXPECT_TRUE(banner->explanationLabel()->text().startsWith(QStringLiteral("Can't reach 127.0.0.1")))
        << banner->explanationLabel()->text().toStdString();
    EXPECT_TRUE(view->saveButton()->isEnabled()) << "a booking needs no type";
    const QRect save(view->saveButton()->mapTo(view.get(), QPoint(0, 0)), view->saveButton()->size());
    EXPECT_TRUE(view->rect().contains(save));

    // Try Again loads them again.
    banner->tryAgainButton()->click();
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_TRUE(banner->isHidden());
    ASSERT_TRUE(waitUntil([&] { return !form.networkRequestInProgress(); }));
    EXPECT_FALSE(banner->isHidden());
}

// Return on a focused Save books, as Space does; on Cancel it cancels and books nothing.
TEST_F(BookTimeViewTest, ReturnOnAFocusedButtonPressesIt) {
    std::unique_ptr<ReturnPressesFocusedButton> keys(ReturnPressesFocusedButton::install(*qApp));
    ScriptedWorkLogForm form(project, task, 3600);
    auto view = sheet(form);
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(view->saveButton()->isEnabled());
    view->saveButton()->setFocus();
    QTest::keyClick(view->saveButton(), Qt::Key_Return);
    EXPECT_EQ(form.bookings.calls(), 1);

    ScriptedWorkLogForm other(project, task, 3600);
    auto second = std::make_unique<BookTimeView>(other, timer, BookTimeView::Source::manual);
    second->show();
    QApplication::setActiveWindow(second.get());
    QPushButton* cancel = nullptr;
    for (QPushButton* button : second->findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("Cancel")) {
            cancel = button;
        }
    }
    ASSERT_NE(cancel, nullptr);
    cancel->setFocus();
    QTest::keyClick(cancel, Qt::Key_Return);
    EXPECT_EQ(other.bookings.calls(), 0);
    EXPECT_TRUE(second->isHidden()) << "cancelled";
}

// Leaving the empty duration for Try Again shows the minute rule under the field. The
// press that left it is on Try Again: the message must not move the button away from
// under the pointer before the release, or the click is lost.
TEST_F(BookTimeViewTest, AMessageUnderTheDurationMovesNoButtonUnderThePointer) {
    const auto offline = OfflineYouTrack().form(project, task, 0);
    YouTrackWorkLogForm& form = *offline;
    auto view = std::make_unique<BookTimeView>(form, timer, BookTimeView::Source::manual);
    view->show();
    ASSERT_TRUE(waitUntil([&] { return !form.networkRequestInProgress(); }));
    settle();
    QApplication::setActiveWindow(view.get());
    QPushButton* tryAgain = view->loadFailureBanner()->tryAgainButton();
    ASSERT_TRUE(tryAgain->isVisible());
    ASSERT_EQ(view->durationField()->text(), QString());
    view->durationField()->setFocus();
    settle();
    const int height = view->height();
    const QRect before(tryAgain->mapTo(view.get(), QPoint(0, 0)), tryAgain->size());

    // Through the window, as a pointer does: the press gives Try Again the focus.
    QTest::mousePress(view->windowHandle(), Qt::LeftButton, Qt::NoModifier, before.center());
    settle();
    EXPECT_FALSE(view->durationField()->hasFocus());
    EXPECT_EQ(view->durationValidationView()->latestValidation(),
              Validation::failure(AbstractWorkLogForm::durationMessage))
        << "the rule speaks once the field is left";
    EXPECT_EQ(QRect(tryAgain->mapTo(view.get(), QPoint(0, 0)), tryAgain->size()), before);
    EXPECT_EQ(view->height(), height);
    QTest::mouseRelease(view->windowHandle(), Qt::LeftButton, Qt::NoModifier, before.center());
    EXPECT_TRUE(form.networkRequestInProgress()) << "the click loads the inputs again";
    ASSERT_TRUE(waitUntil([&] { return !form.networkRequestInProgress(); }));
}

// The duration is what is most often changed: the sheet opens with it focused and its
// text selected, so what is typed replaces it ("2h", never "1h 30m2h").
TEST_F(BookTimeViewTest, TheSheetOpensWithTheDurationSelectedSoTypingReplacesIt) {
    ScriptedWorkLogForm form(project, task, 5400);
    auto view = sheet(form);
    QApplication::setActiveWindow(view.get());
    settle();
    ASSERT_EQ(view->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_TRUE(view->durationField()->hasFocus());
    EXPECT_EQ(view->durationField()->selectedText(), QStringLiteral("1h 30m"));
    QTest::keyClicks(view->durationField(), QStringLiteral("2h"));
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("2h"));
    EXPECT_EQ(form.duration(), 7200);
    EXPECT_TRUE(view->saveButton()->isEnabled());
}

// Two sheets book parts of one returned half hour at once (10m, then 15m while the first is on
// its way to the disk): the second is refused, its returned time having changed. Saved again, it
// books from the record as it stands (the 20m it holds now, which the sheet shows), never the
// typed 15m as new time: nothing is booked or held twice.
TEST_F(BookTimeViewTest, APartRefusedAsChangedMeanwhileIsBookedAgainFromItsRecordOnly) {
    BookingRecord draft;
    draft.account = QStringLiteral("ACCOUNT");
    draft.project = project;
    draft.task = task;
    draft.booking = WorkLogBooking{task.id, env.clock->now(), 1800, QString()};
    draft.source = BookingRecord::Source::manual;
    const QUuid returned = env.bookings->depart(draft, std::nullopt, {});
    env.bookings->settle();
    env.bookings->refused(returned, APIError::validation().withHttpStatus(400));
    settle();
    ASSERT_EQ(env.bookings->record(returned)->state, BookingRecord::State::returned);

    ScriptedWorkLogForm first(project, task, 600);
    ScriptedWorkLogForm second(project, task, 900);
    BookTimeView one(first, timer, BookTimeView::Source::manual);
    BookTimeView other(second, timer, BookTimeView::Source::manual);
    one.setReplacing(returned);
    other.setReplacing(returned);
    one.show();
    other.show();
    one.save();
    other.save();
    settle();
    ASSERT_TRUE(waitUntil([&] { return other.alert() != nullptr; }));
    EXPECT_TRUE(other.alert()->text().contains(QStringLiteral("changed meanwhile")))
        << other.alert()->text().toStdString();
    EXPECT_EQ(env.bookings->record(returned)->booking.seconds, 1200);
    EXPECT_EQ(other.durationField()->text(), QStringLiteral("20m"))
        << "the sheet shows what the record holds";
    other.alert()->close();
    settle();

    other.save();
    settle();
    ASSERT_TRUE(other.bookingRecord().has_value());
    EXPECT_EQ(*other.bookingRecord(), returned) << "booked as new time, not from its record";
    ASSERT_TRUE(waitUntil([&] { return first.bookings.waiting() == 1 && second.bookings.waiting() == 1; }));
    first.bookings.complete(QStringLiteral("e-1"));
    second.bookings.complete(QStringLiteral("e-2"));
    settle();
    qint64 booked = 0;
    qint64 held = 0;
    for (const BookingRecord& record : env.bookings->records()) {
        booked += record.state == BookingRecord::State::saved ? record.booking.seconds : 0;
        held += record.holdsSeconds() ? record.booking.seconds : 0;
    }
    EXPECT_EQ(booked + held, 1800) << "booked " << booked << ", held " << held;
    EXPECT_EQ(held, 0);
}

// Words that appear after the sheet opened make it taller while the screen has room: its body
// scrolls only on a screen too small for it.
TEST_F(BookTimeViewTest, WordsShownLaterGrowTheSheetRatherThanScrollIt) {
    ScriptedWorkLogForm form(project, task, 5400);
    auto view = sheet(form);
    settle();
    const int before = view->height();
    view->stateLabel()->setText(
        QStringLiteral("The booking is on its way. It may still arrive until 10:52; the "
                       "sheet waits for the tracker's answer, and so does the timer."));
    view->stateLabel()->show();
    settle();
    auto* body = view->findChild<QScrollArea*>(QStringLiteral("SheetBody"));
    ASSERT_NE(body, nullptr);
    EXPECT_GT(view->height(), before);
    EXPECT_EQ(body->verticalScrollBar()->maximum(), 0) << "the screen has room for all of it";

    // Words that grow while shown (a longer line under the duration as it is typed).
    view->stateLabel()->setText(view->stateLabel()->text() + QLatin1Char(' ') + view->stateLabel()->text());
    settle();
    EXPECT_EQ(body->verticalScrollBar()->maximum(), 0) << "grown, the sheet still shows all of it";
}
