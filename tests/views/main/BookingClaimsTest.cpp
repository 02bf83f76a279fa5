// One entry, one booking; returned time, one home: for the three trackers.

#include "tests/views/main/BookingKillHarness.h"

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::bookings;

namespace {

// Lets the look-ups of `id` run until its outcome is settled (the window's end at the latest).
template <typename F> void lookUpToTheEnd(F& f, const QUuid& id) {
    BookingRecovery& lookUps = f.lookUps(f.tracker());
    for (int round = 0; round < 40 && f.records().record(id) && f.records().record(id)->isOpen(); ++round) {
        f.pass(BookingRecovery::recheckDelay);
        // Each look-up's answer comes over the network: it is waited for before time moves on.
        EXPECT_TRUE(waitUntil([&] { return !lookUps.isLookingUp(id); }, scaledMs(20000)));
        f.settle();
    }
}

// What comes between the second booking's save and the first's look-ups.
enum class Between {
    nothing,
    // A quit and a start, which drops every saved record.
    restart,
    // A kill: the next start reads the notes as they were on disk.
    kill,
    // Four more bookings saved in the same run, which crowd the second's record out.
    fourMore,
};

// Two bookings of the same minutes on the task the same day (the timer's 90 minutes booked as
// two halves): the first is answered 503 (stored or not), the second is stored and answered.
// The tracker lists what it stored late, so the first's look-up sees both entries at once.
template <typename F> void twoLookAlikeBookings(F& f, bool firstStored, Between between = Between::nothing) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    f.server().setListLag(90'000);
    if (firstStored) {
        f.server().replaceAnswerOnce(FakeResponse::json("{}", 503), "POST", F::bookingPath);
    } else {
        f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 503));
    }
    QUuid first;
    QUuid second;
    {
        LiveSheet<F> live(f, *timer, tracked / 2);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        first = recordOf(f, live)->id;
        live.sheet->reject();
    }
    {
        LiveSheet<F> live(f, *timer, tracked / 2);
        live.save();
        ASSERT_TRUE(waitUntil(
            [&] { return recordOf(f, live) && recordOf(f, live)->state == BookingRecord::State::saved; },
            scaledMs(20000)));
        second = recordOf(f, live)->id;
    }
    EXPECT_FALSE(timer->isInUse()) << "both halves left with their bookings";
    std::size_t more = 0;
    switch (between) {
    case Between::nothing:
        break;
    case Between::restart:
        timer.reset();
        timer = f.nextStart();
        f.lookUps(f.tracker()).start();
        break;
    case Between::kill:
        timer.reset();
        timer = f.nextStartAfterAKill();
        f.lookUps(f.tracker()).start();
        break;
    case Between::fourMore:
        for (; more < 4; ++more) {
            timer->start(trackedProject(F::kind), trackedTask(F::kind));
            advance(*timer, 600);
            timer->pause();
            LiveSheet<F> live(f, *timer);
            live.save();
            ASSERT_TRUE(waitUntil(
                [&] { return recordOf(f, live) && recordOf(f, live)->state == BookingRecord::State::saved; },
                scaledMs(20000)));
        }
        f.settle();
        EXPECT_FALSE(f.records().record(second).has_value()) << "the second's record was not crowded out";
        break;
    }
    f.server().passListTime(90'000);
    lookUpToTheEnd(f, first);
    const auto one = f.records().record(first);
    const auto other = f.records().record(second);
    ASSERT_TRUE(one.has_value());
    if (between == Between::nothing) {
        ASSERT_TRUE(other.has_value());
        EXPECT_EQ(other->state, BookingRecord::State::saved);
    }
    if (firstStored) {
        EXPECT_EQ(one->state, BookingRecord::State::saved) << "both stored: two entries, two saved records";
        EXPECT_NE(one->entryId, other->entryId) << "one entry taken by two bookings";
        EXPECT_EQ(f.made(), 2u);
    } else {
        EXPECT_NE(one->state, BookingRecord::State::saved)
            << "the other booking's entry was taken: time lost";
        EXPECT_DOUBLE_EQ(timer->elapsed() + (one->holdsSeconds() ? one->booking.seconds : 0), tracked / 2)
            << "the first half is back for the user";
        EXPECT_EQ(f.made(), 1u + more);
    }
}

