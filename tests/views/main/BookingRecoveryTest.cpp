#include "core/model/JiraProvider.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/Clock.h"
#include "platform/net/SessionConfiguration.h"
#include "state/TimerViewModel.h"
#include "tests/state/StateTestEnvironment.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/trackers/jira/JiraFixture.h"
#include "trackers/jira/JiraService.h"
#include "trackers/jira/JiraWorkLogForm.h"
#include "views/main/BookTimeView.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace velmora;
using namespace velmora::test;

namespace {

const char* folderVariable = "VELMORA_BOOKING_KILL_FOLDER";
const char* hostVariable = "VELMORA_BOOKING_KILL_JIRA_HOST";
const QString kKey = QStringLiteral("ACCOUNT");

Project trackedProject() {
    return Project{QStringLiteral("10000"), QStringLiteral("PRJ"), QStringLiteral("Project"), {}, {}};
}

Issue trackedTask() {
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

} // namespace

// Not a test of its own: the body of the process that the tests below kill while its
// booking is on the way. It tracks 1 h 30 min, books it through the sheet against the
// test's fake Jira, and runs its event loop until it is killed.
TEST(BookingKillChild, BooksAndWaitsToBeKilled) {
    const QString folder = qEnvironmentVariable(folderVariable);
    if (folder.isEmpty()) {
        GTEST_SKIP() << "runs only inside BookingRecoveryTest";
    }
    qputenv("VELMORA_JIRA_API_HOST", qgetenv(hostVariable));
    SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
    SnapshotManager* snapshots = nullptr;
    UserSettings* settings = nullptr;
    const StateEnvironment environment = stateIn(folder, snapshots, settings);
    auto* timer = new TimerViewModel(kKey, environment);
    timer->start(trackedProject(), trackedTask());
    std::static_pointer_cast<ManualClock>(environment.clock)->advance(5400 * 1000);
    timer->pause();

    const JiraProvider account(
        std::nullopt, QStringLiteral("Work"), JiraProvider::Parameters{QStringLiteral("cloud-1")},
        ProviderState::operational,
        ProviderUser{QStringLiteral("acc-me"), QStringLiteral("Me Myself"), QString()});
    auto service = JiraService::create(
        account,
        APIRequest::jira(QStringLiteral("token-1"), QStringLiteral("refresh-1"), QStringLiteral("cloud-1")),
        Clock::system());
    auto* form = new JiraWorkLogForm(account, service, trackedProject(), trackedTask(), timer->elapsed());
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

class BookingRecoveryTest : public JiraFixture {
protected:
    BookingRecoveryTest() {
        addProject();
        jira.addIssue({QStringLiteral("10001"), QStringLiteral("PRJ-1"), QStringLiteral("10000"),
                       QStringLiteral("Crash on start")});
    }

    // Starts the child and kills it once `arrived` says its booking reached the
    // tracker (whose answer is held back, so the child never learns the outcome).
    void killDuringThePost(const std::function<bool()>& arrived) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(folderVariable), folder.path());
        environment.insert(QString::fromLatin1(hostVariable), jira.hostAndPort());
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

    // The next start: the timer as the file has it, checked against the tracker.
    std::unique_ptr<TimerViewModel> nextStart() {
        m_environment = stateIn(folder.path(), m_snapshots, m_settings);
        return std::make_unique<TimerViewModel>(kKey, m_environment);
    }

    ~BookingRecoveryTest() override {
        delete m_snapshots;
        delete m_settings;
    }

    QTemporaryDir folder;

private:
    SnapshotManager* m_snapshots = nullptr;
    UserSettings* m_settings = nullptr;
    StateEnvironment m_environment;
};

} // namespace

TEST_F(BookingRecoveryTest, AKillDuringThePostThatTheTrackerKeptEndsInOneWorkLogAndAResetTimer) {
    jira.setLatency(60000);
    killDuringThePost([&] { return jira.workLogs().size() == 1; });
    if (HasFatalFailure()) {
        return;
    }
    jira.setLatency(0);

    auto timer = nextStart();
    ASSERT_TRUE(timer->recordedBooking().has_value());
    EXPECT_EQ(timer->recordedBooking()->taskId, QStringLiteral("10001"));
    EXPECT_EQ(timer->recordedBooking()->seconds, 5400);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 5400);
    bool told = false;
    QObject::connect(timer.get(), &TimerViewModel::bookingMayNotHaveBeenSaved, [&] { told = true; });
    timer->checkRecordedBooking(service());
    ASSERT_TRUE(waitUntil([&] { return !timer->isInUse() || told; }, 10000));
    EXPECT_FALSE(told);
    EXPECT_FALSE(timer->isInUse());
    EXPECT_EQ(jira.workLogs().size(), 1u) << "nothing is booked twice";
}

TEST_F(BookingRecoveryTest, AKillDuringThePostThatTheTrackerDroppedKeepsTheTimeAndTells) {
    bool posted = false;
    jira.interceptOnce(
        [&](const FakeRequest& request) {
            const bool booking = request.matches("POST", QStringLiteral("/worklog"));
            posted = posted || booking;
            return booking;
        },
        FakeResponse::noAnswer().withDelay(60000));
    killDuringThePost([&] { return posted; });
    if (HasFatalFailure()) {
        return;
    }

    auto timer = nextStart();
    ASSERT_TRUE(timer->recordedBooking().has_value());
    bool told = false;
    QObject::connect(timer.get(), &TimerViewModel::bookingMayNotHaveBeenSaved, [&] { told = true; });
    timer->checkRecordedBooking(service());
    ASSERT_TRUE(waitUntil([&] { return told; }, 10000));
    EXPECT_TRUE(jira.workLogs().empty());
    EXPECT_EQ(timer->task(), trackedTask());
    EXPECT_EQ(timer->state(), TimerViewModel::State::paused);
    EXPECT_DOUBLE_EQ(timer->elapsed(), 5400);
}
