// What the app did not see of a booking's answer, for the three trackers: a read held, a sheet closed,
// the notes unwritable, an answer late, dropped or not the entry, a clock set, another task started, a 503;
// one record is the truth of each outcome, and the words say what happened.

#include "tests/views/main/BookingKillHarness.h"

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::bookings;

namespace {

// The sheet's read of what was there held `heldMs` at the tracker (the child's first read,
// before its sheet, is answered): Save leaves within its bound of the click, without the
// list, and the booking is still judged right after a kill during its POST.
template <typename F> void aReadHeldThenAKill(F& f, int heldMs) {
    f.prepare();
    const qint64 click = f.saveLater(0.5);
    f.server().slowAnswers(heldMs, "GET", F::readPath, 1);
    f.killKept();
    f.server().slowAnswers(0, {}, {});
    f.saveAt.reset();
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    {
        auto timer = f.nextStart();
        const auto record = f.theRecord();
        ASSERT_TRUE(record.has_value());
        ASSERT_TRUE(record->booking.sent.has_value());
        const qint64 left = record->booking.sent->toMSecsSinceEpoch() - click;
        EXPECT_GE(left, AbstractWorkLogForm::entriesWaitBound.count() - 50) << "the read had no chance";
        EXPECT_LT(left, AbstractWorkLogForm::entriesWaitBound.count() + scaledMs(1500))
            << "Save waited on the read past its bound";
        EXPECT_FALSE(record->booking.before.has_value()) << "it left without the list";
    }
    expectReset(f.recover(f.tracker()));
    EXPECT_EQ(f.made(), 1u) << "nothing is booked twice";
}

// The sheet closed while its Save waited for the read (held 35 s): nothing leaves. Then
// the time is booked again from a new sheet (after the timer ran on, when `resumed`): one
// entry on the tracker, and nothing already booked left on the timer.
template <typename F> void closedWhileSaveWaits(F& f, bool resumed) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.server().slowAnswers(35000, "GET", F::readPath);
    {
        LiveSheet<F> first(f, *timer);
        first.sheet->save();
        ASSERT_TRUE(first.form->networkRequestInProgress()) << "Save waits for the read on its way";
        first.sheet->reject();
        EXPECT_FALSE(first.form->networkRequestInProgress()) << "the booking was called off";
        // Past the moment the wait's bound would have sent it.
        bool passed = false;
        QTimer::singleShot(AbstractWorkLogForm::entriesWaitBound + std::chrono::milliseconds(500),
                           [&] { passed = true; });
        ASSERT_TRUE(waitUntil([&] { return passed; }, 10000));
        EXPECT_TRUE(f.server().requestsTo(F::bookingPath, "POST").isEmpty())
            << "a booking left a closed sheet";
    }
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
    EXPECT_TRUE(f.records().records().empty()) << "no record of a booking never sent";
    f.server().slowAnswers(0, {}, {});
    if (resumed) {
        timer->resume();
        advance(*timer, 600);
        timer->pause();
    }
    const double held = timer->elapsed();
    LiveSheet<F> again(f, *timer);
    again.save();
    ASSERT_TRUE(waitUntil([&] { return f.made() == 1 && again.sheet->isDismissed(); }, scaledMs(10000)))
        << "made " << f.made();
    settledAtTheTracker(f, {again.form.get()});
    EXPECT_EQ(f.made(), 1u) << "one entry for the time";
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
    EXPECT_FALSE(timer->isInUse());
    EXPECT_GT(held, 0);
}

