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
#include "tests/support/FileSizeLimit.h"
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
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include <unistd.h>

using namespace velmora;
using namespace velmora::test;

namespace {

const char* folderVariable = "VELMORA_BOOKING_KILL_FOLDER";
const char* hostVariable = "VELMORA_BOOKING_KILL_JIRA_HOST";
const char* trackerVariable = "VELMORA_BOOKING_KILL_TRACKER";
// When the child clicks Save (ms since 1970, this machine's clock); at once without it.
const char* saveAtVariable = "VELMORA_BOOKING_KILL_SAVE_AT";
// What the child does: books ("book", the default), types a time into the timer
// ("type"), or checks the record and answers "It Was Saved" ("confirm").
const char* modeVariable = "VELMORA_BOOKING_KILL_MODE";
// The time the "type" child types.
constexpr double typed = 4321;
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

// The service of the child's tracker, on the fake tracker at `host`, once it has read
// the task (as the app does before its sheet opens).
std::shared_ptr<ProviderService> childService(Tracker tracker, const QString& host) {
    std::shared_ptr<ProviderService> service;
    switch (tracker) {
    case Tracker::asana: {
        qputenv("VELMORA_ASANA_API_HOST", host.toUtf8());
        const AsanaProvider account(
            std::nullopt, QStringLiteral("Work"), AsanaProvider::Parameters{QStringLiteral("w1")},
            ProviderState::operational,
            ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()});
        service = AsanaService::create(
            account, AsanaProvider::Credentials{QStringLiteral("token-1"), QStringLiteral("refresh-1")},
            Clock::system());
        break;
    }
    case Tracker::youTrack: {
        const YouTrackProvider account(std::nullopt, QStringLiteral("Work"),
                                       YouTrackProvider::Parameters{host});
        service = std::make_shared<YouTrackService>(account,
                                                    APIRequest::youTrack(QStringLiteral("perm-token"), host));
        break;
    }
    case Tracker::jira: {
        qputenv("VELMORA_JIRA_API_HOST", host.toUtf8());
        const JiraProvider account(
            std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{QStringLiteral("cloud-1")},
            ProviderState::operational,
            ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()});
        service = JiraService::create(account,
                                      APIRequest::jira(QStringLiteral("token-1"), QStringLiteral("refresh-1"),
                                                       QStringLiteral("cloud-1")),
                                      Clock::system());
        break;
    }
    }
    readTheTaskFirst(service, tracker);
    return service;
}

