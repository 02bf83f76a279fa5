#include "views/main/BookTimeView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "validation/ValidationMessageView.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/CustomTextEditor.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

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

    type(view->durationField(), QStringLiteral("1h 30m"));
    EXPECT_EQ(form.duration(), 5400);
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("1h 30m"));
    EXPECT_TRUE(view->saveButton()->isEnabled());
}

TEST_F(BookTimeViewTest, RejectedDurationTextKeepsTheDuration) {
    ScriptedWorkLogForm form(project, task, 9000);
    auto view = sheet(form);
    EXPECT_EQ(view->durationField()->text(), QStringLiteral("2h 30m"));
    for (const QString& text : {QStringLiteral("1h 1h"), QStringLiteral("90"), QStringLiteral("1:30")}) {
        type(view->durationField(), text);
        EXPECT_EQ(form.duration(), 9000) << text.toStdString();
        EXPECT_EQ(view->durationField()->text(), QStringLiteral("2h 30m"));
    }
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
    EXPECT_TRUE(form.networkRequestInProgress());
    EXPECT_FALSE(view->saveButton()->isEnabled());
    EXPECT_TRUE(view->progressIndicator()->isAnimating());
    EXPECT_TRUE(view->cancelButton()->isEnabled());
    // A second press while the booking is on its way books nothing more.
    view->save();
    EXPECT_EQ(form.bookings.calls(), 1);

    form.bookings.complete(Void{});
    drainEvents();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.front(), project);
    EXPECT_EQ(dismissed.count(), 1);
    EXPECT_FALSE(view->isVisible());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_FALSE(timer.task().has_value());
    EXPECT_FALSE(form.networkRequestInProgress());
}

TEST_F(BookTimeViewTest, AFailedBookingAlertsAndKeepsEverythingTyped) {
    ScriptedWorkLogForm form(project, task, 0);
    auto view = sheet(form);
    type(view->durationField(), QStringLiteral("1h 15m"));
    form.editor->setPlainText(QStringLiteral("Fixed the crash"));

    view->save();
    form.bookings.fail(APIError::unknown());
    drainEvents();

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
    drainEvents();
    EXPECT_EQ(view->alert(), nullptr);
    EXPECT_FALSE(form.errorOccurred());
    EXPECT_TRUE(view->saveButton()->isEnabled());

    // The second try goes out with what was kept.
    view->save();
    EXPECT_EQ(form.bookings.calls(), 2);
}

TEST_F(BookTimeViewTest, CancelResetsTheTimerAndAnnouncesNothing) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    QTest::mouseClick(view->cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(view->isDismissed());
    EXPECT_EQ(timer.state(), TimerViewModel::State::cancelled);
    EXPECT_EQ(form.bookings.calls(), 0);
    EXPECT_TRUE(saved.empty());
}

TEST_F(BookTimeViewTest, ABookingThatEndsAfterCancelOnlyAnnouncesItself) {
    ScriptedWorkLogForm form(project, task, timer.elapsed());
    auto view = sheet(form);
    view->save();
    view->cancel();
    // The user starts tracking something new before the tracker answers.
    const Issue next = makeIssue(QStringLiteral("2"));
    timer.start(project, next);

    form.bookings.complete(Void{});
    drainEvents();
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_EQ(timer.state(), TimerViewModel::State::active);
    EXPECT_EQ(timer.task(), next);
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
    const std::vector<Case> cases{
        {APIError::failure(APIError::Cause::ServerError, 500).withHost(host),
         "tracker.example answered with an error (HTTP 500). The fault is on the server's side; try again in "
         "a "
         "moment."},
        {APIError::failure(APIError::Cause::TimedOut).withHost(host),
         "tracker.example did not answer in time."},
        {APIError::failure(APIError::Cause::Unreachable).withHost(host),
         "Can't reach tracker.example. The server or the network connection may be down."},
        {APIError::rateLimited(12).withHost(host),
         "tracker.example asked us to slow down. Try again in 12 seconds."},
        {APIError::validation().withHttpStatus(403).withHost(host),
         "tracker.example refused the account's access. Open Settings \u203a Accounts and sign in to the "
         "account "
         "again."},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.explanation.toStdString());
        ScriptedWorkLogForm form(project, task, 0);
        auto view = sheet(form);
        type(view->durationField(), QStringLiteral("45m"));
        form.editor->setPlainText(QStringLiteral("Wrote the report"));
        view->save();
        form.bookings.fail(failure.error);
        drainEvents();

        ASSERT_NE(view->alert(), nullptr);
        EXPECT_EQ(view->alert()->text(), QStringLiteral("The work log wasn't saved."));
        EXPECT_EQ(view->alert()->informativeText(), failure.explanation);
        EXPECT_FALSE(view->alert()->informativeText().contains(QStringLiteral("Check whether")));
        EXPECT_TRUE(view->isVisible());
        EXPECT_FALSE(view->isDismissed());
        EXPECT_EQ(form.editor->toPlainText(), QStringLiteral("Wrote the report"));
        EXPECT_EQ(form.duration(), 2700);
        view->alert()->button(QMessageBox::Ok)->click();
        drainEvents();
        view->cancel();
    }
}
