#include "ShellFixture.h"
#include "UrlRecorder.h"

#include "app/SingleInstance.h"
#include "app/WelcomeWindowController.h"
#include "platform/net/SessionConfiguration.h"
#include "state/ApplicationViewModel.h"
#include "state/ProjectViewModel.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/support/FakeYouTrackServer.h"
#include "views/main/BookTimeView.h"
#include "views/main/CalendarDayView.h"
#include "views/main/ProjectViewController.h"
#include "views/main/ToolbarItemIdentifier.h"
#include "views/settings/ChoicePicker.h"
#include "views/settings/JiraProviderView.h"
#include "views/settings/WelcomeView.h"
#include "views/settings/YouTrackProviderView.h"

#include <QAction>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QToolBar>
#include <QUuid>

using namespace velmora;
using namespace velmora::test;

namespace {

// The shell on the real tracker services (the fake Jira behind them) and the app's own
// single-instance socket, under a name of this test's.
class EndToEndTest : public ShellFixture {
protected:
    EndToEndTest() {
        // The services load credentials from the shared keyring: make it the test's.
        CredentialsManager::setSharedKeyring(keyring);
        SessionConfiguration::setProcessExtraCaCertificates(FakeHttpsServer::trustedCaCertificates());
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        qputenv("VELMORA_SERVER_URL", "maker.example.test");
        instanceName = QStringLiteral("velmora-e2e-") + QUuid::createUuid().toString(QUuid::Id128);
        qputenv("VELMORA_INSTANCE_NAME", instanceName.toUtf8());
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    }
    ~EndToEndTest() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        qunsetenv("VELMORA_INSTANCE_NAME");
    }

    ShellEnvironment realServices() {
        ShellEnvironment env = environment();
        env.makeService = {};
        return env;
    }

    // Starts the real app with `link`, as the desktop does for a clicked link; yields
    // its exit code.
    int openInSecondApp(const QString& link) {
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        second.setProcessEnvironment(env);
        second.start(QStringLiteral(VELMORA_APP_BINARY), {link});
        if (!waitUntil([&] { return second.state() == QProcess::NotRunning; }, 20000)) {
            second.kill();
            second.waitForFinished();
            return -1;
        }
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }

    FakeJiraServer jira;
    UrlRecorder browser;
    QString instanceName;
};

void type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClicks(edit, text);
    QMetaObject::invokeMethod(edit, "editingFinished");
}

} // namespace

TEST_F(EndToEndTest, AJiraSignInComesBackThroughASecondStartOfTheApp) {
    delegate = std::make_unique<AppDelegate>(realServices());
    delegate->applicationDidFinishLaunching();
    SingleInstance instance;
    ASSERT_TRUE(instance.listen());
    QObject::connect(&instance, &SingleInstance::linksReceived, delegate.get(),
                     [this](const QStringList& links) { delegate->openLinks(links); });

    auto* welcome = qobject_cast<WelcomeView*>(windows().welcomeWindow()->content());
    ASSERT_NE(welcome, nullptr);
    QTest::mouseClick(welcome->trackerButton(IntroRoute::jiraSetup), Qt::LeftButton);
    auto* form = qobject_cast<JiraProviderView*>(welcome->setupView());
    ASSERT_NE(form, nullptr);
    type(form->nameField(), QStringLiteral("Jira at work"));
    drainEvents();
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_TRUE(browser.opened.front().path().endsWith("oauth/app/jira/redirect"));

    // The browser comes back with a link; the desktop starts the app for it.
    EXPECT_EQ(
        openInSecondApp(QStringLiteral("velmora://authorize-jira?refreshToken=refresh-1&token=token-1")), 0);
    ASSERT_TRUE(waitUntil([&] { return !form->model().accessibleResources().empty(); }));
    drainEvents();
    form->picker()->choose(jira.cloudId);
    ASSERT_TRUE(form->mainButton()->isEnabled());
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);

    ASSERT_TRUE(waitUntil([&] { return windows().applicationWindow() != nullptr; }));
    const auto& account = std::get<JiraProvider>(*windows().provider());
    EXPECT_EQ(account.name(), "Jira at work");
    EXPECT_EQ(account.parameters().organisation, jira.cloudId);
    EXPECT_EQ(account.user()->externalId, "acc-me");
    EXPECT_TRUE(keyring->contains(uuidText(*account.id())));
}

