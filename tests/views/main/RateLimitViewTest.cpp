#include "views/main/RateLimitView.h"
#include "views/main/RateLimitViewController.h"

#include "platform/store/ProviderStore.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeShellHooks.h"
#include "views/main/AvatarView.h"
#include "views/main/ProviderSelectorView.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTextDocumentFragment>

#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::test;

TEST(RateLimitViewTest, CountsDownAndOffersTheWayBackAtZero) {
    int retries = 0;
    RateLimitView view(
        3, [&] { ++retries; }, std::chrono::hours(1));
    view.show();
    EXPECT_TRUE(view.isCountingDown());
    EXPECT_TRUE(view.messageLabel()->text().contains(QStringLiteral("<b>3 seconds</b>")));
    EXPECT_FALSE(view.bringMeBackButton()->isEnabled());
    view.tick();
    view.tick();
    EXPECT_EQ(view.delay(), 1);
    // One second is one.
    EXPECT_EQ(QTextDocumentFragment::fromHtml(view.messageLabel()->text()).toPlainText(),
              QStringLiteral("You’ve hit a speed bump. Let’s take a break for 1 second before we go again!"));
    EXPECT_FALSE(view.bringMeBackButton()->isEnabled());
    view.tick();
    EXPECT_EQ(view.delay(), 0);
    EXPECT_TRUE(view.messageLabel()->text().contains(QStringLiteral("<b>0 seconds</b>")));
    EXPECT_TRUE(view.bringMeBackButton()->isEnabled());
    EXPECT_FALSE(view.isCountingDown());
    view.tick();
    EXPECT_EQ(view.delay(), 0);

    QTest::mouseClick(view.bringMeBackButton(), Qt::LeftButton);
    EXPECT_EQ(retries, 1);
}

TEST(RateLimitViewTest, ARealSecondTicks) {
    RateLimitView view(
        1, [] {}, std::chrono::milliseconds(20));
    view.show();
    ASSERT_TRUE(waitUntil([&] { return view.delay() == 0; }));
    EXPECT_TRUE(view.bringMeBackButton()->isEnabled());
}

TEST(RateLimitViewTest, NoWaitIsReadyAtOnceAndTheSwitcherOpensMeanwhile) {
    RateLimitView view(0, [] {});
    view.show();
    EXPECT_TRUE(view.bringMeBackButton()->isEnabled());
    EXPECT_FALSE(view.isCountingDown());

    RateLimitView waiting(30, [] {});
    int opened = 0;
    waiting.setProviderSelectorFactory([&](QWidget* parent) {
        ++opened;
        return new QDialog(parent);
    });
    waiting.show();
    QTest::mouseClick(waiting.changeProviderButton(), Qt::LeftButton);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(waiting.isChangingProvider());
}

// The wait is read in a sentence: every line of it is on screen, whether the number
// has one digit or two, and the way back opens exactly when nothing is left.
TEST(RateLimitViewTest, TheWholeSentenceShowsAtEveryCount) {
    for (const int delay : {20, 9, 0}) {
        RateLimitViewController screen(delay, [] {});
        screen.resize(1180, 820);
        screen.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
        QCoreApplication::processEvents();
        const QLabel* message = screen.rateLimitView()->messageLabel();

        QTextDocument sentence;
        sentence.setHtml(message->text());
        EXPECT_EQ(
            sentence.toPlainText(),
            QStringLiteral("You’ve hit a speed bump. Let’s take a break for %1 seconds before we go again!")
                .arg(delay));
        EXPECT_EQ(message->width(), 300);
        EXPECT_GE(message->height(), message->heightForWidth(message->width()))
            << delay << " s: the label is shorter than its wrapped lines";
        EXPECT_GT(message->heightForWidth(message->width()), message->fontMetrics().height())
            << "the sentence wraps at its width";
        EXPECT_EQ(screen.rateLimitView()->bringMeBackButton()->isEnabled(), delay == 0);
    }
}

