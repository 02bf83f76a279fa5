#include "ShellFixture.h"
#include "UrlRecorder.h"

#include "app/SingleInstance.h"
#include "app/WelcomeWindowController.h"
#include "platform/net/SessionConfiguration.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeJiraServer.h"
#include "views/settings/ChoicePicker.h"
#include "views/settings/JiraProviderView.h"
#include "views/settings/WelcomeView.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
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
    EXPECT_EQ(openInSecondApp(QStringLiteral("velmora://authorize-jira?refreshToken=refresh-1&token=token-1")), 0);
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
