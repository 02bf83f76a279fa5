// What the next start finds of a booking killed on its way, for the three trackers: found where the
// tracker kept it, told (its time back) where it did not, never an earlier look-alike taken for it.

#include "tests/views/main/BookingKillHarness.h"

using namespace velmora;
using namespace velmora::test;
using namespace velmora::test::bookings;

// Not a test of its own: the body of the process that the tests below kill while its
// booking is on the way. It tracks 1 h 30 min, books it through the sheet against the
// test's fake tracker, and runs its event loop until it is killed.
TEST(BookingKillChild, BooksAndWaitsToBeKilled) {
    const QString folder = qEnvironmentVariable(folderVariable);
    if (folder.isEmpty()) {
        GTEST_SKIP() << "runs only inside BookingRecoveryTest";
    }
    const QString kind = qEnvironmentVariable(trackerVariable);
    const Tracker tracker = kind == trackerName(Tracker::asana)      ? Tracker::asana
                            : kind == trackerName(Tracker::youTrack) ? Tracker::youTrack
                                                                     : Tracker::jira;
    SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
    SnapshotManager* snapshots = nullptr;
    UserSettings* settings = nullptr;
    StateEnvironment environment =
        stateIn(folder, snapshots, settings, std::make_shared<ManualBootClock>(killBoot()));
    auto* records = new BookingRecords(environment);
    environment.bookings = records;
    auto* timer = new TimerViewModel(kKey, environment);
    const QString host = qEnvironmentVariable(hostVariable);
    const QString mode = qEnvironmentVariable(modeVariable);
    if (mode == QStringLiteral("confirm")) {
        // The next start of a run killed during its booking: asked, the user says it was
        // saved, and the run is killed before its event loop turns again.
        const auto service = childService(tracker, host);
        auto* recovery = new BookingRecovery(*records, [service](const QString&) { return service; });
        QObject::connect(records, &BookingRecords::recordChanged, [records](const QUuid& id) {
            const auto record = records->record(id);
            if (record && record->state == BookingRecord::State::asked) {
                records->confirmSaved(id);
            } else if (record && record->state == BookingRecord::State::saved) {
                // The answer shows as taken: it is on disk, and a kill now keeps it.
                std::raise(SIGKILL);
            }
        });
        recovery->start();
    } else {
        timer->start(trackedProject(tracker), trackedTask(tracker));
        std::static_pointer_cast<ManualClock>(environment.clock)->advance(tracked * 1000);
        timer->pause();
        if (mode == QStringLiteral("type")) {
            timer->setDuration(typed);
            // Told once the writer has it on disk, as the next start reads it.
            snapshots->flush();
            std::printf("typed\n");
            std::fflush(stdout);
        } else {
            AbstractWorkLogForm* form =
                childForm(tracker, host, timer->elapsed(), childService(tracker, host));
            auto* sheet = new BookTimeView(*form, *timer);
            sheet->show();
            const qint64 saveAt = qEnvironmentVariable(saveAtVariable).toLongLong();
            waitUntil([saveAt] { return QDateTime::currentMSecsSinceEpoch() >= saveAt; }, 30000);
            sheet->save();
            std::printf("sending\n");
            std::fflush(stdout);
        }
    }
    for (;;) {
        waitUntil([] { return false; }, 1000);
    }
}

TEST_F(BookingRecoveryTest, AKillDuringThePostThatTheTrackerKeptEndsInOneWorkLogAndAResetTimer) {
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(jira.workLogs().size(), 1u) << "nothing is booked twice";
}

TEST_F(BookingRecoveryTest, AKillDuringThePostThatTheTrackerDroppedKeepsTheTimeAndTells) {
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    auto timer = nextStart();
    const auto record = theRecord();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->booking.taskId, QStringLiteral("10001"));
    EXPECT_EQ(record->booking.seconds, tracked);
    EXPECT_EQ(record->task, trackedTask());
    EXPECT_EQ(record->state, BookingRecord::State::unknown);
    EXPECT_TRUE(record->stoppedWhileLeaving);
    EXPECT_FALSE(timer->isInUse()) << "the time is the record's while its outcome is open";
    timer.reset();
    const Outcome outcome = recover(service());
    expectKeptAndTold(outcome);
    // Back on the timer as it was, with its task.
    EXPECT_EQ(m_records->liveTimer(kKey), nullptr);
    EXPECT_EQ(nextStart()->task(), trackedTask());
    EXPECT_TRUE(jira.workLogs().empty());
}

