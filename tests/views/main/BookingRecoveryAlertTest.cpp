// The question about an entry that may be a booking, and the strip's words on a failed look-up.

#include "tests/views/main/BookingKillHarness.h"

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::bookings;

namespace {

// A record of a booking on BIG-20 whose answer was not seen, in records of its own.
struct QuestionRecords {
    QuestionRecords() {
        BookingRecord draft;
        draft.account = QStringLiteral("ACCOUNT");
        draft.tracker = QStringLiteral("Asana");
        draft.task = Issue{
            QStringLiteral("20"), QStringLiteral("<b>BIG-20</b>"), QStringLiteral("Big"), {}, {}, {}, {}, {}};
        draft.booking = WorkLogBooking{QStringLiteral("20"), env.clock->now(), 1800, QString()};
        draft.source = BookingRecord::Source::manual;
        id = env.bookings->depart(draft, std::nullopt, {});
        env.bookings->unseen(
            id,
            APIError::failure(APIError::Cause::ServerError, 502).withHost(QStringLiteral("app.asana.test")));
        env.bookings->settle();
    }
    BookingRecords& records() { return *env.bookings; }
    StateTestEnvironment env;
    QUuid id;
};

WorkEntry lookAlike() {
    WorkEntry entry;
    entry.id = QStringLiteral("w1");
    entry.issue.id = QStringLiteral("20");
    entry.spentTimeSeconds = 1800;
    entry.started = QDateTime(QDate(2026, 3, 5), QTime(0, 0));
    entry.created = QDateTime(QDate(2026, 3, 5), QTime(10, 2, 40));
    return entry;
}

} // namespace

TEST(BookingRecoveryAlertTest, TheQuestionNamesTheEntryInPlainTextAndKeepsTheTimeByDefault) {
    EXPECT_EQ(BookingRecoveryAlert::questionText(lookAlike(), QStringLiteral("BIG-20")),
              QStringLiteral("A 30m work log on BIG-20 at 10:02 may be this booking."));
    QuestionRecords made;
    made.records().ask(made.id, lookAlike());
    made.records().settle();
    QWidget parent;
    bool saved = false;
    bool kept = false;
    QMessageBox* box = BookingRecoveryAlert::askWhetherSaved(
        *made.records().record(made.id), made.records(), &parent, [&] { saved = true; },
        [&] { kept = true; });
    EXPECT_EQ(box->text(), QStringLiteral("A 30m work log on <b>BIG-20</b> at 10:02 may be this booking."));
    EXPECT_FALSE(box->informativeText().contains(QStringLiteral("when Velmora stopped")))
        << "this run saw its answer fail";
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("HTTP 502")));
    for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
        }
    }
    auto* keep = qobject_cast<QPushButton*>(box->defaultButton());
    ASSERT_NE(keep, nullptr);
    EXPECT_EQ(keep->text(), BookingRecoveryAlert::keepButton);
    EXPECT_EQ(box->escapeButton(), keep);
    QPushButton* wasSaved = nullptr;
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == BookingRecoveryAlert::savedButton) {
            wasSaved = qobject_cast<QPushButton*>(button);
        }
    }
    ASSERT_NE(wasSaved, nullptr);
    keep->click();
    EXPECT_TRUE(kept);
    EXPECT_FALSE(saved);
    wasSaved->click();
    EXPECT_TRUE(saved);
    delete box;
}

