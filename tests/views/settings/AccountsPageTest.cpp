#include "tests/views/settings/AccountFixture.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/TimerSnapshot.h"
#include "tests/support/DamagedStore.h"
#include "views/main/Appearance.h"
#include "views/main/AvatarView.h"
#include "views/settings/AccountRowView.h"
#include "views/settings/AccountSelectionView.h"
#include "views/settings/AccountsSettingsView.h"
#include "views/settings/ProviderSetupView.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/WelcomeView.h"
#include "views/settings/YouTrackProviderView.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace velmora;
using namespace velmora::test;

namespace {

QStringList rowTitles(AccountsSettingsView& page) {
    QStringList titles;
    for (SettingsRow* row : page.section()->rows()) {
        titles << row->title();
    }
    return titles;
}

} // namespace

class AccountsPage : public AccountFixture {
protected:
    YouTrackProvider add(const QString& name, ProviderState state = ProviderState::operational,
                         std::optional<ProviderUser> user = std::nullopt) {
        auto saved = manager.save(YouTrackProvider(std::nullopt, name, {"yt.example.test"}, state, user),
                                  YouTrackProvider::Credentials{"perm-token"});
        EXPECT_TRUE(saved.ok());
        return saved.value();
    }
    SettingsViewModel settingsModel;
};

TEST_F(AccountsPage, ListsAccountsByNameWithTheirStateAndFollowsTheStore) {
    AccountsSettingsView page(settingsModel, &store);
    page.show();
    EXPECT_EQ(rowTitles(page), QStringList{"No accounts"});
    EXPECT_TRUE(page.addAccountButton()->isVisible());

    add("b", ProviderState::missingCredentials, ProviderUser{"u", "U", "not a url"});
    add("a");
    add("a");
    ASSERT_TRUE(waitUntil([&] { return rowTitles(page).size() == 3; }));
    EXPECT_EQ(rowTitles(page), (QStringList{"a", "a", "b"})) << "same names are each their own row";
    auto* warned = qobject_cast<AccountRowView*>(page.section()->rows().at(2));
    ASSERT_NE(warned, nullptr);
    EXPECT_NE(warned->warning(), nullptr);
    EXPECT_FALSE(warned->avatar()->url()) << "an avatar text that is no URL shows the placeholder";
    EXPECT_EQ(qobject_cast<AccountRowView*>(page.section()->rows().at(0))->warning(), nullptr);
}

// Every account opens from the keyboard: Tab goes from row to row, Return or Space
// opens the account, its editor takes the keyboard, going back gives the row the focus
// again, and the account can be deleted without a mouse.
TEST_F(AccountsPage, TheKeyboardReachesOpensAndDeletesEveryAccount) {
    add("a");
    add("b");
    AccountsSettingsView page(settingsModel, &store);
    page.show();
    page.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    ASSERT_TRUE(waitUntil([&] { return rowTitles(page) == QStringList({"a", "b"}); }));
    SettingsRow* first = page.section()->rows().at(0);
    first->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), first) << "a row takes the focus";
    QTest::keyClick(first, Qt::Key_Tab);
    SettingsRow* second = page.section()->rows().at(1);
    ASSERT_EQ(QApplication::focusWidget(), second) << "Tab goes from row to row";
    QTest::keyClick(second, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), page.addAccountButton()) << "and on to the button under them";
    QTest::keyClick(page.addAccountButton(), Qt::Key_Backtab);
    ASSERT_EQ(QApplication::focusWidget(), second);

    QTest::keyClick(second, Qt::Key_Return);
    ASSERT_NE(page.editor(), nullptr);
    EXPECT_EQ(providerName(page.editor()->provider()), "b");
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(page.editor()->isAncestorOf(focused)) << "the editor takes the keyboard";

    auto* back = page.findChild<QPushButton*>(QStringLiteral("backButton"));
    ASSERT_NE(back, nullptr);
    back->setFocus(Qt::TabFocusReason);
    QTest::keyClick(back, Qt::Key_Space);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(page.editor(), nullptr);
    EXPECT_EQ(QApplication::focusWidget(), page.section()->rows().at(1)) << "back on the row it opened";

    QTest::keyClick(page.section()->rows().at(1), Qt::Key_Space);
    ASSERT_NE(page.editor(), nullptr);
    QPushButton* remove = page.editor()->setupView()->deleteButton();
    ASSERT_NE(remove, nullptr);
    ASSERT_TRUE(remove->focusPolicy() & Qt::TabFocus);
    remove->setFocus(Qt::TabFocusReason);
    QTest::keyClick(remove, Qt::Key_Space);
    ASSERT_NE(page.editor()->setupView()->deleteConfirmationDialog(), nullptr);
    auto* confirm =
        page.editor()->setupView()->deleteConfirmationDialog()->findChild<QPushButton*>("confirmDelete");
    ASSERT_NE(confirm, nullptr);
    confirm->setFocus(Qt::TabFocusReason);
    QTest::keyClick(confirm, Qt::Key_Space);
    drainEvents();
    ASSERT_EQ(manager.fetchProviders().size(), 1u);
    EXPECT_EQ(providerName(manager.fetchProviders().front()), "a");
}