// The booking left, then its sheet was closed and the timer ran on: the time tracked
// since is booked on its own, and the first answer, when it comes, settles only the
// first booking; nothing is booked twice.
template <typename F> void closedAfterTheBookingLeft(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.server().slowAnswers(scaledMs(2500), "POST", F::bookingPath);
    {
        LiveSheet<F> first(f, *timer);
        first.save();
        ASSERT_TRUE(waitUntil([&] { return f.made() == 1; }, scaledMs(10000)));
        ASSERT_TRUE(first.form->networkRequestInProgress()) << "the answer is still on its way";
        EXPECT_FALSE(timer->isInUse()) << "the booked time left with the booking";
        first.sheet->reject();
        delete first.sheet.data();
        timer->start(trackedProject(F::kind), trackedTask(F::kind));
        advance(*timer, 600);
        timer->pause();
        // The ten minutes since are booked from a new sheet.
        LiveSheet<F> second(f, *timer);
        EXPECT_EQ(second.sheet->durationField()->text(), QStringLiteral("10m"));
        second.save();
        ASSERT_TRUE(waitUntil([&] { return f.made() == 2; }, scaledMs(10000)));
        ASSERT_TRUE(waitUntil([&] { return second.sheet->isDismissed(); }, scaledMs(10000)));
        settledAtTheTracker(f, {first.form.get(), second.form.get()});
    }
    EXPECT_EQ(f.made(), 2u);
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 2);
    EXPECT_FALSE(timer->isInUse());
    for (const BookingRecord& record : f.records().records()) {
        EXPECT_EQ(record.state, BookingRecord::State::saved);
    }
}

// The folder of the app's notes cannot take the record at Save (`block` makes it so):
// nothing is sent, the user reads why, and the time stays on the timer.
template <typename F> void noRecordNoBooking(F& f, const std::function<Write(const QString& file)>& block) {
    f.prepare();
    auto timer = stoppedTimer(f);
    LiveSheet<F> live(f, *timer);
    waitUntil([&] { return !live.form->networkRequestInProgress() && live.form->knowsEntriesBefore(); },
              10000);
    Write blocked = block(f.folder.filePath(QStringLiteral("Velmora.plist")));
    live.sheet->save();
    EXPECT_TRUE(waitUntil([&] { return live.sheet->alert() != nullptr; }, 5000));
    ASSERT_TRUE(live.sheet->alert());
    const QString shown = live.sheet->alert()->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Velmora couldn't save its note of this booking: ")))
        << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral(". Nothing was sent."))) << shown.toStdString();
    blocked.reset();
    EXPECT_FALSE(live.form->networkRequestInProgress()) << "held back before anything left";
    settledAtTheTracker(f, {live.form.get()});
    EXPECT_TRUE(f.server().requestsTo(F::bookingPath, "POST").isEmpty())
        << "a booking left without its record";
    EXPECT_EQ(f.made(), 0u);
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
    EXPECT_TRUE(f.records().records().empty());
    EXPECT_FALSE(live.sheet->isDismissed()) << "the sheet stays, to try again";
}

// The booking's answer never came (`unseen` sets up how): the sheet says why and that
// the tracker is being asked, never that it wasn't saved; the booking is looked up and
// found, and the time the timer gathered meanwhile is its own.
template <typename F> void anAnswerNotSeen(F& f, const std::function<void()>& unseen, const QString& why) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    unseen();
    LiveSheet<F> live(f, *timer);
    bool notSaved = false;
    QObject::connect(live.form.get(), &AbstractWorkLogForm::errorOccurredChanged,
                     [&](bool on) { notSaved |= on; });
    live.save();
    ASSERT_TRUE(live.sheet->bookingRecord().has_value()) << "it left at once, the read done";
    const QUuid id = *live.sheet->bookingRecord();
    // The timer runs on while the booking is on its way.
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    advance(*timer, 600);
    ASSERT_TRUE(waitUntil([&] { return lookedUp(f.records().record(id)); }, scaledMs(20000)));
    if (live.sheet) {
        EXPECT_TRUE(live.sheet->stateLabel()->text().contains(why))
            << live.sheet->stateLabel()->text().toStdString();
        EXPECT_FALSE(live.sheet->stateLabel()->text().contains(QStringLiteral("Can't reach")));
        EXPECT_FALSE(showsAlert(live.sheet, BookTimeView::notSavedTitle));
    }
    EXPECT_FALSE(notSaved) << "an answer not seen was called a failure";
    ASSERT_TRUE(askUntil(
        f, id, [&] { return f.records().record(id)->state == BookingRecord::State::saved; },
        scaledMs(20000)));
    EXPECT_EQ(f.made(), 1u);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600) << "the timer's own ten minutes";
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
    EXPECT_TRUE(live.sheet.isNull() || live.sheet->isDismissed()) << "the sheet closed once it was found";
}