// The question's window closed unanswered answers nothing, and takes no answer away:
// the main window's line still asks, and its answers settle the record.
TEST(BookingRecoveryAlertTest, AQuestionClosedUnansweredStaysOpenInTheMainWindow) {
    QuestionRecords made;
    QWidget window;
    BookingStatusView status(made.records(), nullptr, QStringLiteral("ACCOUNT"), &window);
    window.show();
    made.records().ask(made.id, lookAlike());
    made.records().settle();
    QMessageBox* box = status.alert(made.id);
    ASSERT_NE(box, nullptr);
    box->close();
    drainEvents();
    EXPECT_EQ(made.records().record(made.id)->state, BookingRecord::State::asked);
    ASSERT_NE(status.button(made.id, BookingRecoveryAlert::savedButton), nullptr);
    ASSERT_NE(status.button(made.id, BookingRecoveryAlert::keepButton), nullptr);
    status.button(made.id, BookingRecoveryAlert::keepButton)->click();
    made.records().settle();
    EXPECT_EQ(made.records().record(made.id)->state, BookingRecord::State::returned)
        << "typed by hand, the time waits to be booked or discarded";
    // Said at once, naming the task and the time, with both ways on.
    QMessageBox* waiting = status.alert(made.id);
    ASSERT_NE(waiting, nullptr);
    EXPECT_TRUE(waiting->text().startsWith(QStringLiteral("30m on <b>BIG-20</b>")))
        << waiting->text().toStdString();
    QStringList offered;
    for (QAbstractButton* button : waiting->buttons()) {
        offered << button->text();
    }
    EXPECT_TRUE(offered.contains(BookingTexts::bookItButton));
    EXPECT_TRUE(offered.contains(BookingTexts::discardButton));
    waiting->close();
    drainEvents();
    ASSERT_NE(status.button(made.id, BookingTexts::discardButton), nullptr);
    status.button(made.id, BookingTexts::discardButton)->click();
    // Asked first; the question's own Discard lets the time go.
    ASSERT_NE(status.discardQuestion(), nullptr);
    for (QAbstractButton* choice : status.discardQuestion()->buttons()) {
        if (choice->text() == BookingTexts::discardButton) {
            choice->click();
        }
    }
    made.records().settle();
    drainEvents();
    EXPECT_EQ(made.records().record(made.id)->state, BookingRecord::State::discarded);
    EXPECT_EQ(status.row(made.id), nullptr);
    EXPECT_FALSE(status.isVisibleTo(&window)) << "nothing left to say";
}

// Look-ups that fail say why, with the next try and the end of the hold, and offer to
// ask now; the end of the window that follows says the time is back, never "when
// Velmora stopped" in a run that never stopped.
TEST(BookingRecoveryAlertTest, AFailedLookUpSaysWhyAndWhenAndOffersToAskNow) {
    QuestionRecords made;
    QWidget window;
    int asked = 0;
    auto service = std::make_shared<FakeProviderService>();
    service->workEntries.answerError(
        APIError::failure(APIError::Cause::Unreachable).withHost(QStringLiteral("<b>app.asana.test</b>")));
    BookingRecovery recovery(made.records(), [&](const QString&) {
        ++asked;
        return service;
    });
    BookingStatusView status(made.records(), &recovery, QStringLiteral("ACCOUNT"), &window);
    window.show();
    recovery.start();
    // What the records learn is theirs once it is on the disk, and the strip's once it took it in:
    // each wait takes the writes in (however long a busy disk takes them) and waits for the strip.
    const auto shows = [&](const std::function<bool()>& done) {
        return waitUntil([&] {
            made.records().settle();
            return done();
        });
    };
    ASSERT_TRUE(shows([&] {
        return made.records().record(made.id)->lookUp == BookingRecord::LookUp::failed &&
               status.button(made.id, BookingTexts::askNowButton);
    }));
    const BookingTexts::Line said = BookingTexts::line(*made.records().record(made.id), made.records());
    EXPECT_TRUE(said.detail.contains(QStringLiteral("Couldn't ask Asana whether it arrived")))
        << said.detail.toStdString();
    EXPECT_TRUE(said.detail.contains(QStringLiteral("Can't reach <b>app.asana.test</b>")))
        << said.detail.toStdString();
    EXPECT_TRUE(said.detail.contains(QStringLiteral("asks again at")));
    EXPECT_FALSE(said.detail.contains(QStringLiteral("books it again")));
    QPushButton* askNow = status.button(made.id, BookingTexts::askNowButton);
    ASSERT_NE(askNow, nullptr);
    const int before = service->workEntries.calls();
    askNow->click();
    ASSERT_TRUE(waitUntil([&] { return service->workEntries.calls() == before + 1; }));
    for (const QLabel* label : status.row(made.id)->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
    }
    // The window ends with the tracker still out of reach: the hold ends, told as such.
    made.env.bootClock->advance(BookingRecords::arrivalWindow * 1000 + 1000);
    ASSERT_TRUE(shows([&] {
        return made.records().record(made.id)->state != BookingRecord::State::unknown && status.alert(made.id);
    }));
    const BookingTexts::Line ended = BookingTexts::line(*made.records().record(made.id), made.records());
    EXPECT_EQ(ended.headline, QStringLiteral("Couldn't learn whether 30m on <b>BIG-20</b> was booked."))
        << "nobody learnt whether it was: never said it wasn't";
    EXPECT_FALSE(ended.detail.contains(QStringLiteral("when Velmora stopped")));
    ASSERT_NE(status.alert(made.id), nullptr) << "an end without a save pops up once";
    EXPECT_EQ(asked, 1) << "one service for the record's look-ups";
}
