#include "state/BookingRecovery.h"
#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "platform/net/SessionConfiguration.h"
#include "state/TimerViewModel.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/trackers/asana/AsanaFixture.h"
#include "tests/trackers/jira/JiraFixture.h"
#include "tests/trackers/youtrack/YouTrackFixture.h"
#include "trackers/asana/AsanaService.h"
#include "trackers/asana/AsanaWorkLogForm.h"
#include "trackers/jira/JiraService.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "trackers/youtrack/YouTrackService.h"
#include "trackers/youtrack/YouTrackWorkLogForm.h"
#include "views/main/BookTimeView.h"
#include "views/main/BookingRecoveryAlert.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace velmora;
using namespace velmora::test;

namespace {

const char* folderVariable = "VELMORA_BOOKING_KILL_FOLDER";
const char* hostVariable = "VELMORA_BOOKING_KILL_JIRA_HOST";
const char* trackerVariable = "VELMORA_BOOKING_KILL_TRACKER";
const QString kKey = QStringLiteral("ACCOUNT");
// 1 h 30 min, booked as 90 minutes everywhere.
constexpr qint64 tracked = 5400;

enum class Tracker { jira, asana, youTrack };

QString trackerName(Tracker tracker) {
    switch (tracker) {
    case Tracker::asana:
        return QStringLiteral("asana");
    case Tracker::youTrack:
        return QStringLiteral("youtrack");
    case Tracker::jira:
        break;
    }
    return QStringLiteral("jira");
}

Project trackedProject(Tracker tracker = Tracker::jira) {
    switch (tracker) {
    case Tracker::asana:
        return Project{QStringLiteral("p1"), QString(), QStringLiteral("Project"), {}, {}};
    case Tracker::youTrack:
        return Project{QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application"), {}, {}};
    case Tracker::jira:
        break;
    }
    return Project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
}

Issue trackedTask(Tracker tracker = Tracker::jira) {
    switch (tracker) {
    case Tracker::asana:
        return Issue{QStringLiteral("t1"), {}, QStringLiteral("Crash on start"), {}, {}, {}, {}, {}};
    case Tracker::youTrack:
        return Issue{QStringLiteral("2-1"),
                     QStringLiteral("APP-1"),
                     QStringLiteral("Crash on start"),
                     {},
                     {},
                     {},
                     {},
                     {}};
    case Tracker::jira:
        break;
    }
    return Issue{QStringLiteral("10001"),
                 QStringLiteral("PRJ-1"),
                 QStringLiteral("Crash on start"),
                 {},
                 {},
                 {},
                 {},
                 {}};
}

StateEnvironment stateIn(const QString& folder, SnapshotManager*& snapshots, UserSettings*& settings) {
    snapshots = new SnapshotManager(folder + QStringLiteral("/Velmora.plist"));
    settings = new UserSettings(folder + QStringLiteral("/settings.conf"));
    StateEnvironment environment;
    environment.clock = std::make_shared<ManualClock>(QDateTime::currentDateTime());
    environment.snapshots = snapshots;
    environment.settings = settings;
    return environment;
}

// What the app has done before its booking sheet opens: talked to the tracker (here,
// read the task's work log), whose answers tell its clock.
void readTheTaskFirst(const std::shared_ptr<ProviderService>& service, Tracker tracker) {
    bool done = false;
    const QDateTime current = QDateTime::currentDateTime();
    Cancellable read =
        service->fetchOwnWorkEntries(trackedTask(tracker), {current.addDays(-1), current.addDays(1)})
            .sink([&](const std::vector<WorkEntry>&) { done = true; }, [&](const APIError&) { done = true; });
    waitUntil([&] { return done; }, 10000);
}

// The booking form of the child's tracker, on the fake tracker at `host`.
AbstractWorkLogForm* childForm(Tracker tracker, const QString& host, double duration) {
    switch (tracker) {
    case Tracker::asana: {
        qputenv("VELMORA_ASANA_API_HOST", host.toUtf8());
        const AsanaProvider account(
            std::nullopt, QStringLiteral("Work"), AsanaProvider::Parameters{QStringLiteral("w1")},
            ProviderState::operational,
            ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()});
        auto service = AsanaService::create(
            account, AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")},
            Clock::system());
        readTheTaskFirst(service, tracker);
        return new AsanaWorkLogForm(account, service, trackedProject(tracker), trackedTask(tracker),
                                    duration);
    }
    case Tracker::youTrack: {
        const YouTrackProvider account(std::nullopt, QStringLiteral("Work"),
                                       YouTrackProvider::Parameters{host});
        auto service = std::make_shared<YouTrackService>(
            account, APIRequest::youTrack(QStringLiteral("perm-token"), host));
        readTheTaskFirst(service, tracker);
        auto* form = new YouTrackWorkLogForm(account, service, trackedProject(tracker), trackedTask(tracker),
                                             duration);
        // The work-item types load first; the sheet books nothing meanwhile.
        waitUntil([form] { return !form->networkRequestInProgress(); }, 10000);
        return form;
    }
    case Tracker::jira:
        break;
    }
    qputenv("VELMORA_JIRA_API_HOST", host.toUtf8());
    const JiraProvider account(
        std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{QStringLiteral("cloud-1")},
        ProviderState::operational,
        ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()});
    auto service = JiraService::create(
        account,
        APIRequest::jira(QStringLiteral("token-1"), QStringLiteral("refresh-1"), QStringLiteral("cloud-1")),
        Clock::system());
    readTheTaskFirst(service, tracker);
    return new JiraWorkLogForm(account, service, trackedProject(tracker), trackedTask(tracker), duration);
}

} // namespace

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
    const StateEnvironment environment = stateIn(folder, snapshots, settings);
    auto* timer = new TimerViewModel(kKey, environment);
    timer->start(trackedProject(tracker), trackedTask(tracker));
    std::static_pointer_cast<ManualClock>(environment.clock)->advance(tracked * 1000);
    timer->pause();

    AbstractWorkLogForm* form = childForm(tracker, qEnvironmentVariable(hostVariable), timer->elapsed());
    auto* sheet = new BookTimeView(*form, *timer);
    sheet->show();
    sheet->save();
    std::printf("sending\n");
    std::fflush(stdout);
    for (;;) {
        waitUntil([] { return false; }, 1000);
    }
}