// --- one record is the truth of a booking's outcome -------------------------------------

// The booking reached the tracker, whose gateway answered 504; its list lags 90 s. The
// sheet left open follows the record: it books nothing more (Save and Return alike), and
// closes once a look-up finds the booking.
template <typename F> void aSheetLeftOpenAcrossTheLookUp(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    f.server().setListLag(90'000);
    f.server().replaceAnswerOnce(FakeResponse::json("{}", 504), "POST", F::bookingPath);
    LiveSheet<F> live(f, *timer);
    live.save();
    ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
    const auto record = recordOf(f, live);
    ASSERT_EQ(record->state, BookingRecord::State::unknown);
    EXPECT_EQ(record->lookUp, BookingRecord::LookUp::nothingListed);
    ASSERT_FALSE(live.sheet->isDismissed()) << "left open";
    EXPECT_FALSE(live.sheet->saveButton()->isEnabled());
    EXPECT_EQ(live.sheet->cancelButton()->text(), QStringLiteral("Close"));
    const QString said = live.sheet->stateLabel()->text();
    EXPECT_TRUE(said.contains(QStringLiteral("HTTP 504"))) << said.toStdString();
    EXPECT_TRUE(said.contains(
        BookingTexts::until(f.records().windowEndsAt(*record), f.records().environment().currentTime())))
        << said.toStdString();
    EXPECT_FALSE(said.contains(QStringLiteral("try again"), Qt::CaseInsensitive)) << said.toStdString();
    EXPECT_FALSE(said.contains(QStringLiteral("when Velmora stopped"))) << said.toStdString();
    // Return in the duration and Save do the same: nothing while the time is on hold.
    live.sheet->durationField()->setFocus();
    QTest::keyClick(live.sheet->durationField(), Qt::Key_Return);
    live.sheet->save();
    EXPECT_FALSE(live.sheet->isDismissed());
    EXPECT_FALSE(live.sheet->alert()) << "no notice: the sheet already says what holds it";
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
    // The list catches up; the next look-up finds it.
    f.server().passListTime(90'000);
    f.pass(BookingRecovery::recheckDelay);
    ASSERT_TRUE(
        waitUntil([&] { return recordOf(f, live)->state == BookingRecord::State::saved; }, scaledMs(20000)));
    ASSERT_TRUE(waitUntil([&] { return live.sheet.isNull() || live.sheet->isDismissed(); }, 5000));
    if (live.sheet) {
        live.sheet->save();
    }
    settledAtTheTracker(f, {live.form.get()});
    EXPECT_EQ(f.made(), 1u) << "one entry";
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
    EXPECT_FALSE(timer->isInUse());
}

// The app stops inside the window (`stop` makes it so: a kill, a quit) while the tracker
// holds the booking but lists it 90 s late: the next start goes on with the window, never
// says it may not have been saved, never gives the time back; found, it is booked once.
template <typename F> void aStopInsideTheWindowKeepsIt(F& f, bool kill) {
    f.prepare();
    f.server().setListLag(90'000);
    if (kill) {
        f.killKept();
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    } else {
        auto timer = stoppedTimer(f);
        f.server().replaceAnswerOnce(FakeResponse::json("{}", 504), "POST", F::bookingPath);
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return recordOf(f, live)->state == BookingRecord::State::unknown; },
                              scaledMs(20000)));
        f.pass(100'000);
    }
    // The next start (the run before goes whole: sheet, form, timer, records, look-ups).
    auto timer = f.nextStart();
    const auto before = f.theRecord();
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->state, BookingRecord::State::unknown);
    EXPECT_EQ(before->stoppedWhileLeaving, kill) << "stopped while on its way only when killed so";
    EXPECT_EQ(BookingTexts::whyUnknown(*before).contains(QStringLiteral("when Velmora stopped")), kill);
    const QUuid id = before->id;
    f.lookUps(f.tracker()).start();
    ASSERT_TRUE(waitUntil([&] { return lookedUp(f.records().record(id)); }, scaledMs(20000)));
    EXPECT_EQ(f.records().record(id)->state, BookingRecord::State::unknown) << "told inside the window";
    EXPECT_FALSE(timer->isInUse()) << "the time was given back as unbooked";
    f.server().passListTime(90'000);
    f.pass(BookingRecovery::recheckDelay);
    ASSERT_TRUE(waitUntil([&] { return f.records().record(id)->state == BookingRecord::State::saved; },
                          scaledMs(20000)));
    EXPECT_FALSE(timer->isInUse());
    EXPECT_EQ(f.made(), 1u);
}

// A 2xx that is not the tracker's new entry (`answer`, with nothing stored) saves
// nothing: the time is kept on the record, looked up, never reset; the window's end
// gives it back. A redirect of the booking is its answer, never followed as a GET.
template <typename F>
void anAnswerThatIsNotTheEntry(F& f, const FakeResponse& answer, APIError::Cause cause) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    f.server().on("GET", "/login", FakeResponse::signInPage());
    f.answerOnce("POST", F::bookingPath, answer);
    LiveSheet<F> live(f, *timer);
    live.save();
    ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
    auto record = recordOf(f, live);
    ASSERT_EQ(record->state, BookingRecord::State::unknown) << "taken for a save";
    ASSERT_TRUE(record->unseen.has_value());
    EXPECT_EQ(record->unseen->cause(), cause);
    EXPECT_EQ(record->lookUp, BookingRecord::LookUp::nothingListed) << "looked up";
    EXPECT_DOUBLE_EQ(timer->elapsed() + static_cast<double>(record->booking.seconds), tracked) << "time lost";
    EXPECT_FALSE(live.sheet->isDismissed());
    EXPECT_TRUE(f.server().requestsTo(QStringLiteral("/login")).isEmpty())
        << "the booking was followed as a GET";
    f.pass(f.records().windowLeft(*record) + 1000);
    ASSERT_TRUE(waitUntil([&] { return recordOf(f, live)->state != BookingRecord::State::unknown; },
                          scaledMs(20000)));
    EXPECT_EQ(recordOf(f, live)->state, BookingRecord::State::notSaved);
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked) << "back on the timer";
    EXPECT_EQ(f.made(), 0u);
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
}