// The booking form of the child's tracker on `service`.
AbstractWorkLogForm* childForm(Tracker tracker, const QString& host, double duration,
                               const std::shared_ptr<ProviderService>& service) {
    switch (tracker) {
    case Tracker::asana: {
        const AsanaProvider account(
            std::nullopt, QStringLiteral("Work"), AsanaProvider::Parameters{QStringLiteral("w1")},
            ProviderState::operational,
            ProviderUser{QStringLiteral("u1"), QStringLiteral("Una User"), QString()});
        return new AsanaWorkLogForm(account, std::static_pointer_cast<AsanaService>(service),
                                    trackedProject(tracker), trackedTask(tracker), duration);
    }
    case Tracker::youTrack: {
        const YouTrackProvider account(std::nullopt, QStringLiteral("Work"),
                                       YouTrackProvider::Parameters{host});
        auto* form = new YouTrackWorkLogForm(account, std::static_pointer_cast<YouTrackService>(service),
                                             trackedProject(tracker), trackedTask(tracker), duration);
        // The work-item types load first; the sheet books nothing meanwhile.
        waitUntil([form] { return !form->networkRequestInProgress(); }, 10000);
        return form;
    }
    case Tracker::jira:
        break;
    }
    const JiraProvider account(
        std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{QStringLiteral("cloud-1")},
        ProviderState::operational,
        ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()});
    return new JiraWorkLogForm(account, std::static_pointer_cast<JiraService>(service),
                               trackedProject(tracker), trackedTask(tracker), duration);
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
    const QString host = qEnvironmentVariable(hostVariable);
    const QString mode = qEnvironmentVariable(modeVariable);
    if (mode == QStringLiteral("confirm")) {
        // The next start of a run killed during its booking: asked, the user says it was
        // saved, and the run is killed before its event loop turns again.
        auto* recovery = new BookingRecovery(*timer);
        QObject::connect(recovery, &BookingRecovery::bookingMayBe, [recovery](const WorkLogBooking& booking) {
            recovery->confirmSaved(booking);
            std::raise(SIGKILL);
        });
        recovery->check(childService(tracker, host));
    } else {
        timer->start(trackedProject(tracker), trackedTask(tracker));
        std::static_pointer_cast<ManualClock>(environment.clock)->advance(tracked * 1000);
        timer->pause();
        if (mode == QStringLiteral("type")) {
            timer->setDuration(typed);
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
        if (saveAt) {
            environment.insert(QString::fromLatin1(saveAtVariable), QString::number(*saveAt));
        }
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

    // A child of `mode` ("type", "confirm") run to its end: killed once it says
    // `done` on its output, or once it killed itself.
    void runChild(Tracker tracker, const QString& host, const QString& mode, const QByteArray& done = {}) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(folderVariable), folder.path());
        environment.insert(QString::fromLatin1(hostVariable), host);
        environment.insert(QString::fromLatin1(trackerVariable), trackerName(tracker));
        environment.insert(QString::fromLatin1(modeVariable), mode);
        child.setProcessEnvironment(environment);
        // What the run before wrote is on disk before the child reads it.
        if (m_snapshots) {
            m_snapshots->flush();
        }
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=BookingKillChild.BooksAndWaitsToBeKilled")});
        ASSERT_TRUE(child.waitForStarted());
        QByteArray output;
        ASSERT_TRUE(waitUntil(
            [&] {
                output += child.readAllStandardOutput();
                return (!done.isEmpty() && output.contains(done)) || child.state() == QProcess::NotRunning;
            },
            30000));
        if (child.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
            ASSERT_TRUE(child.waitForFinished());
        }
        EXPECT_EQ(child.exitStatus(), QProcess::CrashExit) << child.readAllStandardError().toStdString();
    }

    // The moment (this machine's clock) the next child clicks Save: at `fraction` of a
    // second a few seconds from now, once its sheet has surely read what is there.
    qint64 saveLater(double fraction) {
        const qint64 second = (QDateTime::currentMSecsSinceEpoch() / 1000 + 4) * 1000;
        saveAt = second + static_cast<qint64>(fraction * 1000);
        return *saveAt;
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
    std::optional<qint64> saveAt;

protected:
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
public:
    static constexpr Tracker kind = Tracker::jira;
    FakeHttpsServer& server() { return jira.http(); }
    QString host() { return jira.hostAndPort(); }
    std::shared_ptr<ProviderService> tracker() { return service(); }
    std::size_t made() const { return jira.workLogs().size(); }
    void prepare() {}
    static inline const QString readPath = QStringLiteral("/worklog");
    static inline const QString bookingPath = QStringLiteral("/worklog");

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

public:
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
public:
    static constexpr Tracker kind = Tracker::asana;
    FakeHttpsServer& server() { return asana.http(); }
    QString host() { return asana.hostAndPort(); }
    std::shared_ptr<ProviderService> tracker() { return service(); }
    std::size_t made() const { return asana.entries().size(); }
    QString lastId() const { return asana.entries().back().gid; }
    void prepare() { addTask(); }
    // The read of the task's entries, and the booking.
    static inline const QString readPath = QStringLiteral("time_tracking_entries");
    static inline const QString bookingPath = QStringLiteral("/time_tracking_entries");

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
    // Made elsewhere, later than the booking could have arrived (and after the sheet
    // read what was there).
    killDropped([&] { addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600)); });
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
    if (!outcome.timerReset) {
        EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
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

// --- YouTrack --------------------------------------------------------------------------

namespace {

class YouTrackBookingRecoveryTest : public YouTrackFixture, public KillHarness {
public:
    static constexpr Tracker kind = Tracker::youTrack;
    FakeHttpsServer& server() { return youTrack.http(); }
    QString host() { return youTrack.baseUrl(); }
    std::shared_ptr<ProviderService> tracker() { return service; }
    std::size_t made() const { return youTrack.workItems().size(); }
    QString lastId() const { return youTrack.workItems().back().id; }
    void prepare() {}
    static inline const QString readPath = QStringLiteral("workItems");
    static inline const QString bookingPath = QStringLiteral("/timeTracking/workItems");

    YouTrackBookingRecoveryTest() {
        youTrack.addProject({QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application")});
        youTrack.addIssue({QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("0-1"),
                           QStringLiteral("Crash on start")});
    }

    // A work item of the same 90 minutes, without text, on the task, made at `made`
    // and dated by its day, as the tracker dates the booking; the user's unless
    // `author` names another.
    void addLookAlike(const QDateTime& made, const QString& author = {}) {
        FakeYouTrackServer::WorkItem item;
        item.id = QStringLiteral("wi-old-%1").arg(youTrack.workItems().size());
        item.issueId = QStringLiteral("2-1");
        item.authorLogin = author.isEmpty() ? youTrack.me().login : author;
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
    // Made elsewhere, later than the booking could have arrived (and after the sheet
    // read what was there); the booking itself never arrived.
    killDropped([&] { addLookAlike(now().addSecs(BookingRecovery::arrivalWindow + 600)); });
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = recover(service);
    EXPECT_FALSE(outcome.timerReset);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
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

// --- what was there before the booking left, for Asana and YouTrack -------------------

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

template <typename F> void expectKeptAndToldBeside(F& f, const Outcome& outcome) {
    expectKeptAndTold(outcome);
    EXPECT_EQ(f.made(), 1u) << "only the look-alike";
}

template <typename F> void expectFound(F& f, const Outcome& outcome) {
    expectReset(outcome);
    EXPECT_EQ(f.made(), 2u) << "the look-alike and the booking, once";
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
    BookingRecovery recovery(*timer);
    std::optional<APIError> failed;
    QObject::connect(&recovery, &BookingRecovery::bookingCheckFailed,
                     [&](const WorkLogBooking&, const APIError& error) { failed = error; });
    f.server().stop();
    recovery.check(f.tracker());
    ASSERT_TRUE(waitUntil([&] { return failed.has_value(); }, 10000));
    timer->resume();
    std::static_pointer_cast<ManualClock>(timer->clock())->advance(3600 * 1000);
    timer->pause();
    ASSERT_TRUE(f.server().start());
    recovery.check(f.tracker());
    ASSERT_TRUE(waitUntil([&] { return !timer->recordedBooking(); }, 10000));
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600) << "only the booked 90 minutes left the timer";
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
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_TRUE(outcome.recordKept) << "until the question is answered";
    // Quit unanswered: the next start asks again.
    outcome = f.recover(f.tracker());
    ASSERT_TRUE(outcome.asked.has_value());
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
}

template <typename F> void itWasSavedThenAKill(F& f) {
    killWithAQuestion(f);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    // An hour more on the timer before the next start asks.
    {
        auto timer = f.nextStart();
        timer->resume();
        std::static_pointer_cast<ManualClock>(timer->clock())->advance(3600 * 1000);
        timer->pause();
    }
    f.runChild(F::kind, f.host(), QStringLiteral("confirm"));
    auto timer = f.nextStart();
    EXPECT_FALSE(timer->recordedBooking().has_value()) << "answered";
    EXPECT_DOUBLE_EQ(timer->elapsed(), 3600) << "the booked 90 minutes left, and only those";
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
    TEST_F(Fixture, ItWasSavedAndAKillAtOnceKeepTheAnswer) {                                                 \
        itWasSavedThenAKill(*this);                                                                          \
    }                                                                                                        \
    TEST_F(Fixture, ATypedTimeSurvivesAKill) {                                                               \
        typedThenAKill(*this);                                                                               \
    }

VELMORA_BEFORE_THE_BOOKING_TESTS(AsanaBookingRecoveryTest)
VELMORA_BEFORE_THE_BOOKING_TESTS(YouTrackBookingRecoveryTest)

// --- what the app did not see, for Asana and YouTrack ---------------------------------

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int unseenSlowdown = 4;
#else
constexpr int unseenSlowdown = 1;
#endif

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
        const auto& record = timer->recordedBooking();
        ASSERT_TRUE(record.has_value());
        ASSERT_TRUE(record->sent.has_value());
        const qint64 left = record->sent->toMSecsSinceEpoch() - click;
        EXPECT_GE(left, AbstractWorkLogForm::entriesWaitBound.count() - 50) << "the read had no chance";
        EXPECT_LT(left, AbstractWorkLogForm::entriesWaitBound.count() + 1500 * unseenSlowdown)
            << "Save waited on the read past its bound";
        EXPECT_FALSE(record->before.has_value()) << "it left without the list";
    }
    expectReset(f.recover(f.tracker()));
    EXPECT_EQ(f.made(), 1u) << "nothing is booked twice";
}

// A sheet on the timer, in this process, booking against the fake tracker.
template <typename F> struct LiveSheet {
    LiveSheet(F& f, TimerViewModel& timer)
        : form(childForm(F::kind, f.host(), timer.elapsed(), f.tracker())), sheet(new BookTimeView(*form, timer)) {
        sheet->show();
    }
    ~LiveSheet() {
        delete sheet.data();
        // The form goes once nothing of it is on its way, as the sidebar lets it go.
        waitUntil([this] { return !form->networkRequestInProgress(); }, 10000);
    }
    std::unique_ptr<AbstractWorkLogForm> form;
    QPointer<BookTimeView> sheet;
};

// The timer as the window has it: 90 minutes tracked on the task, stopped.
template <typename F> std::unique_ptr<TimerViewModel> stoppedTimer(F& f) {
    auto timer = f.nextStart();
    timer->start(trackedProject(F::kind), trackedTask(F::kind));
    std::static_pointer_cast<ManualClock>(timer->clock())->advance(tracked * 1000);
    timer->pause();
    return timer;
}

void advance(TimerViewModel& timer, qint64 seconds) {
    std::static_pointer_cast<ManualClock>(timer.clock())->advance(seconds * 1000);
}

// Whether an alert of `sheet` with this text (or title) shows.
bool showsAlert(const BookTimeView* sheet, const QString& text) {
    return sheet && sheet->alert() &&
           (sheet->alert()->windowTitle() == text || sheet->alert()->text().contains(text) ||
            sheet->alert()->informativeText().contains(text));
}

// Keeps a way of breaking the writes of the app's notes until it goes.
using WriteBlock = std::shared_ptr<void>;

// The disk is full: no file of this process grows past the notes as they are now.
WriteBlock fullDisk(const QString& file) {
    auto limit = std::make_shared<FileSizeLimit>(static_cast<rlim_t>(QFileInfo(file).size()));
    EXPECT_TRUE(limit->active());
    return limit;
}

// The notes' folder cannot be written. Root writes into a read-only folder all the same,
// so there the folder is swapped for a file of its name (no file can be made in it either).
WriteBlock unwritableFolder(const QString& file) {
    const QString folder = QFileInfo(file).absolutePath();
    if (::geteuid() != 0) {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        return WriteBlock(nullptr, [folder](void*) {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        });
    }
    const QString aside = folder + QStringLiteral(".aside");
    EXPECT_TRUE(QDir().rename(folder, aside));
    QFile blocker(folder);
    EXPECT_TRUE(blocker.open(QIODevice::WriteOnly));
    return WriteBlock(nullptr, [folder, aside](void*) {
        QFile::remove(folder);
        QDir().rename(aside, folder);
    });
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
        QElapsedTimer past;
        past.start();
        waitUntil([&] { return past.elapsed() > AbstractWorkLogForm::entriesWaitBound.count() + 500; }, 10000);
        EXPECT_TRUE(f.server().requestsTo(F::bookingPath, "POST").isEmpty()) << "a booking left a closed sheet";
    }
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
    EXPECT_FALSE(timer->recordedBooking().has_value());
    if (resumed) {
        timer->resume();
        advance(*timer, 600);
        timer->pause();
    }
    const double held = timer->elapsed();
    LiveSheet<F> again(f, *timer);
    again.sheet->save();
    ASSERT_TRUE(waitUntil([&] { return f.made() == 1 && !timer->isInUse(); }, 10000 * unseenSlowdown))
        << "made " << f.made() << ", timer " << timer->elapsed();
    waitUntil([&] { return false; }, 300);
    EXPECT_EQ(f.made(), 1u) << "one entry for the time";
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
    EXPECT_GT(held, 0);
}

// The booking left, then its sheet was closed and the timer ran on: a second booking of
// the same time waits for the first one's answer, which, when it comes, takes off only
// the booked seconds.
template <typename F> void closedAfterTheBookingLeft(F& f) {
    f.prepare();
    auto timer = stoppedTimer(f);
    f.server().slowAnswers(2500 * unseenSlowdown, "POST", F::bookingPath);
    {
        LiveSheet<F> first(f, *timer);
        first.sheet->save();
        ASSERT_TRUE(waitUntil([&] { return f.made() == 1; }, 10000 * unseenSlowdown));
        ASSERT_TRUE(first.form->networkRequestInProgress()) << "the answer is still on its way";
        first.sheet->reject();
        delete first.sheet.data();
        timer->resume();
        advance(*timer, 600);
        timer->pause();
        // Booking the same time again from a new sheet is held while the first is unanswered.
        LiveSheet<F> second(f, *timer);
        second.sheet->save();
        EXPECT_TRUE(showsAlert(second.sheet, BookTimeView::awaitingAnswerTitle));
        EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
        // The first answer comes with both sheets gone.
        delete second.sheet.data();
        ASSERT_TRUE(waitUntil([&] { return !timer->recordedBooking(); }, 10000 * unseenSlowdown));
    }
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600) << "only the booked 90 minutes left the timer";
    EXPECT_EQ(f.made(), 1u);
    EXPECT_EQ(f.server().requestsTo(F::bookingPath, "POST").size(), 1);
}

// The folder of the app's notes cannot take the record at Save (`block` makes it so):
// nothing is sent, the user reads why, and the time stays on the timer.
template <typename F> void noRecordNoBooking(F& f, const std::function<WriteBlock(const QString& file)>& block) {
    f.prepare();
    auto timer = stoppedTimer(f);
    LiveSheet<F> live(f, *timer);
    waitUntil([&] { return !live.form->networkRequestInProgress(); }, 10000);
    WriteBlock blocked = block(f.folder.filePath(QStringLiteral("Velmora.plist")));
    live.sheet->save();
    EXPECT_TRUE(waitUntil([&] { return live.sheet->alert() != nullptr; }, 5000));
    ASSERT_TRUE(live.sheet->alert());
    const QString shown = live.sheet->alert()->text();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Velmora couldn't save its note of this booking: "))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral(". Nothing was sent."))) << shown.toStdString();
    waitUntil([&] { return false; }, 300);
    EXPECT_TRUE(f.server().requestsTo(F::bookingPath, "POST").isEmpty()) << "a booking left without its record";
    EXPECT_EQ(f.made(), 0u);
    EXPECT_DOUBLE_EQ(timer->elapsed(), tracked);
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
    EXPECT_FALSE(timer->recordedBooking().has_value());
    EXPECT_FALSE(live.sheet->isDismissed()) << "the sheet stays, to try again";
    blocked.reset();
}

// The booking's answer never came (`unseen` sets up how): the sheet says the outcome is
// being checked, never that it wasn't saved; the booking is looked up and found, and only
// its seconds leave the timer, which ran on meanwhile.
template <typename F> void anAnswerNotSeen(F& f, const std::function<void()>& unseen) {
    f.prepare();
    auto timer = stoppedTimer(f);
    BookingRecovery recovery(*timer);
    recovery.setRecheckDelay(200);
    bool told = false;
    QObject::connect(&recovery, &BookingRecovery::bookingMayNotHaveBeenSaved, [&] { told = true; });
    recovery.check(f.tracker());
    unseen();
    LiveSheet<F> live(f, *timer);
    // The user reads the sheet while it reads what was there.
    ASSERT_TRUE(waitUntil([&] { return live.form->knowsEntriesBefore(); }, 10000 * unseenSlowdown));
    bool notSaved = false;
    QObject::connect(live.form.get(), &AbstractWorkLogForm::errorOccurredChanged, [&](bool on) { notSaved |= on; });
    live.sheet->save();
    ASSERT_TRUE(timer->recordedBooking().has_value()) << "it left at once, the read done";
    // The timer runs on while the booking is on its way.
    timer->resume();
    advance(*timer, 600);
    ASSERT_TRUE(waitUntil([&] { return live.sheet->alert() != nullptr; }, 20000 * unseenSlowdown));
    EXPECT_EQ(live.sheet->alert()->text(), BookTimeView::checkingTitle);
    EXPECT_FALSE(showsAlert(live.sheet, BookTimeView::notSavedTitle));
    EXPECT_FALSE(notSaved) << "an answer not seen was called a failure";
    ASSERT_TRUE(waitUntil([&] { return !timer->recordedBooking(); }, 20000 * unseenSlowdown));
    EXPECT_FALSE(told);
    EXPECT_EQ(f.made(), 1u);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 600) << "only the booked 90 minutes left the timer";
    EXPECT_EQ(timer->state(), TimerViewModel::State::active);
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
    TEST_F(Fixture, ABookingThatLeftAClosedSheetHoldsTheNextAndTakesOffOnlyItsSeconds) {                     \
        closedAfterTheBookingLeft(*this);                                                                    \
    }                                                                                                        \
    TEST_F(Fixture, AFullDiskAtSaveSendsNothingAndSaysWhy) {                                                 \
        noRecordNoBooking(*this, fullDisk);                                                                  \
    }                                                                                                        \
    TEST_F(Fixture, AFolderThatCannotBeWrittenAtSaveSendsNothingAndSaysWhy) {                                \
        noRecordNoBooking(*this, unwritableFolder);                                                          \
    }                                                                                                        \
    TEST_F(Fixture, AnAnswerAfterTheTimeOutIsLookedUpAndFoundNotCalledAFailure) {                            \
        SessionConfiguration::setProcessTimeoutCap(std::chrono::milliseconds(1500 * unseenSlowdown));        \
        anAnswerNotSeen(*this, [this] { server().storeLate(3000 * unseenSlowdown, "POST", bookingPath); });  \
        SessionConfiguration::setProcessTimeoutCap(std::nullopt);                                            \
        server().storeLate(0, {}, {});                                                                       \
    }                                                                                                        \
    TEST_F(Fixture, AConnectionDroppedAfterThePostArrivedIsLookedUpAndFoundNotCalledAFailure) {              \
        anAnswerNotSeen(*this, [this] { server().dropAnswerOnce("POST", bookingPath); });                    \
    }

VELMORA_UNSEEN_ANSWER_TESTS(BookingRecoveryTest)
VELMORA_UNSEEN_ANSWER_TESTS(AsanaBookingRecoveryTest)
VELMORA_UNSEEN_ANSWER_TESTS(YouTrackBookingRecoveryTest)

TEST_F(AsanaBookingRecoveryTest, AKeptBookingOnAColleaguesTaskIsFoundWithoutAQuestion) {
    addTask(QStringLiteral("u2"));
    addLookAlike(now().addSecs(-30));
    killKept(0);
    if (HasFatalFailure()) {
        return;
    }
    expectFound(*this, recover(service()));
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