// A booking answered with the answer of an earlier one (a retrying proxy, a cache), of the same
// minutes on the task, while the tracker stored nothing: no save, whatever the answer proves of
// its type, minutes and task; it is looked up, and its time comes back for the user.
template <typename F> void aRepeatedAnswer(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    {
        LiveSheet<F> live(f, *timer, tracked / 2);
        live.save();
        ASSERT_TRUE(waitUntil(
            [&] { return recordOf(f, live) && recordOf(f, live)->state == BookingRecord::State::saved; },
            scaledMs(20000)));
    }
    f.answerOnce("POST", F::bookingPath, f.lastAnswerAgain());
    QUuid second;
    {
        LiveSheet<F> live(f, *timer, tracked / 2);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        second = recordOf(f, live)->id;
        EXPECT_NE(recordOf(f, live)->state, BookingRecord::State::saved)
            << "another's answer taken for a save";
        EXPECT_FALSE(live.sheet->isDismissed()) << "the sheet closed as if it was saved";
    }
    lookUpToTheEnd(f, second);
    const auto record = f.records().record(second);
    ASSERT_TRUE(record.has_value());
    EXPECT_NE(record->state, BookingRecord::State::saved) << "the other booking's entry was taken";
    EXPECT_DOUBLE_EQ(timer->elapsed() + (record->holdsSeconds() ? record->booking.seconds : 0), tracked / 2)
        << "the half hour is back for the user";
    EXPECT_EQ(f.made(), 1u);
}

// Time handed back while the timer tracks another task waits on the strip; Book It, and the
// tracker refuses (each of `refusals` in turn): the time stays on that record every time,
// and the strip says where it is. Two such bookings refused end with both times held.
template <typename F> void bookItRefused(F& f, const std::vector<int>& refusals) {
    f.prepare();
    auto timer = stoppedTimer(f);
    BookingRecovery& lookUps = f.lookUps(f.tracker());
    BookingStatusView status(f.records(), &lookUps, kKey);
    status.show();
    // Two halves of the timer's time booked, each answered 503 with nothing stored; the timer
    // then tracks another task, so when their windows end the time has nowhere to go but the
    // strip.
    std::vector<QUuid> held;
    for (int half = 0; half < 2; ++half) {
        f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 503));
        LiveSheet<F> live(f, *timer, tracked / 2);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        held.push_back(*live.sheet->bookingRecord());
        live.sheet->reject();
    }
    Issue other = trackedTask(F::kind);
    other.id = QStringLiteral("other");
    other.reference = QStringLiteral("OTHER-2");
    timer->start(trackedProject(F::kind), other);
    for (const QUuid& id : held) {
        lookUpToTheEnd(f, id);
    }
    ASSERT_EQ(timer->task()->id, QStringLiteral("other"));
    for (const QUuid& id : held) {
        ASSERT_EQ(f.records().record(id)->state, BookingRecord::State::returned);
    }
    for (int refusal : refusals) {
        for (const QUuid& id : held) {
            SCOPED_TRACE(refusal);
            f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", refusal));
            LiveSheet<F> again(f, *timer, static_cast<double>(f.records().record(id)->booking.seconds),
                               BookTimeView::Source::manual);
            again.sheet->setReplacing(id);
            again.save();
            EXPECT_EQ(again.sheet->bookingRecord(), std::optional<QUuid>(id))
                << "the time kept its one record";
            ASSERT_TRUE(waitUntil([&] { return !again.form->networkRequestInProgress(); }, scaledMs(20000)));
            f.settle();
            const auto record = f.records().record(id);
            ASSERT_TRUE(record.has_value());
            EXPECT_EQ(record->state, BookingRecord::State::returned) << "refused, the time must stay";
            EXPECT_EQ(record->booking.seconds, tracked / 2);
            // The sheet says where the time is; it may close without taking it.
            const QString said = again.sheet->stateLabel()->text();
            EXPECT_FALSE(said.contains(QStringLiteral("back on the timer"))) << said.toStdString();
            EXPECT_TRUE(said.contains(QStringLiteral("waits"))) << said.toStdString();
            again.sheet->reject();
        }
    }
    for (const QUuid& id : held) {
        ASSERT_NE(status.row(id), nullptr);
        QString shown;
        for (const QLabel* label : status.row(id)->findChildren<QLabel*>()) {
            shown += label->text() + QLatin1Char('\n');
        }
        EXPECT_TRUE(shown.contains(QStringLiteral("waits here"))) << shown.toStdString();
        EXPECT_FALSE(shown.contains(QStringLiteral("back on the timer"))) << shown.toStdString();
        EXPECT_NE(status.button(id, BookingTexts::bookItButton), nullptr);
    }
    EXPECT_EQ(f.records().heldNotes(kKey).size(), 2) << "both times held";
    EXPECT_EQ(f.made(), 0u);
    EXPECT_EQ(timer->task()->id, QStringLiteral("other")) << "the other task's timer left alone";
}