// The wall clock set forward an hour inside the window neither ends it (the booking,
// listed late, is found: one entry), nor, set back an hour, does it hold the time past
// the window's length.
template <typename F> void aClockSetInsideTheWindow(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    f.server().setListLag(90'000);
    f.server().replaceAnswerOnce(FakeResponse::json("{}", 504), "POST", F::bookingPath);
    QUuid first;
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        first = recordOf(f, live)->id;
    }
    advance(*timer, 3600);
    f.pass(BookingRecovery::recheckDelay);
    ASSERT_TRUE(waitUntil(
        [&] {
            return f.records().record(first)->lookedUpAt.has_value() &&
                   !f.lookUps(f.tracker()).isLookingUp(first);
        },
        scaledMs(20000)));
    EXPECT_EQ(f.records().record(first)->state, BookingRecord::State::unknown)
        << "an hour on the wall clock ended the window";
    f.server().passListTime(90'000);
    f.pass(BookingRecovery::recheckDelay);
    ASSERT_TRUE(waitUntil([&] { return f.records().record(first)->state == BookingRecord::State::saved; },
                          scaledMs(20000)));
    EXPECT_EQ(f.made(), 1u);

    // Another booking, which the tracker refuses to store (503); the clock set back.
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    advance(*timer, tracked);
    timer->pause();
    f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 503));
    LiveSheet<F> live(f, *timer);
    live.save();
    ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
    const QUuid second = recordOf(f, live)->id;
    advance(*timer, -3600);
    f.pass(BookingRecords::arrivalWindow * 1000 - 5000);
    EXPECT_EQ(f.records().record(second)->state, BookingRecord::State::unknown);
    f.pass(6000);
    ASSERT_TRUE(waitUntil([&] { return f.records().record(second)->state != BookingRecord::State::unknown; },
                          scaledMs(20000)))
        << "held past the window's length";
    EXPECT_EQ(f.records().record(second)->state, BookingRecord::State::notSaved);
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
    EXPECT_EQ(f.made(), 1u);
}