namespace {

// What the next start made of the record.
struct Outcome {
    // Nothing can be the booking: the user is told, the time stays.
    bool told = false;
    // An entry may be it: the user is asked, the time stays.
    std::optional<WorkEntry> asked;
    // The tracker could not be asked: the user is told so, the time and the record stay.
    std::optional<APIError> failed;
    bool recordKept = false;
    bool timerReset = false;
    double elapsed = 0;
};

// The kill and the next start, whatever the tracker: the child books against the
// fake tracker and is killed once the booking arrived (or was swallowed); the next run
// reads the timer from the files the child left and looks the booking up.
class KillHarness {
public:
    ~KillHarness() {
        delete m_snapshots;
        delete m_settings;
    }

    // Starts the child and kills it once `arrived` says its booking reached the
    // tracker (whose answer is held back, so the child never learns the outcome).
    void killDuringThePost(Tracker tracker, const QString& host, const std::function<bool()>& arrived) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(folderVariable), folder.path());
        environment.insert(QString::fromLatin1(hostVariable), host);
        environment.insert(QString::fromLatin1(trackerVariable), trackerName(tracker));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=BookingKillChild.BooksAndWaitsToBeKilled")});
        ASSERT_TRUE(child.waitForStarted());
        ASSERT_TRUE(waitUntil([&] { return arrived() || child.state() == QProcess::NotRunning; }, 30000));
        ASSERT_EQ(child.state(), QProcess::Running) << child.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        ASSERT_TRUE(child.waitForFinished());
        EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    }

    // The next start: the timer as the file has it.
    std::unique_ptr<TimerViewModel> nextStart() {
        delete m_snapshots;
        delete m_settings;
        m_environment = stateIn(folder.path(), m_snapshots, m_settings);
        return std::make_unique<TimerViewModel>(kKey, m_environment);
    }

    // The next start's look-up against the tracker, to its end.
    Outcome recover(const std::shared_ptr<ProviderService>& service) {
        auto timer = nextStart();
        Outcome outcome;
        QFile written(folder.path() + QStringLiteral("/Velmora.plist"));
        written.open(QIODevice::ReadOnly);
        EXPECT_TRUE(timer->recordedBooking().has_value()) << written.readAll().toStdString();
        EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
        BookingRecovery recovery(*timer);
        QObject::connect(&recovery, &BookingRecovery::bookingMayNotHaveBeenSaved,
                         [&] { outcome.told = true; });
        QObject::connect(&recovery, &BookingRecovery::bookingMayBe,
                         [&](const WorkLogBooking&, const WorkEntry& entry) { outcome.asked = entry; });
        QObject::connect(&recovery, &BookingRecovery::bookingCheckFailed,
                         [&](const WorkLogBooking&, const APIError& error) { outcome.failed = error; });
        recovery.check(service);
        EXPECT_TRUE(waitUntil(
            [&] { return !timer->isInUse() || outcome.told || outcome.asked || outcome.failed; }, 10000));
        outcome.timerReset = !timer->isInUse();
        outcome.elapsed = timer->elapsed();
        outcome.recordKept = timer->recordedBooking().has_value();
        // What the next start reads.
        m_snapshots->flush();
        return outcome;
    }

    QTemporaryDir folder;