TEST_F(AccountsPage, AddAccountAsksForTheTrackerThenOpensItsFormAndCancelLeavesNothing) {
    AccountsSettingsView page(settingsModel, &store);
    page.show();
    NotificationCenter::defaultCenter().post(QString(NotificationName::addAccount));
    ASSERT_NE(page.selectionSheet(), nullptr);
    AccountSelectionView* first = page.selectionSheet();
    NotificationCenter::defaultCenter().post(QString(NotificationName::addAccount));
    EXPECT_EQ(page.selectionSheet(), first) << "already open: nothing changes";

    page.selectionSheet()->trackerButton(ProviderType::asana)->click();
    ASSERT_TRUE(waitUntil([&] { return page.setupSheet() != nullptr; }));
    EXPECT_EQ(page.setupSheet()->type(), ProviderType::asana);
    EXPECT_EQ(page.setupSheet()->setupView()->deleteButton(), nullptr);
    page.setupSheet()->setupView()->cancelButton()->click();
    ASSERT_TRUE(waitUntil([&] { return page.setupSheet() == nullptr; }));
    EXPECT_FALSE(page.selectedProvider());

    QTest::mouseClick(page.addAccountButton(), Qt::LeftButton);
    ASSERT_NE(page.selectionSheet(), nullptr);
    page.selectionSheet()->trackerButton(ProviderType::asana)->click();
    ASSERT_TRUE(waitUntil([&] { return page.setupSheet() != nullptr; }));
    EXPECT_EQ(page.setupSheet()->type(), ProviderType::asana) << "the same tracker opens again";
    EXPECT_TRUE(manager.fetchProviders().empty());
}

TEST_F(AccountsPage, DeletingTheCurrentAccountRemovesRowAndKeyringItemAndTellsTheShell) {
    const auto current = add("Current");
    const auto other = add("Other");
    shell.current = current;
    AccountsSettingsView page(settingsModel, &store);
    page.show();
    int routes = 0;
    QObject::connect(&settingsModel, &SettingsViewModel::routeChanged, [&] { ++routes; });

    page.openEditor(current);
    ASSERT_NE(page.editor(), nullptr);
    ProviderSetupView* form = page.editor()->setupView();
    EXPECT_EQ(form->cancelButton(), nullptr);
    form->deleteButton()->click();
    form->deleteConfirmationDialog()->findChild<QPushButton*>("confirmDelete")->click();
    drainEvents();

    EXPECT_EQ(routes, 1) << "back to the accounts list";
    ASSERT_EQ(manager.fetchProviders().size(), 1u);
    EXPECT_FALSE(keyring->contains(uuidText(*current.id())));
    EXPECT_TRUE(keyring->contains(uuidText(*other.id())));
    ASSERT_EQ(shell.deleted.size(), 1u);
    EXPECT_EQ(providerId(shell.deleted.front()), current.id());
}