// Another task starts at once while a booking is unknown; the held seconds are booked
// once (the tracker had them: found) or come back (it did not: they wait for the user,
// the timer being on another task, and are booked from there), never lost or twice.
template <typename F> void anotherTaskWhileABookingIsUnknown(F& f, bool stored) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.lookUps(f.tracker());
    f.server().setListLag(90'000);
    if (stored) {
        f.server().replaceAnswerOnce(FakeResponse::json("{}", 504), "POST", F::bookingPath);
    } else {
        f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 504));
    }
    QUuid id;
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        id = recordOf(f, live)->id;
        live.sheet->reject();
    }
    Issue other = trackedTask(F::kind);
    other.id = QStringLiteral("other");
    other.reference = QStringLiteral("OTHER-2");
    timer->start(trackedProject(F::kind), other);
    EXPECT_FALSE(timer->hasPendingStart()) << "the switch waited for the held time";
    ASSERT_TRUE(timer->task().has_value());
    EXPECT_EQ(timer->task()->id, QStringLiteral("other"));
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
    advance(*timer, 300);
    f.server().passListTime(90'000);
    if (stored) {
        f.pass(BookingRecovery::recheckDelay);
        ASSERT_TRUE(waitUntil([&] { return f.records().record(id)->state == BookingRecord::State::saved; },
                              scaledMs(20000)));
    } else {
        f.pass(f.records().windowLeft(*f.records().record(id)) + 1000);
        ASSERT_TRUE(waitUntil([&] { return f.records().record(id)->state == BookingRecord::State::returned; },
                              scaledMs(20000)));
        EXPECT_EQ(f.records().heldNotes(kKey).size(), 1);
        // "Book It": a sheet for the returned seconds, booked in their record's place.
        const auto returned = *f.records().record(id);
        LiveSheet<F> again(f, *timer, static_cast<double>(returned.booking.seconds),
                           BookTimeView::Source::manual);
        again.sheet->setReplacing(id);
        again.save();
        ASSERT_TRUE(
            waitUntil([&] { return again.sheet.isNull() || again.sheet->isDismissed(); }, scaledMs(20000)));
        EXPECT_EQ(again.sheet->bookingRecord(), std::optional<QUuid>(id))
            << "the returned time kept its record";
        EXPECT_EQ(f.records().record(id)->state, BookingRecord::State::saved);
    }
    // Every sheet is gone, each once its request had ended.
    settledAtTheTracker(f, {});
    EXPECT_EQ(f.made(), 1u) << "booked once";
    EXPECT_EQ(timer->task()->id, QStringLiteral("other"));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 300) << "the other task's time is its own";
    EXPECT_TRUE(f.records().heldNotes(kKey).isEmpty());
}

