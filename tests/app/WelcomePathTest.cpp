#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "state/BookingRecords.h"
#include "tests/support/EventLoop.h"
#include "views/settings/WelcomeView.h"
#include "views/settings/YouTrackProviderView.h"

#include <QLabel>
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

// The last account deleted with its held time kept: the welcome window, where the user lands,
// says what is kept and that the main window offers it once an account is added.
TEST_F(WelcomePathTest, TimeKeptFromTheLastAccountIsToldInTheWelcomeWindow) {
    const YouTrackProvider account = addAccount(QStringLiteral("Alpha"));
    const QString key = uuidText(*account.id());
    storeUnansweredBooking(key, 420);
    launch();
    BookingRecords& records = delegate->bookingRecords();
    ASSERT_TRUE(waitUntil([&] { return !records.held(key).empty(); }));

    bool written = false;
    records.accountGoing(key, true,
                         [&written](const std::optional<QString>& failure) { written = !failure; });
    ASSERT_TRUE(waitUntil([&] { return written; }));
    ASSERT_TRUE(manager->deleteProvider(*account.id()).ok());
    drainEvents();
    WelcomeWindowController* welcome = windows().welcomeWindow();
    ASSERT_TRUE(welcome->isVisible());
    const QLabel* note = welcome->keptTimeNote();
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisibleTo(welcome));
    EXPECT_TRUE(note->text().contains(QStringLiteral("7m on KEY-7"))) << note->text().toStdString();
    EXPECT_TRUE(note->text().contains(QStringLiteral("add an account"), Qt::CaseInsensitive))
        << note->text().toStdString();
    // The window grows for the note where the screen has room: every tracker still in view.
    auto* view = qobject_cast<WelcomeView*>(welcome->content());
    ASSERT_NE(view, nullptr);
    for (const auto route : {IntroRoute::youTrackSetup, IntroRoute::jiraSetup, IntroRoute::asanaSetup}) {
        const QWidget* button = view->trackerButton(route);
        EXPECT_TRUE(welcome->rect().contains(QRect(button->mapTo(welcome, QPoint()), button->size())))
            << button->objectName().toStdString() << " below the fold";
    }

    // Booked or discarded later, the note goes.
    for (const BookingRecord& kept : records.records()) {
        records.discard(kept.id);
    }
    records.settle();
    drainEvents();
    EXPECT_FALSE(note->isVisibleTo(welcome));
}