TEST(ProviderSelectorViewTest, ListsAccountsByNameAndSwitchesOnlyToWorkingOnes) {
    QTemporaryDir dir;
    ProviderStore store(dir.filePath(QStringLiteral("Velmora.sqlite")));
    FakeShellHooks shell;
    const JiraProvider broken(QUuid::createUuid(), QStringLiteral("Alpha"),
                              JiraProvider::Parameters{QStringLiteral("c")},
                              ProviderState::missingCredentials, std::nullopt);
    const YouTrackProvider working(QUuid::createUuid(), QStringLiteral("Beta"),
                                   YouTrackProvider::Parameters{QStringLiteral("yt.example.test")},
                                   ProviderState::operational, std::nullopt);
    ASSERT_TRUE(store.insertProvider(toEntity(AnyProvider(working))).ok());
    ASSERT_TRUE(store.insertProvider(toEntity(AnyProvider(broken))).ok());

    ProviderSelectorView sheet(store);
    sheet.show();
    ASSERT_EQ(sheet.rows().size(), 2u);
    EXPECT_FALSE(sheet.rows()[0]->isEnabled());
    EXPECT_TRUE(sheet.rows()[1]->isEnabled());
    ASSERT_EQ(sheet.warnings().size(), 1u);
    EXPECT_EQ(sheet.width(), ProviderSelectorView::sheetWidth);
    EXPECT_EQ(ProviderSelectorView::trackerName(ProviderType::youTrack), QStringLiteral("YouTrack"));

    sheet.choose(broken);
    EXPECT_TRUE(shell.switches.empty());
    QTest::mouseClick(sheet.rows()[1], Qt::LeftButton);
    ASSERT_EQ(shell.switches.size(), 1u);
    EXPECT_EQ(shell.switches.front().first, *working.id());
    EXPECT_FALSE(shell.switches.front().second);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

TEST(ProviderSelectorViewTest, LoadsAnOwnersAvatarOnlyFromAnHttpAddress) {
    QTemporaryDir dir;
    ProviderStore store(dir.filePath(QStringLiteral("Velmora.sqlite")));
    const QStringList avatars{QStringLiteral("file:///etc/passwd"), QStringLiteral("/home/me/face.png"),
                              QStringLiteral("ftp://example.test/a.png"),
                              QStringLiteral("https://example.test/a.png"), QStringLiteral("not an address")};
    for (int i = 0; i < avatars.size(); ++i) {
        const YouTrackProvider account(QUuid::createUuid(), QStringLiteral("Account %1").arg(i),
                                       YouTrackProvider::Parameters{QStringLiteral("yt.example.test")},
                                       ProviderState::operational,
                                       ProviderUser{QStringLiteral("u"), QStringLiteral("U"), avatars[i]});
        ASSERT_TRUE(store.insertProvider(toEntity(AnyProvider(account))).ok());
    }
    ProviderSelectorView sheet(store);
    ASSERT_EQ(sheet.rows().size(), 5u);
    for (int i = 0; i < avatars.size(); ++i) {
        auto* avatar = sheet.rows()[i]->findChild<AvatarView*>();
        ASSERT_NE(avatar, nullptr);
        EXPECT_EQ(avatar->url().has_value(), i == 3) << avatars[i].toStdString();
    }
    EXPECT_EQ(AvatarView::remoteUrl(QStringLiteral("HTTP://example.test/x")),
              std::optional<QUrl>(QUrl(QStringLiteral("HTTP://example.test/x"))));
    EXPECT_FALSE(AvatarView::remoteUrl(QStringLiteral("https:///no-host")));
}

TEST(ProviderSelectorViewTest, CancelSwitchesNothing) {
    QTemporaryDir dir;
    ProviderStore store(dir.filePath(QStringLiteral("Velmora.sqlite")));
    FakeShellHooks shell;
    ProviderSelectorView sheet(store);
    sheet.show();
    EXPECT_TRUE(sheet.rows().empty());
    QTest::mouseClick(sheet.cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(shell.switches.empty());
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
}