// A 503 that stored nothing: the main window shows the booking on hold and until when;
// once the tracker answered that it does not list it, the user may book it again at once,
// told it may end up there twice; booked again, there is one entry.
template <typename F> void a503ThatStoredNothing(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    BookingRecovery& lookUps = f.lookUps(f.tracker());
    f.answerOnce("POST", F::bookingPath, FakeResponse::json("{}", 503));
    BookingStatusView status(f.records(), &lookUps, kKey);
    status.show();
    QUuid id;
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return recordOf(f, live)->state == BookingRecord::State::unknown; },
                              scaledMs(20000)));
        id = recordOf(f, live)->id;
        ASSERT_TRUE(status.isVisible());
        ASSERT_NE(status.row(id), nullptr);
        const auto labels = status.row(id)->findChildren<QLabel*>();
        QString shown;
        for (const QLabel* label : labels) {
            shown += label->text() + QLatin1Char('\n');
        }
        EXPECT_TRUE(shown.contains(BookingTexts::what(*recordOf(f, live)))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(QStringLiteral("on hold"))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(BookingTexts::until(f.records().windowEndsAt(*recordOf(f, live)),
                                                       f.records().environment().currentTime())))
            << "until when";
        EXPECT_TRUE(shown.contains(QStringLiteral("HTTP 503")));
        EXPECT_FALSE(shown.contains(QStringLiteral("try again"), Qt::CaseInsensitive)) << shown.toStdString();
        EXPECT_FALSE(shown.contains(QStringLiteral("when Velmora stopped")));
        ASSERT_TRUE(waitUntil([&] { return lookedUp(recordOf(f, live)); }, scaledMs(20000)));
        live.sheet->reject();
    }
    ASSERT_EQ(f.records().record(id)->lookUp, BookingRecord::LookUp::nothingListed);
    ASSERT_TRUE(waitUntil([&] { return status.button(id, BookingTexts::bookAgainButton) != nullptr; }, 5000));
    QString warning;
    for (const QLabel* label : status.row(id)->findChildren<QLabel*>()) {
        warning += label->text();
    }
    EXPECT_TRUE(warning.contains(BookingTexts::twiceWarning(*f.records().record(id), f.records())))
        << "told plainly it may end up twice";
    EXPECT_NE(status.button(id, BookingTexts::waitButton), nullptr);
    bool reopened = false;
    Cancellable bookAgain = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::bookAgainOnTimer), [&](const Notification&) { reopened = true; });
    status.button(id, BookingTexts::bookAgainButton)->click();
    ASSERT_TRUE(waitUntil([&] { return reopened; }, 5000)) << "the booking sheet opens for it";
    EXPECT_EQ(f.records().record(id)->state, BookingRecord::State::notSaved);
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked) << "back on the timer";
    LiveSheet<F> again(f, *timer);
    again.save();
    ASSERT_TRUE(
        waitUntil([&] { return again.sheet.isNull() || again.sheet->isDismissed(); }, scaledMs(20000)));
    settledAtTheTracker(f, {again.form.get()});
    EXPECT_EQ(f.made(), 1u) << "one entry on the tracker";
    EXPECT_FALSE(timer->isInUse());
}

