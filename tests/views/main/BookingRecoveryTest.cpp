#include "state/BookingRecovery.h"
#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/NotificationNames.h"
#include "core/model/YouTrackProvider.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecords.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TimeScale.h"
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
#include "views/main/BookingStatusView.h"
#include "views/main/BookingTexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTimer>

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
// ("type"), or checks the record and answers "It Was Saved", killed the moment the answer
// shows as taken ("confirm").
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

// The boot of the runs a test kills and starts again: its clock stands still unless the
// test moves it (the child's never moves, so its booking leaves at the start).
BootTime killBoot() {
    return BootTime{"kill-boot", 1'000'000};
}

// The state of a run on the notes in `folder`; the booking records are the caller's to
// make (they read the notes as they are made).
StateEnvironment stateIn(const QString& folder, SnapshotManager*& snapshots, UserSettings*& settings,
                         const std::shared_ptr<ManualBootClock>& boot) {
    snapshots = new SnapshotManager(folder + QStringLiteral("/Velmora.plist"));
    settings = new UserSettings(folder + QStringLiteral("/settings.conf"));
    StateEnvironment environment;
    environment.clock = std::make_shared<ManualClock>(QDateTime::currentDateTime());
    environment.bootClock = boot;
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

namespace {

// What the next start made of the record.
struct Outcome {
    // It is in the tracker: the record is saved, and the time is nowhere else.
    bool found = false;
    // Nothing can be the booking once the window ended: the user is told, and the time
    // is back on the timer.
    bool told = false;
    // An entry may be it: the user is asked, the record holds the time.
    std::optional<WorkEntry> asked;
    // The tracker could not be asked: the record holds the time and is asked again.
    std::optional<APIError> failed;
    bool recordKept = false;
    // The timer's time, and what the record holds: together, never less or more than
    // what was tracked.
    double elapsed = 0;
    double held = 0;
};

// The kill and the next start, whatever the tracker: the child books against the
// fake tracker and is killed once the booking arrived (or was swallowed); the next run
// reads the timer and the booking's record from the files the child left and looks the
// booking up.
class KillHarness {
public:
    ~KillHarness() {
        m_recovery.reset();
        m_records.reset();
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
        m_recovery.reset();
        m_records.reset();
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

    // The next start (or a first one): the booking records and the timer as the files
    // have them. Whatever the run before kept goes first, as a quit would take it.
    std::unique_ptr<TimerViewModel> nextStart() {
        m_recovery.reset();
        m_records.reset();
        delete m_snapshots;
        delete m_settings;
        m_environment = stateIn(folder.path(), m_snapshots, m_settings, m_boot);
        m_records = std::make_unique<BookingRecords>(m_environment);
        m_environment.bookings = m_records.get();
        return std::make_unique<TimerViewModel>(kKey, m_environment);
    }

    // This run's records, and its look-ups asking `service` (made on first use).
    BookingRecords& records() { return *m_records; }
    BookingRecovery& lookUps(const std::shared_ptr<ProviderService>& service) {
        if (!m_recovery) {
            m_recovery =
                std::make_unique<BookingRecovery>(*m_records, [service](const QString&) { return service; });
        }
        return *m_recovery;
    }
    // The one record of the account, if there is one.
    std::optional<BookingRecord> theRecord() {
        const auto all = m_records ? m_records->records(kKey) : std::vector<BookingRecord>{};
        return all.empty() ? std::nullopt : std::optional(all.back());
    }
    // Lets boot-clock time pass, and with it the look-ups planned on it.
    void pass(qint64 ms) {
        m_boot->advance(ms);
        settle();
    }
    // What the look-ups learnt is on disk and told.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            drainEvents();
            if (m_records) {
                m_records->settle();
            }
        }
    }

    // The next start's look-up against the tracker, to its end: past the arrival window
    // when the tracker lists nothing (only then is anything told).
    Outcome recover(const std::shared_ptr<ProviderService>& service) {
        auto timer = nextStart();
        Outcome outcome;
        QFile written(folder.path() + QStringLiteral("/Velmora.plist"));
        written.open(QIODevice::ReadOnly);
        const auto first = theRecord();
        EXPECT_TRUE(first.has_value()) << written.readAll().toStdString();
        if (!first) {
            return outcome;
        }
        EXPECT_DOUBLE_EQ(timer->elapsed() + (first->holdsSeconds() ? first->booking.seconds : 0), tracked);
        const QUuid id = first->id;
        const auto state = [&] {
            return m_records->record(id) ? m_records->record(id)->state : BookingRecord::State::discarded;
        };
        lookUps(service).start();
        // This start's own look-up (what an earlier one learnt is on the record too).
        EXPECT_TRUE(waitUntil([&] { return !m_recovery->isLookingUp(id); }, 10000));
        settle();
        if (state() == BookingRecord::State::unknown &&
            m_records->record(id)->lookUp == BookingRecord::LookUp::nothingListed) {
            // Told only once the window ended.
            pass(m_records->windowLeft(*m_records->record(id)) + 1000);
            EXPECT_TRUE(waitUntil([&] { return state() != BookingRecord::State::unknown; }, 10000));
        }
        const auto record = m_records->record(id);
        outcome.found = record && record->state == BookingRecord::State::saved;
        outcome.told = record && record->state == BookingRecord::State::notSaved &&
                       record->ending == BookingRecord::Ending::notListed;
        if (record && record->state == BookingRecord::State::asked) {
            outcome.asked = record->question;
        }
        if (record && record->state == BookingRecord::State::unknown &&
            record->lookUp == BookingRecord::LookUp::failed) {
            outcome.failed = record->lookUpError;
        }
        outcome.recordKept = record && record->holdsSeconds();
        outcome.held = outcome.recordKept ? static_cast<double>(record->booking.seconds) : 0;
        outcome.elapsed = timer->elapsed();
        // What the next start reads.
        m_snapshots->flush();
        return outcome;
    }

    QTemporaryDir folder;
    std::optional<qint64> saveAt;

public:
    SnapshotManager* m_snapshots = nullptr;
    UserSettings* m_settings = nullptr;
    StateEnvironment m_environment;
    std::shared_ptr<ManualBootClock> m_boot = std::make_shared<ManualBootClock>(killBoot());
    std::unique_ptr<BookingRecords> m_records;
    std::unique_ptr<BookingRecovery> m_recovery;
};

// The booking is in the tracker, and its time nowhere else.
void expectReset(const Outcome& outcome) {
    EXPECT_TRUE(outcome.found);
    EXPECT_FALSE(outcome.told);
    EXPECT_FALSE(outcome.asked.has_value());
    EXPECT_DOUBLE_EQ(outcome.elapsed + outcome.held, 0);
}

// The window ended with nothing listed: the time is back on the timer and the user was
// told.
void expectKeptAndTold(const Outcome& outcome) {
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_TRUE(outcome.told);
}

// The time is not lost, and the user heard of it: told that the tracker does not list
// it (the time back on the timer), or asked about the entry named (an earlier one that
// sits too close to the moment the booking left for the app to tell), the record holding
// the time meanwhile.
void expectKeptAndReported(const Outcome& outcome, const QString& lookAlike) {
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.elapsed + outcome.held, tracked);
    EXPECT_TRUE(outcome.told || (outcome.asked && outcome.asked->id == lookAlike));
}