TEST_F(BookingRecoveryTest, AJiraLookAlike30SecondsEarlierIsNotTakenForTheDroppedBooking) {
    addLookAlike(now().addSecs(-30));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
    EXPECT_EQ(jira.workLogs().size(), 1u);
}

TEST_F(BookingRecoveryTest, AJiraLookAlikeOfTheSameDayIsNotTakenForTheDroppedBooking) {
    addLookAlike(earlierToday());
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
}

TEST_F(BookingRecoveryTest, AJiraBookingKeptBesideALookAlike30SecondsEarlierIsFound) {
    addLookAlike(now().addSecs(-30));
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(jira.workLogs().size(), 2u);
}

TEST_F(BookingRecoveryTest, AnOfflineCheckKeepsTheRecordAndTheNextFindsTheKeptBooking) {
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    jira.http().stop();
    expectNotAsked(recover(service()));
    ASSERT_TRUE(jira.http().start());
    expectReset(recover(service()));
    EXPECT_EQ(jira.workLogs().size(), 1u) << "nothing is booked twice";
}

TEST_F(AsanaBookingRecoveryTest, AKeptBookingIsFound) {
    addTask();
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(asana.entries().size(), 1u);
}

TEST_F(AsanaBookingRecoveryTest, ADroppedBookingKeepsTheTimeAndTells) {
    addTask();
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
    EXPECT_TRUE(asana.entries().empty());
}

TEST_F(AsanaBookingRecoveryTest, ALookAlike30SecondsEarlierIsNotTakenForTheDroppedBooking) {
    addTask();
    addLookAlike(now().addSecs(-30));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
}

TEST_F(AsanaBookingRecoveryTest, ALookAlikeOfTheSameDayIsNotTakenForTheDroppedBooking) {
    addTask();
    addLookAlike(earlierToday());
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
}

TEST_F(AsanaBookingRecoveryTest, ABookingKeptBesideALookAlike70SecondsEarlierIsFound) {
    addTask();
    addLookAlike(now().addSecs(-70));
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(asana.entries().size(), 2u);
}

TEST_F(AsanaBookingRecoveryTest, ALookAlikeMadeLaterKeepsTheTimeAndAsksNamingIt) {
    addTask();
    // Made elsewhere, later than the booking could have arrived (and after the sheet
    // read what was there).
    killDropped([&] { addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600)); });
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = recover(service());
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.held, tracked);
    EXPECT_FALSE(outcome.told);
    ASSERT_TRUE(outcome.asked.has_value());
    EXPECT_EQ(outcome.asked->id, asana.entries().front().gid);
}

TEST_F(AsanaBookingRecoveryTest, ABookingKeptOnAColleaguesTaskIsFound) {
    addTask(QStringLiteral("u2"));
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(asana.entries().size(), 1u) << "nothing is booked twice";
}

TEST_F(AsanaBookingRecoveryTest, ABookingDroppedOnAColleaguesTaskIsTold) {
    addTask(QStringLiteral("u2"));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service()));
}

TEST_F(AsanaBookingRecoveryTest, ALookAlikeBookedOneAndAHalfSecondsBeforeIsNotTakenForTheDroppedBooking) {
    addTask();
    killDropped([&] { addLookAlike(asana.http().now().addMSecs(-1500)); });
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndReported(recover(service()), asana.entries().front().gid);
}

TEST_F(AsanaBookingRecoveryTest, ATrackerClockAMinuteAheadDoesNotMakeALookAlike30SecondsEarlierTheBooking) {
    addTask();
    asana.http().setClockOffset(60000);
    killDropped([&] { addLookAlike(asana.http().now().addSecs(-30)); });
    if (HasFatalFailure()) {
        return;
    }
    // Made after the sheet read what was there, so not known to be another: asked.
    const Outcome outcome = recover(service());
    expectKeptAndReported(outcome, asana.entries().front().gid);
    EXPECT_FALSE(outcome.told);
}