// Each text says what happened: a slow answer says so in words after a few seconds, with
// the time it will wait; a booking found by a look-up says once that it was saved; a
// connection that broke after the booking left is no "Can't reach".
template <typename F> void theTextsSayWhatHappened(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    BookingRecovery& lookUps = f.lookUps(f.tracker());
    BookingStatusView status(f.records(), &lookUps, kKey);
    status.show();
    // The booking's answer comes six seconds late.
    f.server().slowAnswers(scaledMs(6000), "POST", F::bookingPath);
    QUuid id;
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(live.sheet->bookingRecord().has_value());
        id = recordOf(f, live)->id;
        EXPECT_FALSE(live.sheet->stateLabel()->isVisibleTo(live.sheet)) << "words before a few seconds";
        f.pass(BookingTexts::slowAfter);
        const QString said = live.sheet->stateLabel()->text();
        EXPECT_TRUE(live.sheet->stateLabel()->isVisibleTo(live.sheet));
        EXPECT_TRUE(said.contains(QStringLiteral("hasn't answered yet"))) << said.toStdString();
        EXPECT_TRUE(said.contains(QStringLiteral("until "))) << said.toStdString();
        ASSERT_NE(status.row(id), nullptr);
        ASSERT_TRUE(waitUntil([&] { return f.made() == 1; }, scaledMs(10000)));
        f.server().slowAnswers(0, {}, {});
        ASSERT_TRUE(waitUntil([&] { return recordOf(f, live)->state == BookingRecord::State::saved; },
                              scaledMs(20000)));
        EXPECT_FALSE(recordOf(f, live)->savedLater) << "its answer said so";
        EXPECT_EQ(status.row(id), nullptr) << "a save its answer told needs no word";
    }
    // A connection that broke after the booking left: looked up, found, said once.
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    advance(*timer, tracked);
    timer->pause();
    f.server().dropAnswerOnce("POST", F::bookingPath);
    {
        LiveSheet<F> live(f, *timer);
        live.save();
        ASSERT_TRUE(waitUntil([&] { return recordOf(f, live)->state != BookingRecord::State::leaving; },
                              scaledMs(20000)));
        id = recordOf(f, live)->id;
        const QString why = BookingTexts::whyUnknown(*recordOf(f, live));
        EXPECT_TRUE(why.contains(QStringLiteral("broke before"))) << why.toStdString();
        EXPECT_FALSE(why.contains(QStringLiteral("Can't reach")));
        ASSERT_TRUE(askUntil(
            f, id, [&] { return f.records().record(id)->state == BookingRecord::State::saved; },
            scaledMs(20000)));
    }
    ASSERT_NE(status.row(id), nullptr);
    QPushButton* ok = status.button(id, BookingTexts::okButton);
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(BookingTexts::line(*f.records().record(id), f.records())
                    .headline.contains(QStringLiteral("was saved")));
    ok->click();
    f.settle();
    EXPECT_FALSE(f.records().record(id).has_value()) << "said once, then gone";
    EXPECT_EQ(status.row(id), nullptr);
    EXPECT_EQ(f.made(), 2u);
    // Nothing reached the tracker (it is down): a refusal, "Can't reach", the time back.
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    advance(*timer, tracked);
    timer->pause();
    {
        LiveSheet<F> live(f, *timer);
        ASSERT_TRUE(waitUntil([&] { return live.form->knowsEntriesBefore(); }, 10000));
        f.server().stop();
        live.sheet->save();
        ASSERT_TRUE(waitUntil([&] { return live.sheet->alert() != nullptr; }, scaledMs(20000)));
        EXPECT_TRUE(showsAlert(live.sheet, QStringLiteral("Can't reach")))
            << live.sheet->alert()->informativeText().toStdString();
        f.settle();
        EXPECT_EQ(recordOf(f, live)->state, BookingRecord::State::notSaved);
        EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
        EXPECT_TRUE(live.sheet->saveButton()->isEnabled()) << "refused, it keeps the time for Save";
        ASSERT_TRUE(f.server().start());
    }
}

} // namespace

