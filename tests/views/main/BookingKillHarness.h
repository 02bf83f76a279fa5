#pragma once

// What the tests of a booking whose answer was never seen share: the child process that books and is
// killed, the harness that kills it and starts again on its notes, a fixture per tracker against its
// fake server, and a booking sheet in this process.

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
#include "state/BookingRecovery.h"
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
#include <QJsonDocument>
#include <QJsonObject>
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

namespace velmora::test::bookings {

inline constexpr const char* folderVariable = "VELMORA_BOOKING_KILL_FOLDER";
inline constexpr const char* hostVariable = "VELMORA_BOOKING_KILL_JIRA_HOST";
inline constexpr const char* trackerVariable = "VELMORA_BOOKING_KILL_TRACKER";
// When the child clicks Save (ms since 1970, this machine's clock); at once without it.
inline constexpr const char* saveAtVariable = "VELMORA_BOOKING_KILL_SAVE_AT";
// What the child does: books ("book", the default), types a time into the timer
// ("type"), or checks the record and answers "It Was Saved", killed the moment the answer
// shows as taken ("confirm").
inline constexpr const char* modeVariable = "VELMORA_BOOKING_KILL_MODE";
// The time the "type" child types.
inline constexpr double typed = 4321;
inline const QString kKey = QStringLiteral("ACCOUNT");
// 1 h 30 min, booked as 90 minutes everywhere.
inline constexpr qint64 tracked = 5400;

enum class Tracker { jira, asana, youTrack };

inline QString trackerName(Tracker tracker) {
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

inline Project trackedProject(Tracker tracker = Tracker::jira) {
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

inline Issue trackedTask(Tracker tracker = Tracker::jira) {
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
inline BootTime killBoot() {
    return BootTime{"kill-boot", 1'000'000};
}

// The state of a run on the notes in `folder`; the booking records are the caller's to
// make (they read the notes as they are made).
inline StateEnvironment stateIn(const QString& folder, SnapshotManager*& snapshots, UserSettings*& settings,
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
inline void readTheTaskFirst(const std::shared_ptr<ProviderService>& service, Tracker tracker) {
    bool done = false;
    const QDateTime current = QDateTime::currentDateTime();
    Cancellable read =
        service->fetchOwnWorkEntries(trackedTask(tracker), {current.addDays(-1), current.addDays(1)})
            .sink([&](const std::vector<WorkEntry>&) { done = true; }, [&](const APIError&) { done = true; });
    waitUntil([&] { return done; }, 10000);
}

// The service of the child's tracker, on the fake tracker at `host`, once it has read
// the task (as the app does before its sheet opens).
inline std::shared_ptr<ProviderService> childService(Tracker tracker, const QString& host) {
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
inline AbstractWorkLogForm* childForm(Tracker tracker, const QString& host, double duration,
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

    // The next start after a kill at this moment: the notes as they are on disk now, whatever
    // this run would still have written.
    std::unique_ptr<TimerViewModel> nextStartAfterAKill() {
        const QString path = folder.path() + QStringLiteral("/Velmora.plist");
        QByteArray onDisk;
        if (QFile file(path); file.open(QIODevice::ReadOnly)) {
            onDisk = file.readAll();
        }
        m_recovery.reset();
        m_records.reset();
        delete m_snapshots;
        m_snapshots = nullptr;
        QFile::remove(path);
        if (QFile file(path); file.open(QIODevice::WriteOnly)) {
            file.write(onDisk);
        }
        return nextStart();
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
inline void expectReset(const Outcome& outcome) {
    EXPECT_TRUE(outcome.found);
    EXPECT_FALSE(outcome.told);
    EXPECT_FALSE(outcome.asked.has_value());
    EXPECT_DOUBLE_EQ(outcome.elapsed + outcome.held, 0);
}

// The window ended with nothing listed: the time is back on the timer and the user was
// told.
inline void expectKeptAndTold(const Outcome& outcome) {
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.elapsed, tracked);
    EXPECT_TRUE(outcome.told);
}

// The time is not lost, and the user heard of it: told that the tracker does not list
// it (the time back on the timer), or asked about the entry named (an earlier one that
// sits too close to the moment the booking left for the app to tell), the record holding
// the time meanwhile.
inline void expectKeptAndReported(const Outcome& outcome, const QString& lookAlike) {
    EXPECT_FALSE(outcome.found);
    EXPECT_DOUBLE_EQ(outcome.elapsed + outcome.held, tracked);
    EXPECT_TRUE(outcome.told || (outcome.asked && outcome.asked->id == lookAlike));
}

// Told, beside a look-alike of the tracker's that was there before.
template <typename F> void expectKeptAndToldBeside(F& f, const Outcome& outcome) {
    expectKeptAndTold(outcome);
    EXPECT_EQ(f.made(), 1u) << "only the look-alike";
}

// Found beside it, once.
template <typename F> void expectFound(F& f, const Outcome& outcome) {
    expectReset(outcome);
    EXPECT_EQ(f.made(), 2u) << "the look-alike and the booking, once";
}

// The tracker could not be asked: said so, the record keeps the time.
inline void expectNotAsked(const Outcome& outcome) {
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
inline constexpr int slowWay = 4000;

inline QDateTime now() {
    return QDateTime::currentDateTime();
}

// Earlier today in `zone`, two hours back unless the day began less than that ago.
inline QDateTime earlierToday(const QTimeZone& zone = QTimeZone::systemTimeZone()) {
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
    QString lastId() const { return jira.workLogs().back().id; }
    // Jira's answer to the last booking, as a proxy or a cache would give it again.
    FakeResponse lastAnswerAgain() const {
        const auto& last = jira.workLogs().back();
        return FakeResponse::json(
            QJsonDocument(QJsonObject{{"id", last.id},
                                      {"issueId", last.issueId},
                                      {"timeSpentSeconds", last.seconds},
                                      {"started", JiraService::formatStarted(last.started)}})
                .toJson(),
            201);
    }
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

// --- Asana -----------------------------------------------------------------------------

class AsanaBookingRecoveryTest : public AsanaFixture, public KillHarness {
public:
    static constexpr Tracker kind = Tracker::asana;
    FakeHttpsServer& server() { return asana.http(); }
    QString host() { return asana.hostAndPort(); }
    std::shared_ptr<ProviderService> tracker() { return service(); }
    std::size_t made() const { return asana.entries().size(); }
    QString lastId() const { return asana.entries().back().gid; }
    FakeResponse lastAnswerAgain() const {
        const auto& last = asana.entries().back();
        return FakeResponse::json(
            QJsonDocument(QJsonObject{{"data", QJsonObject{{"gid", last.gid},
                                                           {"resource_type", "time_tracking_entry"},
                                                           {"duration_minutes",
                                                            static_cast<qint64>(last.durationMinutes)},
                                                           {"task", QJsonObject{{"gid", last.taskGid}}}}}})
                .toJson(),
            201);
    }
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

// --- YouTrack --------------------------------------------------------------------------

class YouTrackBookingRecoveryTest : public YouTrackFixture, public KillHarness {
public:
    static constexpr Tracker kind = Tracker::youTrack;
    FakeHttpsServer& server() { return youTrack.http(); }
    QString host() { return youTrack.baseUrl(); }
    std::shared_ptr<ProviderService> tracker() { return service; }
    std::size_t made() const { return youTrack.workItems().size(); }
    QString lastId() const { return youTrack.workItems().back().id; }
    FakeResponse lastAnswerAgain() const {
        const auto& last = youTrack.workItems().back();
        return FakeResponse::json(
            QJsonDocument(QJsonObject{{"id", last.id},
                                      {"$type", "IssueWorkItem"},
                                      {"duration", QJsonObject{{"minutes", last.minutes}}},
                                      {"issue", QJsonObject{{"id", last.issueId}}}})
                .toJson(),
            200);
    }
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

// --- a booking sheet in this process ------------------------------------------------------

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

inline void advance(TimerViewModel& timer, qint64 seconds) {
    std::static_pointer_cast<ManualClock>(timer.clock())->advance(seconds * 1000);
}

// Whether an alert of `sheet` with this text (or title) shows.
inline bool showsAlert(const BookTimeView* sheet, const QString& text) {
    return sheet && sheet->alert() &&
           (sheet->alert()->windowTitle() == text || sheet->alert()->text().contains(text) ||
            sheet->alert()->informativeText().contains(text));
}

// The event that proves no more bookings come: every form that could book has no
// request in flight, so each booking it sent was answered, and so received by the
// tracker; a read sent after that has been answered too.
template <typename F>
inline void settledAtTheTracker(F& f, std::initializer_list<const AbstractWorkLogForm*> forms) {
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
inline bool lookedUp(const std::optional<BookingRecord>& record) {
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
inline Write fullDisk(const QString& file) {
    auto limit = std::make_shared<FileSizeLimit>(static_cast<rlim_t>(QFileInfo(file).size()));
    EXPECT_TRUE(limit->active());
    return limit;
}

// The notes' folder cannot be written. Root writes into a read-only folder all the same,
// so there the folder is swapped for a file of its name (no file can be made in it either).
inline Write unwritableFolder(const QString& file) {
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

} // namespace velmora::test::bookings