private:
    SnapshotManager* m_snapshots = nullptr;
    UserSettings* m_settings = nullptr;
    StateEnvironment m_environment;
};

// The booked time is gone from the timer: the tracker holds it.
void expectReset(const Outcome& outcome) {
    EXPECT_TRUE(outcome.timerReset);
    EXPECT_FALSE(outcome.told);
    EXPECT_FALSE(outcome.asked.has_value());
}

// The time is still on the timer and the user was told.
void expectKeptAndTold(const Outcome& outcome) {
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_TRUE(outcome.told);
}

// The time is still on the timer, and the user heard of it: told that the tracker does
// not list it, or asked about the entry named (an earlier one that sits too close to
// the moment the booking left for the app to tell).
void expectKeptAndReported(const Outcome& outcome, const QString& lookAlike) {
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_TRUE(outcome.told || (outcome.asked && outcome.asked->id == lookAlike));
}

// The tracker could not be asked: said so, the time and the record kept.
void expectNotAsked(const Outcome& outcome) {
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_FALSE(outcome.told) << "nothing was learnt of the booking";
    EXPECT_FALSE(outcome.asked.has_value());
    ASSERT_TRUE(outcome.failed.has_value());
    EXPECT_EQ(outcome.failed->cause(), APIError::Cause::Unreachable);
    EXPECT_TRUE(outcome.recordKept) << "the next start asks again";
}

// How long a kept booking takes to reach the tracker in the tests that find it: past
// the second in which the app cannot tell the booking from one made just before it,
// with room for a slow first answer (its way widens that second) on a busy machine.
constexpr int slowWay = 4000;

QDateTime now() {
    return QDateTime::currentDateTime();
}

// Earlier today in `zone`, two hours back unless the day began less than that ago.
QDateTime earlierToday(const QTimeZone& zone = QTimeZone::systemTimeZone()) {
    const QDateTime current = now().toTimeZone(zone);
    return std::max(current.addSecs(-2 * 3600), QDateTime(current.date(), QTime(0, 0, 1), zone));
}

// --- Jira ------------------------------------------------------------------------------

class BookingRecoveryTest : public JiraFixture, public KillHarness {
protected:
    BookingRecoveryTest() {
        addProject();
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Crash on start")});
    }

    // A work log of the same 90 minutes on the task, made at `made`, started as the
    // app would have started it then.
    void addLookAlike(const QDateTime& made) {
        jira.addWorkLog({QString(), QStringLiteral("10001"), QStringLiteral("acc-me"), made.addSecs(-tracked),
                         static_cast<double>(tracked), std::nullopt, made});
    }

    void killKept() {
        jira.setLatency(60000, "POST");
        const std::size_t before = jira.workLogs().size();
        killDuringThePost(Tracker::jira, jira.hostAndPort(), [&] { return jira.workLogs().size() > before; });
        jira.setLatency(0);
    }

    void killDropped() {
        bool posted = false;
        jira.interceptOnce(
            [&](const FakeRequest& request) {
                const bool booking = request.matches("POST", QStringLiteral("/worklog"));
                posted = posted || booking;
                return booking;
            },
            FakeResponse::noAnswer().withDelay(60000));
        killDuringThePost(Tracker::jira, jira.hostAndPort(), [&] { return posted; });
    }
};

} // namespace

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
    ASSERT_TRUE(timer->recordedBooking().has_value());
    EXPECT_EQ(timer->recordedBooking()->taskId, QStringLiteral("10001"));
    EXPECT_EQ(timer->recordedBooking()->seconds, tracked);
    EXPECT_EQ(timer->task(), trackedTask());
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
    timer.reset();
    expectKeptAndTold(recover(service()));
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