TEST_F(AsanaBookingRecoveryTest, ATrackerClockAMinuteBehindStillFindsTheKeptBooking) {
    addTask();
    asana.http().setClockOffset(-60000);
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service()));
    EXPECT_EQ(asana.entries().size(), 1u);
}

TEST_F(AsanaBookingRecoveryTest, ABookingKeptTheMomentItLeftIsNeverToldAsNotSaved) {
    addTask();
    asana.http().setClockOffset(-60000);
    killKept(0);
    if (HasFatalFailure()) {
        return;
    }
    // Made within the second the app cannot tell from the moment it left: asked about,
    // by name; reset only where its clock was known closer than that.
    const Outcome outcome = recover(service());
    EXPECT_FALSE(outcome.told);
    if (!outcome.found) {
        EXPECT_DOUBLE_EQ(outcome.held, tracked);
        ASSERT_TRUE(outcome.asked.has_value());
        EXPECT_EQ(outcome.asked->id, asana.entries().front().gid);
    }
}

namespace {

// The app (this run and the runs it starts) in another zone for one test.
class AppAbroad {
public:
    explicit AppAbroad(const char* zone)
        : m_saved(qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt) {
        qputenv("TZ", zone);
        tzset();
    }
    ~AppAbroad() {
        if (m_saved) {
            qputenv("TZ", *m_saved);
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }
    AppAbroad(const AppAbroad&) = delete;
    AppAbroad& operator=(const AppAbroad&) = delete;

private:
    std::optional<QByteArray> m_saved;
};

// Whether this machine's day differs now from UTC's; a zone ahead differs in the
// evening (UTC), one behind in the morning, so the zones below cover any hour.
bool dayApartFromUtc() {
    return QDateTime::currentDateTime().date() != QDateTime::currentDateTimeUtc().date();
}

} // namespace

// The tracker enters a booking on its own day (UTC), this machine lives in another.
#define VELMORA_ASANA_ABROAD_TEST(Name, Zone)                                                                \
    TEST_F(AsanaBookingRecoveryTest, AKeptBookingIsFoundWithTheAppIn##Name) {                                \
        const AppAbroad abroad(Zone);                                                                        \
        addTask();                                                                                           \
        asana.datesByUtcDay = true;                                                                          \
        if (!dayApartFromUtc()) {                                                                            \
            std::printf("note: " Zone "'s day is UTC's at this hour\n");                                     \
        }                                                                                                    \
        killKept();                                                                                          \
        if (HasFatalFailure()) {                                                                             \
            return;                                                                                          \
        }                                                                                                    \
        expectReset(recover(service()));                                                                     \
        EXPECT_EQ(asana.entries().size(), 1u) << "nothing is booked twice";                                  \
    }

VELMORA_ASANA_ABROAD_TEST(Tokyo, "Asia/Tokyo")
VELMORA_ASANA_ABROAD_TEST(Kiritimati, "Pacific/Kiritimati")
VELMORA_ASANA_ABROAD_TEST(PagoPago, "Pacific/Pago_Pago")

TEST_F(AsanaBookingRecoveryTest, AnOfflineCheckKeepsTheRecordAndTheNextFindsTheKeptBooking) {
    addTask();
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    asana.http().stop();
    expectNotAsked(recover(service()));
    ASSERT_TRUE(asana.http().start());
    expectReset(recover(service()));
    EXPECT_EQ(asana.entries().size(), 1u) << "nothing is booked twice";
}

TEST_F(YouTrackBookingRecoveryTest, AKeptBookingIsFound) {
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service));
    EXPECT_EQ(youTrack.workItems().size(), 1u);
}

TEST_F(YouTrackBookingRecoveryTest, ADroppedBookingKeepsTheTimeAndTells) {
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service));
    EXPECT_TRUE(youTrack.workItems().empty());
}

