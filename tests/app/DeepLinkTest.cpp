#include "ShellFixture.h"

#include "app/DeepLink.h"
#include "app/DeepLinkHandler.h"
#include "app/SingleInstance.h"
#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/support/EventLoop.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/SettingsWindowController.h"

#include <QFile>
#include <QLocalServer>
#include <QUuid>

using namespace velmora;
using namespace velmora::test;

TEST(DeepLink, SignInLinksTakeTheFirstOfEachTokenInAnyOrderAndNeedBoth) {
    auto jira =
        DeepLink::parse(QStringLiteral("velmora://authorize-jira?refreshToken=r1&x=1&token=t%2B1&token=t2"));
    ASSERT_TRUE(jira);
    EXPECT_EQ(std::get<DeepLink::AuthorizeJira>(*jira).credentials,
              (JiraProvider::Credentials{QStringLiteral("t+1"), QStringLiteral("r1")}));
    auto asana = DeepLink::parse(QStringLiteral("velmora://authorize-asana?token=a&refreshToken="));
    ASSERT_TRUE(asana);
    EXPECT_EQ(std::get<DeepLink::AuthorizeAsana>(*asana).credentials, (AsanaProvider::Credentials{"a", ""}));

    EXPECT_FALSE(DeepLink::parse(QStringLiteral("velmora://authorize-asana?token=a")));
    EXPECT_FALSE(DeepLink::parse(QStringLiteral("velmora://authorize-jira")));
    EXPECT_FALSE(DeepLink::parse(QStringLiteral("other://authorize-jira?token=a&refreshToken=b")));
    EXPECT_FALSE(DeepLink::parse(QStringLiteral("VELMORA://add-account")));
    EXPECT_FALSE(DeepLink::parse(QStringLiteral("velmora://ADD-ACCOUNT")));
    EXPECT_FALSE(DeepLink::parse(QStringLiteral("velmora://settings")));
    EXPECT_TRUE(DeepLink::parse(QStringLiteral("velmora://add-account?from=menu")));
    EXPECT_EQ(DeepLink::describe(QStringLiteral("velmora://authorize-jira?token=secret&refreshToken=r")),
              "velmora://authorize-jira");
}

class DeepLinkHandlerTest : public ShellFixture {};

TEST_F(DeepLinkHandlerTest, AddAccountOpensTheAccountsPageAndThenAsksForAnAccount) {
    launch();
    int asked = 0;
    Cancellable observer = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::addAccount), [&](const Notification&) { ++asked; });
    delegate->openLinks({QStringLiteral("velmora://nothing"), DeepLink::addAccountLink});
    SettingsWindowController* settingsWindow = windows().existingSettingsWindow();
    ASSERT_NE(settingsWindow, nullptr);
    EXPECT_TRUE(settingsWindow->isVisible());
    EXPECT_EQ(settingsWindow->splitViewController()->viewModel().route(), SettingsPage::Name::accounts);
    EXPECT_EQ(asked, 0) << "the page appears first";
    ASSERT_TRUE(waitUntil([&] { return asked == 1; }));
}

TEST_F(DeepLinkHandlerTest, SignInTokensGoOnlyToAWaitingForm) {
    launch();
    // Nobody waits: nothing is posted (and the tokens are logged nowhere).
    int received = 0;
    delegate->openLinks({QStringLiteral("velmora://authorize-jira?token=t&refreshToken=r")});
    Cancellable observer = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::jiraCredentialsReceived), [&](const Notification& notice) {
            if (const auto* credentials = notice.objectAs<JiraProvider::Credentials>()) {
                EXPECT_EQ(credentials->token, "t");
                ++received;
            }
        });
    delegate->openLinks({QStringLiteral("velmora://authorize-jira?token=t&refreshToken=r")});
    EXPECT_EQ(received, 1);
}

TEST(SingleInstance, ALaterStartHandsItsLinksToTheRunningOneAndAStaleSocketDoesNotBlock) {
    const QString name = QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128);
    {
        // What a crashed app leaves: a socket file nobody listens on.
        QLocalServer crashed;
        ASSERT_TRUE(crashed.listen(name));
        const QString path = crashed.fullServerName();
        crashed.close();
        QFile stale(path);
        if (!stale.exists()) {
            ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        }
    }
    SingleInstance first(name);
    EXPECT_EQ(first.handOver({}, 200), SingleInstance::HandOver::NoRunningApp)
        << "nobody answers a stale socket";
    ASSERT_TRUE(first.listen());
    QList<QStringList> received;
    QObject::connect(&first, &SingleInstance::linksReceived,
                     [&](const QStringList& links) { received << links; });

    SingleInstance second(name);
    const QStringList links{QStringLiteral("velmora://authorize-jira?token=a&refreshToken=b"),
                            QStringLiteral("velmora://add-account")};
    auto handedOver = SingleInstance::HandOver::NotConfirmed;
    // The running app answers on its event loop; the second start waits on its own.
    std::thread later([&] {
        SingleInstance client(name);
        handedOver = client.handOver(links, 3000);
    });
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }));
    later.join();
    EXPECT_EQ(handedOver, SingleInstance::HandOver::Delivered);
    EXPECT_EQ(received.front(), links);
    EXPECT_EQ(SingleInstance::linksIn({"velmora", "--x", "velmora://add-account"}),
              QStringList{"velmora://add-account"});
}