#define VELMORA_UNSEEN_ANSWER_TESTS(Fixture)                                                                 \
    TEST_F(Fixture, AReadHeld35SecondsDelaysSaveOnlyToItsBoundAndTheKilledBookingIsFound) {                  \
        aReadHeldThenAKill(*this, 35000);                                                                    \
    }                                                                                                        \
    TEST_F(Fixture, AReadHeld70SecondsDelaysSaveOnlyToItsBoundAndTheKilledBookingIsFound) {                  \
        aReadHeldThenAKill(*this, 70000);                                                                    \
    }                                                                                                        \
    TEST_F(Fixture, ASheetClosedWhileSaveWaitsBooksNothingAndTheTimeIsBookedOnce) {                          \
        closedWhileSaveWaits(*this, false);                                                                  \
    }                                                                                                        \
    TEST_F(Fixture, ASheetClosedWhileSaveWaitsThenTheTimerResumedBooksTheTimeOnce) {                         \
        closedWhileSaveWaits(*this, true);                                                                   \
    }                                                                                                        \
    TEST_F(Fixture, ABookingThatLeftAClosedSheetIsSettledByItsOwnAnswerAndNothingTwice) {                    \
        closedAfterTheBookingLeft(*this);                                                                    \
    }                                                                                                        \
    TEST_F(Fixture, AFullDiskAtSaveSendsNothingAndSaysWhy) {                                                 \
        noRecordNoBooking(*this, fullDisk);                                                                  \
    }                                                                                                        \
    TEST_F(Fixture, AFolderThatCannotBeWrittenAtSaveSendsNothingAndSaysWhy) {                                \
        noRecordNoBooking(*this, unwritableFolder);                                                          \
    }                                                                                                        \
    TEST_F(Fixture, AnAnswerAfterTheTimeOutIsLookedUpAndFoundNotCalledAFailure) {                            \
        SessionConfiguration::setProcessTimeoutCap(std::chrono::milliseconds(scaledMs(1500)));               \
        anAnswerNotSeen(                                                                                     \
            *this, [this] { server().storeLate(scaledMs(3000), "POST", bookingPath); },                      \
            QStringLiteral("didn't answer the booking in time"));                                            \
        SessionConfiguration::setProcessTimeoutCap(std::nullopt);                                            \
        server().storeLate(0, {}, {});                                                                       \
    }                                                                                                        \
    TEST_F(Fixture, AConnectionDroppedAfterThePostArrivedIsLookedUpAndFoundNotCalledAFailure) {              \
        anAnswerNotSeen(                                                                                     \
            *this, [this] { server().dropAnswerOnce("POST", bookingPath); },                                 \
            QStringLiteral("broke before"));                                                                 \
    }                                                                                                        \
    TEST_F(Fixture, ASheetLeftOpenAcrossTheLookUpsSuccessBooksOnce) {                                        \
        aSheetLeftOpenAcrossTheLookUp(*this);                                                                \
    }                                                                                                        \
    TEST_F(Fixture, AKillInsideTheWindowWithAListNinetySecondsLateBooksOnceAndHoldsTheTime) {                \
        aStopInsideTheWindowKeepsIt(*this, true);                                                            \
    }                                                                                                        \
    TEST_F(Fixture, AQuitInsideTheWindowWithAListNinetySecondsLateBooksOnceAndHoldsTheTime) {                \
        aStopInsideTheWindowKeepsIt(*this, false);                                                           \
    }                                                                                                        \
    TEST_F(Fixture, A200SignInPageWithNothingStoredIsLookedUpNeverASave) {                                   \
        anAnswerThatIsNotTheEntry(*this, FakeResponse::signInPage(), APIError::Cause::Unreadable);           \
    }                                                                                                        \
    TEST_F(Fixture, AnEmpty200WithNothingStoredIsLookedUpNeverASave) {                                       \
        anAnswerThatIsNotTheEntry(*this, FakeResponse::empty(200), APIError::Cause::Unreadable);             \
    }                                                                                                        \
    TEST_F(Fixture, ASameHost302WithNothingStoredIsLookedUpNeverFollowed) {                                  \
        anAnswerThatIsNotTheEntry(                                                                           \
            *this, FakeResponse::redirect(server().url(QStringLiteral("/login")).toEncoded()),               \
            APIError::Cause::ServerError);                                                                   \
    }                                                                                                        \
    TEST_F(Fixture, AWallClockSetForwardOrBackAnHourMovesNoWindow) {                                         \
        aClockSetInsideTheWindow(*this);                                                                     \
    }                                                                                                        \
    TEST_F(Fixture, AnotherTaskStartsWhileABookingIsUnknownAndItIsBookedOnce) {                              \
        anotherTaskWhileABookingIsUnknown(*this, true);                                                      \
    }                                                                                                        \
    TEST_F(Fixture, AnotherTaskStartsWhileABookingIsUnknownAndItsTimeComesBack) {                            \
        anotherTaskWhileABookingIsUnknown(*this, false);                                                     \
    }                                                                                                        \
    TEST_F(Fixture, A503ThatStoredNothingIsShownHeldUntilItsEndAndBookedAgainOnce) {                         \
        a503ThatStoredNothing(*this);                                                                        \
    }                                                                                                        \
    TEST_F(Fixture, EachTextSaysWhatHappened) {                                                              \
        theTextsSayWhatHappened(*this);                                                                      \
    }

VELMORA_UNSEEN_ANSWER_TESTS(BookingRecoveryTest)
VELMORA_UNSEEN_ANSWER_TESTS(AsanaBookingRecoveryTest)
VELMORA_UNSEEN_ANSWER_TESTS(YouTrackBookingRecoveryTest)