// The tracker could not be asked: said so, the record keeps the time.
void expectNotAsked(const Outcome& outcome) {
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.held, tracked);
    EXPECT_FALSE(outcome.told) << "nothing was learnt of the booking";
    EXPECT_FALSE(outcome.asked.has_value());
    ASSERT_TRUE(outcome.failed.has_value());
    EXPECT_EQ(outcome.failed->cause(), APIError::Cause::Unreachable);
    EXPECT_TRUE(outcome.recordKept) << "the next look-up asks again";
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
    // The next request of `method` to `path` gets `response`, and the tracker keeps nothing.
    void answerOnce(const QByteArray& method, const QString& path, FakeResponse response) {
        jira.interceptOnce(method, path, std::move(response));
    }

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
    void answerOnce(const QByteArray& method, const QString& path, FakeResponse response) {
        asana.interceptOnce(method, path, std::move(response));
    }

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
    void answerOnce(const QByteArray& method, const QString& path, FakeResponse response) {
        youTrack.interceptOnce(method, path, std::move(response));
    }

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

// --- what the app did not see, for the three trackers ---------------------------------

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

// A sheet on the timer, in this process, booking against the fake tracker.
template <typename F> struct LiveSheet {
    LiveSheet(F& f, TimerViewModel& timer, double seconds = -1,
              BookTimeView::Source source = BookTimeView::Source::timer)
        : form(childForm(F::kind, f.host(), seconds < 0 ? timer.elapsed() : seconds, f.tracker())),
          sheet(new BookTimeView(*form, timer, source)), records(&f.records()) {
        sheet->show();
    }
    ~LiveSheet() {
        delete sheet.data();
        // The form goes once nothing of it is on its way, as the sidebar lets it go.
        waitUntil([this] { return !form->networkRequestInProgress(); }, 10000);
    }
    // Save, once the sheet has read what is there.
    // The booking leaves once its record is on disk: that is waited for too.
    void save() {
        EXPECT_TRUE(waitUntil([this] { return form->knowsEntriesBefore(); }, 10000));
        sheet->save();
        if (sheet && sheet->bookingRecord()) {
            const QUuid id = *sheet->bookingRecord();
            EXPECT_TRUE(waitUntil([this, id] { return records->record(id).has_value(); }, 10000));
        }
    }
    std::unique_ptr<AbstractWorkLogForm> form;
    QPointer<BookTimeView> sheet;
    BookingRecords* records;
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

// The event that proves no more bookings come: every form that could book has no
// request in flight, so each booking it sent was answered, and so received by the
// tracker; a read sent after that has been answered too.
template <typename F>
void settledAtTheTracker(F& f, std::initializer_list<const AbstractWorkLogForm*> forms) {
    for (const AbstractWorkLogForm* form : forms) {
        ASSERT_TRUE(waitUntil([form] { return !form->networkRequestInProgress(); }, 20000));
    }
    bool answered = false;
    const QDateTime now = QDateTime::currentDateTime();
    Cancellable probe = f.tracker()
                            ->fetchOwnWorkEntries(trackedTask(F::kind), {now.addDays(-1), now.addDays(1)})
                            .sink([&](const std::vector<WorkEntry>&) { answered = true; },
                                  [&](const APIError&) { answered = true; });
    ASSERT_TRUE(waitUntil([&] { return answered; }, 20000));
}

// The record of the booking the sheet sent.
template <typename F> std::optional<BookingRecord> recordOf(F& f, const LiveSheet<F>& live) {
    return live.sheet && live.sheet->bookingRecord() ? f.records().record(*live.sheet->bookingRecord())
                                                     : f.theRecord();
}

// Whether the record has learnt something: settled, asked, or looked up once.
bool lookedUp(const std::optional<BookingRecord>& record) {
    return record &&
           (record->state != BookingRecord::State::unknown ||
            record->lookUp != BookingRecord::LookUp::none) &&
           record->state != BookingRecord::State::leaving;
}

// Asks the tracker again now and then (as "Ask Now" does) until `done`.
template <typename F> bool askUntil(F& f, const QUuid& id, const std::function<bool()>& done, int ms) {
    QElapsedTimer since;
    since.start();
    return waitUntil(
        [&] {
            if (done()) {
                return true;
            }
            if (since.elapsed() > 200 && !f.lookUps(f.tracker()).isLookingUp(id)) {
                f.lookUps(f.tracker()).lookUpNow(id);
                since.restart();
            }
            return false;
        },
        ms);
}

using Write = std::shared_ptr<void>;

// The disk is full: no file of this process grows past the notes as they are now.
Write fullDisk(const QString& file) {
    auto limit = std::make_shared<FileSizeLimit>(static_cast<rlim_t>(QFileInfo(file).size()));
    EXPECT_TRUE(limit->active());
    return limit;
}

// The notes' folder cannot be written. Root writes into a read-only folder all the same,
// so there the folder is swapped for a file of its name (no file can be made in it either).
Write unwritableFolder(const QString& file) {
    const QString folder = QFileInfo(file).absolutePath();
    if (::geteuid() != 0) {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        return Write(nullptr, [folder](void*) {
            QFile::setPermissions(folder,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        });
    }
    const QString aside = folder + QStringLiteral(".aside");
    EXPECT_TRUE(QDir().rename(folder, aside));
    QFile blocker(folder);
    EXPECT_TRUE(blocker.open(QIODevice::WriteOnly));
    return Write(nullptr, [folder, aside](void*) {
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
    EXPECT_TRUE(
        said.contains(BookingTexts::until(f.records().windowEndsAt(*record), QDateTime::currentDateTime())))
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
        EXPECT_TRUE(shown.contains(
            BookingTexts::until(f.records().windowEndsAt(*recordOf(f, live)), QDateTime::currentDateTime())))
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

// --- one entry, one booking; returned time, one home --------------------------------------

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

// Two bookings of the same minutes on the task the same day (the timer's 90 minutes booked as
// two halves): the first is answered 503 (stored or not), the second is stored and answered.
// The tracker lists what it stored late, so the first's look-up sees both entries at once.
template <typename F> void twoLookAlikeBookings(F& f, bool firstStored) {
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
    f.server().passListTime(90'000);
    lookUpToTheEnd(f, first);
    const auto one = f.records().record(first);
    const auto other = f.records().record(second);
    ASSERT_TRUE(one.has_value());
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->state, BookingRecord::State::saved);
    if (firstStored) {
        EXPECT_EQ(one->state, BookingRecord::State::saved) << "both stored: two entries, two saved records";
        EXPECT_NE(one->entryId, other->entryId) << "one entry taken by two bookings";
        EXPECT_EQ(f.made(), 2u);
    } else {
        EXPECT_NE(one->state, BookingRecord::State::saved)
            << "the other booking's entry was taken: time lost";
        EXPECT_DOUBLE_EQ(timer->elapsed() + (one->holdsSeconds() ? one->booking.seconds : 0), tracked / 2)
            << "the first half is back for the user";
        EXPECT_EQ(f.made(), 1u);
    }
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
    EXPECT_TRUE(detail.contains(BookingTexts::until(*record->nextLookUpWall, QDateTime::currentDateTime())))
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

// --- the question ----------------------------------------------------------------------

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
    ASSERT_NE(status.button(made.id, BookingTexts::discardButton), nullptr);
    status.button(made.id, BookingTexts::discardButton)->click();
    made.records().settle();
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
    ASSERT_TRUE(
        waitUntil([&] { return made.records().record(made.id)->lookUp == BookingRecord::LookUp::failed; }));
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
    ASSERT_TRUE(
        waitUntil([&] { return made.records().record(made.id)->state != BookingRecord::State::unknown; }));
    const BookingTexts::Line ended = BookingTexts::line(*made.records().record(made.id), made.records());
    EXPECT_TRUE(ended.headline.startsWith(QStringLiteral("30m on <b>BIG-20</b> wasn't booked")))
        << ended.headline.toStdString();
    EXPECT_FALSE(ended.detail.contains(QStringLiteral("when Velmora stopped")));
    ASSERT_NE(status.alert(made.id), nullptr) << "an end without a save pops up once";
    EXPECT_EQ(asked, 1) << "one service for the record's look-ups";
}