TEST_F(AccountsPage, DeletingAnAccountWhoseTimerHoldsTimeNamesTheTimeAndCancellingKeepsBoth) {
    const auto tracked = add("Tracked");
    const auto idle = add("Idle");
    const QString key = uuidText(*tracked.id());
    TimerSnapshot timer;
    timer.project =
        Project{QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application"), {}, {}};
    timer.task =
        Issue{QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("Crash"), {}, {}, {}, {}, {}};
    timer.state = TimerViewModel::State::paused;
    timer.previousDuration = 4800;
    snapshots.save(timer, key);
    AccountsSettingsView page(settingsModel, &store);
    page.setSnapshots(&snapshots);
    page.show();

    page.openEditor(tracked);
    ASSERT_NE(page.editor(), nullptr);
    ProviderSetupView* form = page.editor()->setupView();
    form->deleteButton()->click();
    ASSERT_NE(form->deleteConfirmationDialog(), nullptr);
    EXPECT_TRUE(form->deleteConfirmationDialog()->informativeText().contains(
        QStringLiteral("The timer of this account holds 1h 20m not booked.")))
        << form->deleteConfirmationDialog()->informativeText().toStdString();
    form->deleteConfirmationDialog()->findChild<QPushButton*>("cancelDelete")->click();
    drainEvents();
    EXPECT_EQ(manager.fetchProviders().size(), 2u) << "the account stays";
    const auto kept = snapshots.value<TimerSnapshot>(key);
    ASSERT_TRUE(kept.has_value()) << "and so does its time";
    EXPECT_DOUBLE_EQ(kept->previousDuration, 4800);

    // A timer that holds nothing adds nothing to the question.
    page.openEditor(idle);
    page.editor()->setupView()->deleteButton()->click();
    ASSERT_NE(page.editor()->setupView()->deleteConfirmationDialog(), nullptr);
    EXPECT_FALSE(page.editor()->setupView()->deleteConfirmationDialog()->informativeText().contains(
        QStringLiteral("timer")));
}

TEST_F(AccountsPage, TheDeleteNoteNamesTheSecondsATimerHolds) {
    const auto tracked = add("Tracked");
    TimerSnapshot timer;
    timer.project =
        Project{QStringLiteral("0-1"), QStringLiteral("APP"), QStringLiteral("Application"), {}, {}};
    timer.task =
        Issue{QStringLiteral("2-1"), QStringLiteral("APP-1"), QStringLiteral("Crash"), {}, {}, {}, {}, {}};
    timer.state = TimerViewModel::State::paused;
    AccountsSettingsView page(settingsModel, &store);
    page.setSnapshots(&snapshots);
    page.show();
    page.openEditor(tracked);
    ASSERT_NE(page.editor(), nullptr);

    timer.previousDuration = 30;
    snapshots.save(timer, uuidText(*tracked.id()));
    EXPECT_EQ(page.editor()->unbookedTimeNote().toStdString(),
              "The timer of this account holds 30s not booked.");
    timer.previousDuration = 4830;
    snapshots.save(timer, uuidText(*tracked.id()));
    EXPECT_EQ(page.editor()->unbookedTimeNote().toStdString(),
              "The timer of this account holds 1h 20m 30s not booked.");
}

TEST_F(AccountsPage, SavingAnEditedNameReturnsToTheListWithTheNameInItsPlace) {
    const auto account = add("Zeta");
    add("Beta");
    AccountsSettingsView page(settingsModel, &store);
    page.show();
    int routes = 0;
    QObject::connect(&settingsModel, &SettingsViewModel::routeChanged, [&] { ++routes; });
    page.openEditor(account);
    auto* form = qobject_cast<YouTrackProviderView*>(page.editor()->setupView());
    ASSERT_NE(form, nullptr);
    form->nameField()->setText(QString());
    QTest::keyClicks(form->nameField(), "Alpha");
    drainEvents();
    QTest::mouseClick(form->mainButton(), Qt::LeftButton);
    EXPECT_EQ(routes, 1);
    ASSERT_TRUE(waitUntil([&] { return rowTitles(page) == QStringList({"Alpha", "Beta"}); }));
}

TEST_F(AccountFixture, WelcomeLeadsToTheSetupFormsAndCancelReturnsToTheGreeting) {
    WelcomeView welcome;
    welcome.show();
    EXPECT_TRUE(welcome.path().isEmpty());
    EXPECT_EQ(welcome.setupView(), nullptr);
    EXPECT_EQ(welcome.trackerButton(IntroRoute::youTrackSetup)->text(), "YouTrack");
    EXPECT_LT(welcome.trackerButton(IntroRoute::youTrackSetup)->y(),
              welcome.trackerButton(IntroRoute::jiraSetup)->y());
    EXPECT_LT(welcome.trackerButton(IntroRoute::jiraSetup)->y(),
              welcome.trackerButton(IntroRoute::asanaSetup)->y());

    welcome.trackerButton(IntroRoute::jiraSetup)->click();
    EXPECT_EQ(welcome.path(), QList<IntroRoute>{IntroRoute::jiraSetup});
    ASSERT_NE(welcome.setupView(), nullptr);
    EXPECT_EQ(welcome.setupView()->objectName(), "JiraProviderView");
    EXPECT_EQ(welcome.setupView()->deleteButton(), nullptr);
    welcome.setupView()->cancelButton()->click();
    ASSERT_TRUE(waitUntil([&] { return welcome.setupView() == nullptr; }));
    EXPECT_TRUE(welcome.path().isEmpty());

    welcome.trackerButton(IntroRoute::youTrackSetup)->click();
    EXPECT_EQ(welcome.path(), QList<IntroRoute>{IntroRoute::youTrackSetup});
}

TEST_F(AccountsPage, AStoreThatCannotBeReadShowsTheErrorAndTakesNoNewAccount) {
    const QString path = dir.filePath(QStringLiteral("Damaged.sqlite"));
    ASSERT_TRUE(damageAccountStore(path));
    ProviderStore damaged(path);
    AccountsSettingsView page(settingsModel, &damaged);
    page.show();
    ASSERT_EQ(rowTitles(page), QStringList{"Your accounts could not be read."}) << "not \"No accounts\"";
    EXPECT_TRUE(page.section()->rows().at(0)->footnote().contains(QDir::toNativeSeparators(path)));
    EXPECT_FALSE(page.addAccountButton()->isEnabled());

    // The "add account" link and menu item ask through the notification: no sheet.
    NotificationCenter::defaultCenter().post(QString(NotificationName::addAccount));
    drainEvents();
    EXPECT_EQ(page.selectionSheet(), nullptr);
}

// The tracker choice shows which tracker has the keyboard focus: Tab moves through them.
TEST(AccountSelectionFocus, TheFocusedTrackerShowsAFocusRing) {
    AccountSelectionView sheet;
    sheet.show();
    QApplication::setActiveWindow(&sheet);
    QPushButton* jira = sheet.trackerButton(ProviderType::jira);
    QPushButton* asana = sheet.trackerButton(ProviderType::asana);
    ASSERT_TRUE(jira && asana);
    jira->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(jira->hasFocus());
    const QColor ring = Appearance::accent(jira->palette());
    auto ringPixels = [&](QWidget* button) {
        const QImage image = button->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (std::abs(pixel.red() - ring.red()) < 24 && std::abs(pixel.green() - ring.green()) < 24 &&
                    std::abs(pixel.blue() - ring.blue()) < 24) {
                    ++count;
                }
            }
        }
        return count;
    };
    EXPECT_GT(ringPixels(jira), jira->width());
    EXPECT_EQ(ringPixels(asana), 0);
}