// --- Asana -----------------------------------------------------------------------------

namespace {

class AsanaBookingRecoveryTest : public AsanaFixture, public KillHarness {
protected:
    // The task is the user's own unless `assignee` says whose it is.
    void addTask(const QString& assignee = QStringLiteral("u1")) {
        asana.addUser({QStringLiteral("u2"), QStringLiteral("Colleague"), QString()});
        FakeAsanaServer::Task task;
        task.gid = QStringLiteral("t1");
        task.name = QStringLiteral("Crash on start");
        task.projectGid = QStringLiteral("p1");
        task.assigneeGid = assignee;
        task.modifiedAt = now().toUTC();
        asana.addTask(task);
        // Asana enters a booking on the day it arrives.
        asana.bookingDay = QDate::currentDate();
    }

    // An entry of the same 90 minutes on the task today, made at `made`.
    void addLookAlike(const QDateTime& made) {
        FakeAsanaServer::Entry entry{QString(), QStringLiteral("t1"), QDate::currentDate(), tracked / 60,
                                     QStringLiteral("u1")};
        entry.createdAt = made.toUTC();
        asana.addEntry(entry);
    }

    // The booking reaches the tracker `arrival` ms after it left.
    void killKept(int arrival = slowWay) {
        asana.setLatency(60000, "POST");
        asana.http().delayArrival(arrival, "POST", QStringLiteral("/time_tracking_entries"));
        const std::size_t before = asana.entries().size();
        killDuringThePost(Tracker::asana, asana.hostAndPort(),
                          [&] { return asana.entries().size() > before; });
        asana.setLatency(0);
        asana.http().delayArrival(0, {}, {});
    }

    // `arrived` runs as the booking reaches the tracker, which then drops it.
    void killDropped(const std::function<void()>& arrived = {}) {
        bool posted = false;
        asana.interceptOnce(
            [&](const FakeRequest& request) {
                const bool booking = request.matches("POST", QStringLiteral("/time_tracking_entries"));
                if (booking && !posted && arrived) {
                    arrived();
                }
                posted = posted || booking;
                return booking;
            },
            FakeResponse::noAnswer().withDelay(60000));
        killDuringThePost(Tracker::asana, asana.hostAndPort(), [&] { return posted; });
    }
};

} // namespace

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
    // Made elsewhere, later than the booking could have arrived.
    addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600));
    killDropped();
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = recover(service());
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
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
    expectKeptAndTold(recover(service()));
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
    if (!outcome.timerReset) {
        EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
        ASSERT_TRUE(outcome.asked.has_value());
        EXPECT_EQ(outcome.asked->id, asana.entries().front().gid);
    }
}

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

// --- YouTrack --------------------------------------------------------------------------