TEST_F(YouTrackBookingRecoveryTest, ALookAlike30SecondsEarlierIsNotTakenForTheDroppedBooking) {
    addLookAlike(now().addSecs(-30));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service));
}

TEST_F(YouTrackBookingRecoveryTest, ALookAlikeOfTheSameDayIsNotTakenForTheDroppedBooking) {
    addLookAlike(earlierToday(QTimeZone::utc()));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service));
}

TEST_F(YouTrackBookingRecoveryTest, ABookingKeptBesideALookAlike30SecondsEarlierIsFound) {
    addLookAlike(now().addSecs(-30));
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service));
    EXPECT_EQ(youTrack.workItems().size(), 2u);
}

TEST_F(YouTrackBookingRecoveryTest, ALookAlikeMadeLaterKeepsTheTimeAndAsksNamingIt) {
    // Made elsewhere, later than the booking could have arrived (and after the sheet
    // read what was there); the booking itself never arrived.
    killDropped([&] { addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600)); });
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = recover(service);
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.held, tracked);
    ASSERT_TRUE(outcome.asked.has_value());
    EXPECT_EQ(outcome.asked->id, youTrack.workItems().front().id);
}

TEST_F(YouTrackBookingRecoveryTest,
       AColleaguesLookAlikeIsNeverTakenForTheDroppedBookingWhateverTheServerFilters) {
    // A server (or proxy) that lists everyone's items whatever "author" asks; a colleague
    // books the same minutes on the task as the booking arrives, and it is dropped.
    youTrack.addUser(
        {QStringLiteral("1-2"), QStringLiteral("bob"), QStringLiteral("Bob Colleague"), QString()});
    youTrack.setWorkItemFiltersIgnored(true);
    killDropped([&] { addLookAlike(youTrack.http().stampNow().addSecs(2), QStringLiteral("bob")); });
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndTold(recover(service));
}

TEST_F(YouTrackBookingRecoveryTest, ALookAlikeBookedOneAndAHalfSecondsBeforeIsNotTakenForTheDroppedBooking) {
    killDropped([&] { addLookAlike(youTrack.http().now().addMSecs(-1500)); });
    if (HasFatalFailure()) {
        return;
    }
    expectKeptAndReported(recover(service), youTrack.workItems().front().id);
}

TEST_F(YouTrackBookingRecoveryTest,
       ATrackerClockAMinuteAheadDoesNotMakeALookAlike30SecondsEarlierTheBooking) {
    youTrack.http().setClockOffset(60000);
    killDropped([&] { addLookAlike(youTrack.http().now().addSecs(-30)); });
    if (HasFatalFailure()) {
        return;
    }
    // Made after the sheet read what was there, so not known to be another: asked.
    const Outcome outcome = recover(service);
    expectKeptAndReported(outcome, youTrack.workItems().front().id);
    EXPECT_FALSE(outcome.told);
}

TEST_F(YouTrackBookingRecoveryTest, ATrackerClockAMinuteBehindStillFindsTheKeptBooking) {
    youTrack.http().setClockOffset(-60000);
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    expectReset(recover(service));
    EXPECT_EQ(youTrack.workItems().size(), 1u);
}

TEST_F(YouTrackBookingRecoveryTest, ABookingKeptTheMomentItLeftIsNeverToldAsNotSaved) {
    youTrack.http().setClockOffset(-60000);
    killKept(0);
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = recover(service);
    EXPECT_FALSE(outcome.told);
    if (!outcome.found) {
        EXPECT_DOUBLE_EQ(outcome.held, tracked);
        ASSERT_TRUE(outcome.asked.has_value());
        EXPECT_EQ(outcome.asked->id, youTrack.workItems().front().id);
    }
}

TEST_F(YouTrackBookingRecoveryTest, AnOfflineCheckKeepsTheRecordAndTheNextFindsTheKeptBooking) {
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    youTrack.http().stop();
    expectNotAsked(recover(service));
    ASSERT_TRUE(youTrack.http().start());
    expectReset(recover(service));
    EXPECT_EQ(youTrack.workItems().size(), 1u) << "nothing is booked twice";
}
