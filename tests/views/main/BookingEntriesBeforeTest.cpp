// What was there before a booking left tells it apart from look-alikes, under the tracker's odd clocks,
// for Asana and YouTrack, whose entries are dated by the day; and what a kill leaves of a question and of
// a typed time.

#include "tests/views/main/BookingKillHarness.h"

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::bookings;

namespace {

// The tracker's stamp `ms` from `moment` of this machine's clock.
template <typename F> QDateTime onTheStampClock(F& f, qint64 moment, qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(moment + ms, QTimeZone::utc())
        .addMSecs(f.server().stampNow().msecsTo(f.server().now()) * -1 + f.server().clockOffset());
}

// A look-alike made `aroundMs` from the moment Save is clicked (at `fraction` of its
// second), there before the sheet opened; the booking is then dropped or kept.
template <typename F> Outcome lookAlikeAroundTheSave(F& f, qint64 aroundMs, double fraction, bool kept) {
    f.prepare();
    const qint64 click = f.saveLater(fraction);
    f.addLookAlike(onTheStampClock(f, click, aroundMs));
    if (kept) {
        f.killKept(0);
    } else {
        f.killDropped();
    }
    f.saveAt.reset();
    return f.recover(f.tracker());
}

// A look-alike made 30 s before the booking left, there before the sheet opened, under
// the tracker's odd clocks `setUp` makes; the booking is then dropped or kept.
template <typename F> Outcome lookAlikeUnderOddClocks(F& f, const std::function<void()>& setUp, bool kept) {
    f.prepare();
    setUp();
    f.addLookAlike(f.server().stampNow().addSecs(-30));
    if (kept) {
        f.killKept(0);
    } else {
        f.killDropped();
    }
    return f.recover(f.tracker());
}

// Two look-alikes made elsewhere as the booking arrived (after the sheet read what was
// there): which is it, if either, is asked.
template <typename F> void killWithAQuestion(F& f) {
    f.prepare();
    f.killDropped([&f] {
        f.addLookAlike(f.server().stampNow().addMSecs(500));
        f.addLookAlike(f.server().stampNow().addMSecs(800));
    });
}

// Booked, found only by a later check: Later after an offline check, an hour more on the
// timer, then Try Again.
template <typename F> void foundLater(F& f) {
    f.prepare();
    f.killKept();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    auto timer = f.nextStart();
    const QUuid id = f.theRecord()->id;
    f.server().stop();
    f.lookUps(f.tracker()).start();
    ASSERT_TRUE(
        waitUntil([&] { return f.records().record(id)->lookUp == BookingRecord::LookUp::failed; }, 10000));
    // The timer is free meanwhile: an hour on the task, of its own.
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    std::static_pointer_cast<ManualClock>(timer->clock())->advance(3600 * 1000);
    timer->pause();
    ASSERT_TRUE(f.server().start());
    f.lookUps(f.tracker()).lookUpNow(id);
    ASSERT_TRUE(
        waitUntil([&] { return f.records().record(id)->state == BookingRecord::State::saved; }, 10000));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600) << "the timer's own hour is untouched";
    EXPECT_EQ(timer->task(), trackedTask(F::kind));
    EXPECT_EQ(f.made(), 1u);
}

template <typename F> void questionLeftOpen(F& f) {
    killWithAQuestion(f);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    Outcome outcome = f.recover(f.tracker());
    ASSERT_TRUE(outcome.asked.has_value());
    EXPECT_DOUBLE_EQ(outcome.held, tracked);
    EXPECT_TRUE(outcome.recordKept) << "until the question is answered";
    // Quit unanswered: the next start asks again.
    outcome = f.recover(f.tracker());
    ASSERT_TRUE(outcome.asked.has_value());
    EXPECT_DOUBLE_EQ(outcome.held, tracked);
}

template <typename F> void itWasSavedThenAKill(F& f) {
    killWithAQuestion(f);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    // An hour on the timer before the next start asks.
    {
        auto timer = f.nextStart();
        timer->start(trackedProject(F::kind), trackedTask(F::kind));
        std::static_pointer_cast<ManualClock>(timer->clock())->advance(3600 * 1000);
        timer->pause();
    }
    f.runChild(F::kind, f.host(), QStringLiteral("confirm"));
    auto timer = f.nextStart();
    EXPECT_FALSE(f.theRecord().has_value()) << "answered, and settled";
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600) << "the booked 90 minutes never came back";
}