namespace {

class YouTrackBookingRecoveryTest : public YouTrackFixture, public KillHarness {
protected:
    YouTrackBookingRecoveryTest() {
        youTrack.addProject({QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application")});
        youTrack.addIssue({QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("0-1"),
                           QStringLiteral("Crash on start")});
    }

    // A work item of the same 90 minutes, without text, on the task, made at `made`
    // and dated by its day, as the tracker dates the booking.
    void addLookAlike(const QDateTime& made) {
        FakeYouTrackServer::WorkItem item;
        item.id = QStringLiteral("wi-old-%1").arg(youTrack.workItems().size());
        item.issueId = QStringLiteral("2-1");
        item.authorLogin = youTrack.me().login;
        item.minutes = tracked / 60;
        item.date = std::min(made, now()).toMSecsSinceEpoch();
        item.created = made.toMSecsSinceEpoch();
        youTrack.addWorkItem(item);
    }

    // The booking reaches the tracker `arrival` ms after it left.
    void killKept(int arrival = slowWay) {
        youTrack.setAnswerDelay(60000, QStringLiteral("/timeTracking/workItems"));
        youTrack.http().delayArrival(arrival, "POST", QStringLiteral("/timeTracking/workItems"));
        const std::size_t before = youTrack.workItems().size();
        killDuringThePost(Tracker::youTrack, youTrack.baseUrl(),
                          [&] { return youTrack.workItems().size() > before; });
        youTrack.setAnswerDelay(0);
        youTrack.http().delayArrival(0, {}, {});
    }

    // `arrived` runs as the booking reaches the tracker, which then drops it.
    void killDropped(const std::function<void()>& arrived = {}) {
        bool posted = false;
        youTrack.interceptOnce(
            [&](const FakeRequest& request) {
                const bool booking = request.matches("POST", QStringLiteral("/timeTracking/workItems"));
                if (booking && !posted && arrived) {
                    arrived();
                }
                posted = posted || booking;
                return booking;
            },
            FakeResponse::noAnswer().withDelay(60000));
        killDuringThePost(Tracker::youTrack, youTrack.baseUrl(), [&] { return posted; });
    }
};

} // namespace

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
    addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600));
    killKept();
    if (HasFatalFailure()) {
        return;
    }
    // The booking arrived, but so did one made elsewhere later: the app cannot tell.
    const Outcome outcome = recover(service);
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    ASSERT_TRUE(outcome.asked.has_value());
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
    expectKeptAndTold(recover(service));
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
    if (!outcome.timerReset) {
        EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
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

// --- the question ----------------------------------------------------------------------

TEST(BookingRecoveryAlertTest, TheQuestionNamesTheEntryInPlainTextAndKeepsTheTimeByDefault) {
    WorkEntry entry;
    entry.id = QStringLiteral("w1");
    entry.spentTimeSeconds = 1800;
    entry.started = QDateTime(QDate(2026, 3, 5), QTime(0, 0));
    entry.created = QDateTime(QDate(2026, 3, 5), QTime(10, 2, 40));
    EXPECT_EQ(BookingRecoveryAlert::questionText(entry, QStringLiteral("BIG-20")),
              QStringLiteral("A 30m work log on BIG-20 at 10:02 may be this booking."));

    const WorkLogBooking booking{QStringLiteral("20"), entry.created.value(), 1800, QString()};
    QWidget parent;
    bool saved = false;
    const QString name = QStringLiteral("<b>BIG-20</b>");
    QMessageBox* box =
        BookingRecoveryAlert::askWhetherSaved(booking, entry, name, &parent, [&] { saved = true; });
    EXPECT_EQ(box->text(), QStringLiteral("A 30m work log on <b>BIG-20</b> at 10:02 may be this booking."));
    for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text().contains(name)) {
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
    EXPECT_FALSE(saved);
    wasSaved->click();
    EXPECT_TRUE(saved);
    delete box;
}

TEST(BookingRecoveryAlertTest, ATrackerThatCouldNotBeAskedIsToldAsSuchWithTheReasonAndTryAgain) {
    const WorkLogBooking booking{QStringLiteral("20"), QDateTime::currentDateTime(), 1800, QString()};
    EXPECT_EQ(
        BookingRecoveryAlert::checkFailedText(booking, QStringLiteral("BIG-20"), QStringLiteral("Asana")),
        QStringLiteral("Couldn't ask Asana whether the 30m on BIG-20 arrived."));

    QWidget parent;
    int tries = 0;
    const QString name = QStringLiteral("<img src=\"/dev/zero\">BIG-20");
    const APIError unreachable =
        APIError::failure(APIError::Cause::Unreachable).withHost(QStringLiteral("<b>app.asana.test</b>"));
    QMessageBox* box = BookingRecoveryAlert::tellCheckFailed(booking, name, QStringLiteral("Asana"),
                                                             unreachable, &parent, [&] { ++tries; });
    EXPECT_TRUE(box->text().contains(name));
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("Can't reach <b>app.asana.test</b>")))
        << box->informativeText().toStdString();
    EXPECT_TRUE(box->informativeText().contains(QStringLiteral("asks again at its next start")));
    for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
        }
    }
    auto* retry = qobject_cast<QPushButton*>(box->defaultButton());
    ASSERT_NE(retry, nullptr);
    EXPECT_EQ(retry->text(), BookingRecoveryAlert::tryAgainButton);
    ASSERT_NE(box->escapeButton(), nullptr);
    EXPECT_EQ(box->escapeButton()->text(), BookingRecoveryAlert::laterButton);
    qobject_cast<QPushButton*>(box->escapeButton())->click();
    EXPECT_EQ(tries, 0);
    retry->click();
    EXPECT_EQ(tries, 1);
    delete box;
}