// A look-up the tracker refuses for a while (429 with Retry-After) is not asked again
// sooner, and the strip names the time it will be.
template <typename F> void aRateLimitedLookUpWaitsItsRetryAfter(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    BookingRecovery& lookUps = f.lookUps(f.tracker());
    BookingStatusView status(f.records(), &lookUps, kKey);
    status.show();
    f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 503).withDelay(scaledMs(1000)));
    QUuid id;
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        // The read of what was there is done: the next read is the look-up's.
        f.answerOnce("GET", F::readPath, FakeResponse::json("{}", 429).withHeader("Retry-After", "120"));
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto record = recordOf(f, live);
                return record && record->lookUp == BookingRecord::LookUp::failed;
            },
            scaledMs(20000)));
        id = recordOf(f, live)->id;
        live.sheet->reject();
    }
    f.settle();
    const auto record = f.records().record(id);
    ASSERT_TRUE(record->nextLookUpWall.has_value());
    ASSERT_TRUE(record->lookedUpAt.has_value());
    EXPECT_GE(record->lookedUpAt->secsTo(*record->nextLookUpWall), 119) << "asked again before Retry-After";
    const QString detail = BookingTexts::line(*record, f.records()).detail;
    EXPECT_TRUE(detail.contains(
        BookingTexts::until(*record->nextLookUpWall, f.records().environment().currentTime())))
        << detail.toStdString();
    const int failures = record->lookUpFailures;
    f.pass(60'000);
    EXPECT_EQ(f.records().record(id)->lookUpFailures, failures) << "asked again inside the Retry-After";
    EXPECT_FALSE(lookUps.isLookingUp(id));
}

} // namespace

#define VELMORA_ONE_HOME_TESTS(Fixture)                                                                      \
    TEST_F(Fixture, TwoLookAlikeBookingsTheFirstNotStoredNeverTakesTheSecondsEntry) {                        \
        twoLookAlikeBookings(*this, false);                                                                  \
    }                                                                                                        \
    TEST_F(Fixture, TwoLookAlikeBookingsBothStoredEndInTwoEntriesAndTwoSavedRecords) {                       \
        twoLookAlikeBookings(*this, true);                                                                   \
    }                                                                                                        \
    TEST_F(Fixture, TwoLookAlikeBookingsARestartBetweenNeverGivesTheSecondsEntryToTheFirst) {                \
        twoLookAlikeBookings(*this, false, Between::restart);                                                \
    }                                                                                                        \
    TEST_F(Fixture, TwoLookAlikeBookingsAKillBetweenNeverGivesTheSecondsEntryToTheFirst) {                   \
        twoLookAlikeBookings(*this, false, Between::kill);                                                   \
    }                                                                                                        \
    TEST_F(Fixture, TwoLookAlikeBookingsFourMoreBetweenNeverGiveTheSecondsEntryToTheFirst) {                 \
        twoLookAlikeBookings(*this, false, Between::fourMore);                                               \
    }                                                                                                        \
    TEST_F(Fixture, AnAnswerRepeatedFromAnEarlierBookingIsNoSave) {                                          \
        aRepeatedAnswer(*this);                                                                              \
    }                                                                                                        \
    TEST_F(Fixture, ALookUpRateLimitedWaitsItsRetryAfterAndSaysWhen) {                                       \
        aRateLimitedLookUpWaitsItsRetryAfter(*this);                                                         \
    }

VELMORA_ONE_HOME_TESTS(BookingRecoveryTest)
VELMORA_ONE_HOME_TESTS(AsanaBookingRecoveryTest)
VELMORA_ONE_HOME_TESTS(YouTrackBookingRecoveryTest)

TEST_F(BookingRecoveryTest, ReturnedTimeBookedAgainAndRefusedStaysOnItsRecord) {
    bookItRefused(*this, {403});
}
TEST_F(AsanaBookingRecoveryTest, ReturnedTimeBookedAgainAndRefusedStaysOnItsRecord) {
    bookItRefused(*this, {403, 429});
}
TEST_F(YouTrackBookingRecoveryTest, ReturnedTimeBookedAgainAndRefusedStaysOnItsRecord) {
    bookItRefused(*this, {400, 401, 403});
}

TEST_F(AsanaBookingRecoveryTest, AKeptBookingOnAColleaguesTaskIsFoundWithoutAQuestion) {
    addTask(QStringLiteral("u2"));
    addLookAlike(now().addSecs(-30));
    killKept(0);
    if (HasFatalFailure()) {
        return;
    }
    expectFound(*this, recover(service()));
}
