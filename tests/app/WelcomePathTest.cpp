#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "tests/support/EventLoop.h"
#include "views/settings/WelcomeView.h"
#include "views/settings/YouTrackProviderView.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace velmora;
using namespace velmora::test;

namespace {
class WelcomePathTest : public ShellFixture {
protected:
    WelcomePathTest() {
        auto shared = service;
        YouTrackProviderViewModel::setServiceMaker(
            [shared](const YouTrackProvider&, const QString&) -> std::shared_ptr<ProviderService> {
                return shared;
            });
    }
    ~WelcomePathTest() override { YouTrackProviderViewModel::setServiceMaker({}); }
};

void type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClicks(edit, text);
    QMetaObject::invokeMethod(edit, "editingFinished");
}
} // namespace

TEST_F(WelcomePathTest, NoAccountsLeadThroughTheWelcomeWindowToTheFirstAccountsMainWindow) {
    service->user.answer(ProviderUser{QStringLiteral("jane"), QStringLiteral("Jane Roe"), QString()});
    launch();
    WelcomeWindowController* welcomeWindow = windows().welcomeWindow();
    ASSERT_TRUE(welcomeWindow->isVisible());
    auto* welcome = qobject_cast<WelcomeView*>(welcomeWindow->content());
    ASSERT_NE(welcome, nullptr);

    QTest::mouseClick(welcome->trackerButton(IntroRoute::youTrackSetup), Qt::LeftButton);
    auto* form = qobject_cast<YouTrackProviderView*>(welcome->setupView());
    ASSERT_NE(form, nullptr);
    type(form->nameField(), QStringLiteral("Work"));
    type(form->baseUrlField(), QStringLiteral("https://yt.example.test/youtrack/issues"));
    type(form->tokenField(), QStringLiteral("perm-token"));
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);

    ASSERT_TRUE(waitUntil([&] { return windows().applicationWindow() != nullptr; }));
    EXPECT_TRUE(windows().applicationWindow()->isVisible());
    EXPECT_FALSE(welcomeWindow->isVisible());
    ASSERT_TRUE(windows().provider());
    EXPECT_EQ(providerName(*windows().provider()), "Work");
    const auto& account = std::get<YouTrackProvider>(*windows().provider());
    EXPECT_EQ(account.parameters().baseUrl, "yt.example.test/youtrack");
    EXPECT_EQ(settings.defaultAccount(), uuidText(*account.id()));
    EXPECT_TRUE(keyring->contains(uuidText(*account.id())));
}