TEST_F(EndToEndTest, AFirstStartTracksTimeOnAYouTrackTaskBooksItAndDeletesItFromTheCalendar) {
    FakeYouTrackServer youTrack;
    FakeYouTrackServer::Project app;
    app.id = QStringLiteral("0-1");
    app.shortName = QStringLiteral("APP");
    app.name = QStringLiteral("Application");
    youTrack.addProject(app);
    FakeYouTrackServer::Issue issue;
    issue.id = QStringLiteral("2-1");
    issue.idReadable = QStringLiteral("APP-1");
    issue.projectId = app.id;
    issue.summary = QStringLiteral("Settings are not saved");
    youTrack.addIssue(issue);

    delegate = std::make_unique<AppDelegate>(realServices());
    delegate->applicationDidFinishLaunching();
    auto* welcome = qobject_cast<WelcomeView*>(windows().welcomeWindow()->content());
    ASSERT_NE(welcome, nullptr);
    QTest::mouseClick(welcome->trackerButton(IntroRoute::youTrackSetup), Qt::LeftButton);
    auto* form = qobject_cast<YouTrackProviderView*>(welcome->setupView());
    ASSERT_NE(form, nullptr);
    type(form->nameField(), QStringLiteral("Work"));
    type(form->baseUrlField(), QStringLiteral("https://") + youTrack.baseUrl() + QStringLiteral("/issues"));
    type(form->tokenField(), youTrack.token());
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return windows().applicationWindow() != nullptr; }));
    ApplicationWindowController* window = windows().applicationWindow();
    ApplicationViewModel& application = *window->applicationViewModel();

    // Open the project and choose its task.
    ASSERT_TRUE(waitUntil([&] { return !application.projects().empty(); }));
    application.setRoute(ApplicationRoute::forProject(application.projects().front()));
    ProjectViewController* project = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        project = window->findChild<ProjectViewController*>();
        return project && !project->viewModel().tasks().empty();
    }));
    project->viewModel().setTask(project->viewModel().tasks().front());
    drainEvents();

    // Start the timer from the toolbar, let an hour pass, stop it: the booking sheet asks.
    QAction* start = window->toolbar()->findChild<QAction*>(ToolbarItemIdentifier::startTimeTracking);
    ASSERT_NE(start, nullptr);
    start->trigger();
    TimerViewModel& timer = *window->timerViewModel();
    ASSERT_EQ(timer.state(), TimerViewModel::State::active);
    timer.setDuration(3600);
    drainEvents();
    QAction* stop = window->toolbar()->findChild<QAction*>(ToolbarItemIdentifier::cancelTimeTracking);
    ASSERT_NE(stop, nullptr);
    stop->trigger();
    BookTimeView* sheet = nullptr;
    ASSERT_TRUE(
        waitUntil([&] { return (sheet = window->findChild<BookTimeView*>()) && sheet->isVisible(); }));
    // The sheet reads the project's work item settings before it lets the user save.
    ASSERT_TRUE(waitUntil([&] { return sheet->saveButton()->isEnabled(); }));
    drainEvents();
    QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return youTrack.workItems().size() == 1; }));
    EXPECT_EQ(youTrack.workItems().front().minutes, 60);
    ASSERT_TRUE(waitUntil([&] { return timer.state() == TimerViewModel::State::cancelled; }));

    // The calendar shows the entry; deleting it there removes it from the tracker.
    application.setRoute(ApplicationRoute::calendar());
    CalendarDayView* today = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (CalendarDayView* day : window->findChildren<CalendarDayView*>()) {
            if (!day->day().workEntries.empty()) {
                today = day;
            }
        }
        return today != nullptr;
    }));
    today->requestDelete(today->day().workEntries.front());
    ASSERT_NE(today->confirmation(), nullptr);
    today->confirmDelete();
    ASSERT_TRUE(waitUntil([&] { return youTrack.workItems().empty(); }));
}
