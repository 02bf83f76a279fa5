#include "state/BookingRecords.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/views/main/ScriptedWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingStatusView.h"
#include "views/main/BookingTexts.h"

#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

namespace {

// Records of bookings of the same 30 minutes on one task, made by hand, in records of their own.
class BookingWordsTest : public ::testing::Test {
protected:
    QUuid leave(qint64 seconds = 1800) {
        BookingRecord draft;
        draft.account = QStringLiteral("ACCOUNT");
        draft.tracker = QStringLiteral("Asana");
        draft.project = makeProject(QStringLiteral("p"));
        draft.task = makeIssue(QStringLiteral("2"));
        draft.booking = WorkLogBooking{QStringLiteral("2"), env.clock->now(), seconds, QString()};
        draft.booking.dating = WorkLogBooking::Dating::day;
        draft.source = BookingRecord::Source::manual;
        const QUuid id = records().depart(draft, std::nullopt, {});
        records().settle();
        return id;
    }
    BookingRecords& records() { return *env.bookings; }
    BookingRecord record(const QUuid& id) { return *records().record(id); }

    StateTestEnvironment env;
};

} // namespace

// Two holds of the same time on one task are told apart by when each left, and the warning
// beside Book Again Now names which booking it is about.
TEST_F(BookingWordsTest, TwoLookAlikeHoldsReadApartAndTheWarningNamesItsBooking) {
    const QUuid first = leave();
    // Alone, a booking is named by its time and task only.
    EXPECT_FALSE(BookingTexts::named(record(first), records()).contains(QStringLiteral("sent at")));
    env.clock->advance(4 * 60 * 1000);
    const QUuid second = leave();
    for (const QUuid& id : {first, second}) {
        records().unseen(id, APIError::failure(APIError::Cause::ServerError, 503));
    }
    records().settle();
    const QString one = BookingTexts::line(record(first), records()).headline;
    const QString other = BookingTexts::line(record(second), records()).headline;
    EXPECT_NE(one, other) << one.toStdString();
    EXPECT_TRUE(one.contains(QStringLiteral("sent at"))) << one.toStdString();
    EXPECT_NE(BookingTexts::twiceWarning(record(first), records()),
              BookingTexts::twiceWarning(record(second), records()));
}

// When the next look-up comes: never a minute that has passed (a late look-up is asked now),
// and once more as the window ends, not "again at 10:52, until 10:52".
TEST_F(BookingWordsTest, TheNextAskIsNeverInThePastAndTheLastIsSaidAsTheLast) {
    const QUuid id = leave();
    records().unseen(id, APIError::failure(APIError::Cause::ServerError, 503));
    records().settle();
    const QDateTime now = env.clock->now();
    records().lookedUp(id, BookingRecord::LookUp::failed, APIError::failure(APIError::Cause::Unreachable),
                       now.addSecs(-120));
    records().settle();
    QString detail = BookingTexts::line(record(id), records()).detail;
    EXPECT_FALSE(detail.contains(BookingTexts::until(now.addSecs(-120), now))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(BookingTexts::until(now, now))) << detail.toStdString();
    detail = BookingTexts::line(record(id), records(), {false, true}).detail;
    EXPECT_TRUE(detail.contains(QStringLiteral("is asking Asana now"))) << detail.toStdString();

    records().lookedUp(id, BookingRecord::LookUp::failed, APIError::failure(APIError::Cause::Unreachable),
                       records().windowEndsAt(record(id)));
    records().settle();
    detail = BookingTexts::line(record(id), records()).detail;
    EXPECT_TRUE(detail.contains(QStringLiteral("one last time"))) << detail.toStdString();
    EXPECT_FALSE(detail.contains(QStringLiteral("asks again at"))) << detail.toStdString();
}

// Where time went is said where it is: on the timer only when it is there; time typed by
// hand that waits says it waits here, whatever the timer does.
TEST_F(BookingWordsTest, EachEndSaysWhereTheTimeIs) {
    const QUuid typed = leave();
    records().refused(typed, APIError::validation().withHttpStatus(400));
    records().settle();
    ASSERT_EQ(record(typed).state, BookingRecord::State::returned);
    const BookingTexts::Line said = BookingTexts::line(record(typed), records());
    EXPECT_FALSE(said.detail.contains(QStringLiteral("timer"))) << said.detail.toStdString();
    EXPECT_TRUE(said.detail.contains(QStringLiteral("waits here"))) << said.detail.toStdString();
    const QString sheet = BookingTexts::sheetState(record(typed), records());
    EXPECT_FALSE(sheet.contains(QStringLiteral("back on the timer"))) << sheet.toStdString();
    EXPECT_TRUE(sheet.contains(QStringLiteral("waits in the main window"))) << sheet.toStdString();
}