template <typename F> void typedThenAKill(F& f) {
    f.runChild(F::kind, f.host(), QStringLiteral("type"), "typed");
    auto timer = f.nextStart();
    EXPECT_DOUBLE_EQ(timer->elapsed(), typed);
    EXPECT_EQ(timer->task(), trackedTask(F::kind));
}

} // namespace

#define VELMORA_BEFORE_THE_BOOKING_TESTS(Fixture)                                                            \
    TEST_F(Fixture, ALookAlikeMadeJustBeforeTheDroppedBookingLeftIsNotIt) {                                  \
        expectKeptAndToldBeside(*this, lookAlikeAroundTheSave(*this, -300, 0.5, false));                     \
    }                                                                                                        \
    TEST_F(Fixture, ALookAlikeMadeJustAfterTheDroppedBookingLeftIsNotIt) {                                   \
        expectKeptAndToldBeside(*this, lookAlikeAroundTheSave(*this, 900, 0.5, false));                      \
    }                                                                                                        \
    TEST_F(Fixture, ALookAlikeMadeJustBeforeASaveLateInItsSecondIsNotIt) {                                   \
        expectKeptAndToldBeside(*this, lookAlikeAroundTheSave(*this, -300, 0.95, false));                    \
    }                                                                                                        \
    TEST_F(Fixture, ALookAlikeMadeJustAfterASaveLateInItsSecondIsNotIt) {                                    \
        expectKeptAndToldBeside(*this, lookAlikeAroundTheSave(*this, 900, 0.95, false));                     \
    }                                                                                                        \
    TEST_F(Fixture, AKeptBookingBesideALookAlikeJustBeforeItIsFoundWithoutAQuestion) {                       \
        expectFound(*this, lookAlikeAroundTheSave(*this, -300, 0.95, true));                                 \
    }                                                                                                        \
    TEST_F(Fixture, TwoTrackerClocks40SecondsApartLoseNoDroppedBooking) {                                    \
        expectKeptAndToldBeside(*this, lookAlikeUnderOddClocks(                                              \
                                           *this, [this] { server().setSecondClock(40'000); }, false));      \
    }                                                                                                        \
    TEST_F(Fixture, TwoTrackerClocks40SecondsApartStillFindTheKeptBooking) {                                 \
        expectFound(*this, lookAlikeUnderOddClocks(                                                          \
                               *this, [this] { server().setSecondClock(40'000); }, true));                   \
    }                                                                                                        \
    TEST_F(Fixture, ADateFromACacheLosesNoDroppedBooking) {                                                  \
        expectKeptAndToldBeside(*this, lookAlikeUnderOddClocks(                                              \
                                           *this, [this] { server().setCachedDates(120); }, false));         \
    }                                                                                                        \
    TEST_F(Fixture, ADateFromACacheStillFindsTheKeptBooking) {                                               \
        expectFound(*this, lookAlikeUnderOddClocks(                                                          \
                               *this, [this] { server().setCachedDates(120); }, true));                      \
    }                                                                                                        \
    TEST_F(Fixture, StampsAMinuteAheadOfTheDateLoseNoDroppedBooking) {                                       \
        expectKeptAndToldBeside(*this, lookAlikeUnderOddClocks(                                              \
                                           *this, [this] { server().setStampOffset(60'000); }, false));      \
    }                                                                                                        \
    TEST_F(Fixture, StampsAMinuteAheadOfTheDateStillFindTheKeptBooking) {                                    \
        expectFound(*this, lookAlikeUnderOddClocks(                                                          \
                               *this, [this] { server().setStampOffset(60'000); }, true));                   \
    }                                                                                                        \
    TEST_F(Fixture, ABookingFoundByALaterCheckTakesOffOnlyItsSeconds) {                                      \
        foundLater(*this);                                                                                   \
    }                                                                                                        \
    TEST_F(Fixture, AQuestionLeftOpenIsAskedAgainAtTheNextStart) {                                           \
        questionLeftOpen(*this);                                                                             \
    }                                                                                                        \
    TEST_F(Fixture, ItWasSavedAndAKillOnceItIsTakenKeepTheAnswer) {                                          \
        itWasSavedThenAKill(*this);                                                                          \
    }                                                                                                        \
    TEST_F(Fixture, ATypedTimeSurvivesAKill) {                                                               \
        typedThenAKill(*this);                                                                               \
    }

VELMORA_BEFORE_THE_BOOKING_TESTS(AsanaBookingRecoveryTest)
VELMORA_BEFORE_THE_BOOKING_TESTS(YouTrackBookingRecoveryTest)