// The end of a hold is said once where the user is: the sheet that follows the booking says
// it, and no alert pops up over it; with no sheet, the alert does.
TEST_F(BookingWordsTest, TheHoldsEndIsNotToldTwiceOverTheSheetThatSaysIt) {
    TimerViewModel timer(QStringLiteral("ACCOUNT"), env.environment());
    QWidget window;
    BookingStatusView status(records(), nullptr, QStringLiteral("ACCOUNT"), &window);
    window.show();
    ScriptedWorkLogForm form(makeProject(QStringLiteral("p")), makeIssue(QStringLiteral("2")), 1800);
    BookTimeView sheet(form, timer, BookTimeView::Source::manual, &window);
    sheet.show();
    sheet.save();
    records().settle();
    ASSERT_TRUE(sheet.bookingRecord().has_value());
    const QUuid followed = *sheet.bookingRecord();
    ASSERT_TRUE(waitUntil([&] { return form.bookings.waiting() == 1; }));
    form.bookings.fail(APIError::failure(APIError::Cause::TimedOut));
    drainEvents();
    records().settle();
    records().end(followed, BookingRecord::Ending::notLearnt);
    records().settle();
    ASSERT_EQ(record(followed).state, BookingRecord::State::returned);
    EXPECT_EQ(status.alert(followed), nullptr) << "an alert over the sheet that says it";
    EXPECT_TRUE(sheet.stateLabel()->isVisibleTo(&sheet));
    EXPECT_NE(status.row(followed), nullptr) << "the strip keeps it for after the sheet";

    const QUuid alone = leave();
    records().unseen(alone, APIError::failure(APIError::Cause::TimedOut));
    records().end(alone, BookingRecord::Ending::notLearnt);
    records().settle();
    EXPECT_NE(status.alert(alone), nullptr);
    sheet.reject();
}

// Words for someone who knows nothing of the inside, and true whatever happens next: an outcome
// nobody learnt is never "wasn't booked"; time that waits says where it came from, not what the
// timer does now; a refused permission asks for the permission, not a new sign-in; a note that
// did not read says which task, and what of it did read.
TEST_F(BookingWordsTest, EachLineIsTrueForAsLongAsItShows) {
    // Kept when its account went during the hold: nobody learnt whether the tracker has it.
    const QUuid held = leave();
    records().unseen(held, APIError::failure(APIError::Cause::ServerError, 503));
    records().settle();
    records().accountGoing(QStringLiteral("ACCOUNT"), true);
    records().settle();
    ASSERT_EQ(record(held).state, BookingRecord::State::returned);
    BookingTexts::Line said = BookingTexts::line(record(held), records());
    EXPECT_FALSE(said.headline.contains(QStringLiteral("wasn't booked"))) << said.headline.toStdString();
    EXPECT_FALSE(said.detail.contains(QStringLiteral("passed"))) << "the window is still on";
    EXPECT_TRUE(said.detail.contains(QStringLiteral("account was deleted"))) << said.detail.toStdString();

    // Not listed when the window ended: maybe not booked, not surely not.
    const QUuid unlisted = leave();
    records().unseen(unlisted, APIError::failure(APIError::Cause::ServerError, 503));
    records().end(unlisted, BookingRecord::Ending::notListed);
    records().settle();
    ASSERT_EQ(record(unlisted).state, BookingRecord::State::returned);
    said = BookingTexts::line(record(unlisted), records());
    EXPECT_FALSE(said.headline.contains(QStringLiteral("wasn't booked"))) << said.headline.toStdString();

    // Back from the timer while it tracked another task: said in words that stay true.
    BookingRecord fromTimer = record(unlisted);
    fromTimer.source = BookingRecord::Source::timer;
    said = BookingTexts::line(fromTimer, records());
    EXPECT_FALSE(said.detail.contains(QStringLiteral("tracks another task now")))
        << said.detail.toStdString();

    // Refused for want of a permission.
    const QUuid forbidden = leave();
    records().refused(forbidden, APIError::unauthorized().withHttpStatus(403));
    records().settle();
    said = BookingTexts::line(record(forbidden), records());
    EXPECT_FALSE(said.detail.contains(QStringLiteral("sign in"), Qt::CaseInsensitive))
        << said.detail.toStdString();
    EXPECT_TRUE(said.detail.contains(QStringLiteral("permission"))) << said.detail.toStdString();

    // A note that did not read whole: its task, and its time where that read.
    BookingRecord damaged = record(forbidden);
    damaged.damaged = true;
    damaged.booking.seconds = 0;
    damaged.state = BookingRecord::State::notSaved;
    said = BookingTexts::line(damaged, records());
    EXPECT_EQ(said.headline, QStringLiteral("Velmora couldn't read its note of a booking on KEY-2."));
    damaged.booking.seconds = 5400;
    damaged.state = BookingRecord::State::discarded;
    EXPECT_TRUE(BookingTexts::line(damaged, records()).isEmpty()) << "discarded: nothing left to say";
}

// What is known is said, never a time that has passed: an answer past the wait, and an answer
// that came but could not be noted on disk.
TEST_F(BookingWordsTest, ALateOrUnnotedAnswerNamesNoTimeThatPassed) {
    const QUuid id = leave();
    env.bootClock->advance(BookingTexts::answerWait + 60'000);
    const QDateTime now = env.clock->now();
    BookingTexts::Line said = BookingTexts::line(record(id), records());
    EXPECT_FALSE(said.detail.contains(QStringLiteral("until"))) << said.detail.toStdString();

    records().settle();
    env.snapshots->flush();
    {
        test::FileSizeLimit full(static_cast<rlim_t>(QFileInfo(env.snapshotPath()).size()));
        ASSERT_TRUE(full.active());
        records().answered(id, QStringLiteral("entry-1"));
        records().settle();
    }
    ASSERT_EQ(record(id).state, BookingRecord::State::leaving);
    said = BookingTexts::line(record(id), records());
    EXPECT_TRUE(said.headline.contains(QStringLiteral("said it saved"))) << said.headline.toStdString();
    EXPECT_FALSE(said.detail.contains(BookingTexts::until(now, now))) << said.detail.toStdString();
    EXPECT_TRUE(said.detail.contains(QStringLiteral("next start"))) << said.detail.toStdString();
}
