#include "ShellFixture.h"

#include "app/MainMenu.h"
#include "app/WelcomeWindowController.h"
#include "core/model/ShellHooks.h"
#include "core/storage/CredentialLoading.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "tests/support/DamagedStore.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>

#include <algorithm>

using namespace velmora;
using namespace velmora::test;

namespace {
class WindowManagerTest : public ShellFixture {
protected:
    QString currentName() { return windows().provider() ? providerName(*windows().provider()) : QString(); }
};
} // namespace

TEST_F(WindowManagerTest, EmptyDefaultPicksTheFirstOperationalAccountByNameAndStoresIt) {
    const auto beta = addAccount(QStringLiteral("Beta"));
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    launch();
    EXPECT_EQ(currentName(), "Alpha");
    EXPECT_EQ(settings.defaultAccount(), uuidText(*alpha.id()));
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().applicationWindow()->isVisible());
    EXPECT_FALSE(windows().welcomeWindow()->isVisible());
}

TEST_F(WindowManagerTest, StoredDefaultThatIsMissingOrNotOperationalIsReplaced) {
    addAccount(QStringLiteral("Beta"));
    const auto broken = addAccount(QStringLiteral("Alpha"), ProviderState::missingCredentials);
    const auto gamma = addAccount(QStringLiteral("Gamma"));

    settings.setDefaultAccount(uuidText(*broken.id()));
    launch();
    EXPECT_EQ(currentName(), "Beta");
    EXPECT_NE(settings.defaultAccount(), uuidText(*broken.id()));
    delegate.reset();

    settings.setDefaultAccount(uuidText(QUuid::createUuid()));
    launch();
    EXPECT_EQ(currentName(), "Beta");
    delegate.reset();

    settings.setDefaultAccount(QStringLiteral("not a uuid"));
    launch();
    EXPECT_EQ(currentName(), "Beta");
    delegate.reset();

    settings.setDefaultAccount(uuidText(*gamma.id()));
    launch();
    EXPECT_EQ(currentName(), "Gamma") << "a usable stored default is kept";
}

TEST_F(WindowManagerTest, NoOperationalAccountOpensTheWelcomeWindowAndEmptiesTheDefault) {
    const auto broken = addAccount(QStringLiteral("Alpha"), ProviderState::missingParameters);
    settings.setDefaultAccount(uuidText(*broken.id()));
    launch();
    EXPECT_FALSE(windows().provider().has_value());
    EXPECT_EQ(settings.defaultAccount(), QString());
    EXPECT_EQ(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().welcomeWindow()->isVisible());
    EXPECT_EQ(windows().welcomeWindow()->size(), QSize(640, 460));
    EXPECT_EQ(windows().welcomeWindow()->minimumSize(), windows().welcomeWindow()->maximumSize())
        << "the welcome window cannot be resized";
}

TEST_F(WindowManagerTest, ABackgroundMarkOfAnotherAccountNeverSwitchesAwayFromTheCurrentOne) {
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    const auto beta = addAccount(QStringLiteral("Beta"));
    settings.setDefaultAccount(uuidText(*beta.id()));
    launch();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_NE(window, nullptr);

    markMissingCredentials(*alpha.id());
    QCoreApplication::processEvents();
    EXPECT_EQ(currentName(), "Beta");
    EXPECT_EQ(windows().applicationWindow(), window) << "the window was not rebuilt";
    EXPECT_EQ(settings.defaultAccount(), uuidText(*beta.id()));

    // The current account itself marked: the next usable one takes over.
    const auto gamma = addAccount(QStringLiteral("Gamma"));
    markMissingCredentials(*beta.id());
    QCoreApplication::processEvents();
    EXPECT_EQ(currentName(), "Gamma");
    EXPECT_EQ(settings.defaultAccount(), uuidText(*gamma.id()));
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_NE(windows().applicationWindow(), window);
}

// A window's service finds its account's keyring item gone while the window is being made
// (an account whose tokens were removed outside the app): the mark chooses another account
// while the first window is still under construction.
TEST_F(WindowManagerTest, AnAccountFoundWithoutTokensWhileItsWindowIsMadeLeavesForTheNext) {
    addAccount(QStringLiteral("Alpha"));
    addAccount(QStringLiteral("Beta"));
    const auto gamma = addAccount(QStringLiteral("Gamma"));
    const QUuid usable = *gamma.id();
    launchWith([this, usable](const AnyProvider& provider) -> std::shared_ptr<ProviderService> {
        const auto id = providerId(provider);
        if (id && *id != usable) {
            markMissingCredentials(*id);
        }
        return service;
    });
    EXPECT_EQ(currentName(), "Gamma");
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_EQ(providerName(windows().applicationWindow()->provider()), "Gamma")
        << "the window shown is the account chosen, not one marked while it was made";
    EXPECT_EQ(settings.defaultAccount(), uuidText(usable));
    int windowsShown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        windowsShown += qobject_cast<ApplicationWindowController*>(widget) && widget->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(windowsShown, 1);
}

// The account on screen opened again while its window is still being made (its
// credentials saved anew, which opens it again with them): the window begun first is let
// go and the one made again stands. The account is the same, so only which making came
// last tells the two windows apart.
TEST_F(WindowManagerTest, AnAccountOpenedAgainWhileItsWindowIsMadeShowsOneWindow) {
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    const QUuid id = *alpha.id();
    int servicesMade = 0;
    launchWith([this, id, &servicesMade](const AnyProvider&) -> std::shared_ptr<ProviderService> {
        if (++servicesMade == 1) {
            ShellHooks::instance().switchToProvider(id, false);
        }
        return service;
    });
    ASSERT_GE(servicesMade, 2) << "the account was not opened again while its window was made";
    EXPECT_EQ(currentName(), "Alpha");
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().applicationWindow()->isVisible());
    int windowsShown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        windowsShown += qobject_cast<ApplicationWindowController*>(widget) && widget->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(windowsShown, 1);
}

TEST_F(WindowManagerTest, NoAccountWithTokensAtStartOpensTheWelcomeWindow) {
    addAccount(QStringLiteral("Alpha"));
    addAccount(QStringLiteral("Beta"));
    launchWith([this](const AnyProvider& provider) -> std::shared_ptr<ProviderService> {
        if (const auto id = providerId(provider)) {
            markMissingCredentials(*id);
        }
        return service;
    });
    EXPECT_FALSE(windows().provider().has_value());
    EXPECT_EQ(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().welcomeWindow()->isVisible());
}

TEST_F(WindowManagerTest, SwitchingFollowsTheDefaultOnlyWhenTheUserLetsIt) {
    const auto alpha = addAccount(QStringLiteral("Alpha"));
    const auto beta = addAccount(QStringLiteral("Beta"));
    launch();
    settings.setChangeDefaultAccountAutomatically(false);
    windows().switchProvider(beta, false);
    EXPECT_EQ(currentName(), "Beta");
    EXPECT_EQ(settings.defaultAccount(), uuidText(*alpha.id()));
    EXPECT_FALSE(windows().isSwitching());

    settings.setChangeDefaultAccountAutomatically(true);
    windows().switchProvider(alpha, false);
    EXPECT_EQ(settings.defaultAccount(), uuidText(*alpha.id()));
    windows().switchProvider(beta, false);
    EXPECT_EQ(settings.defaultAccount(), uuidText(*beta.id()));

    // An account that is no longer operational is not switched to.
    const auto broken = addAccount(QStringLiteral("Broken"), ProviderState::missingCredentials);
    windows().switchProvider(broken, true);
    EXPECT_EQ(currentName(), "Alpha");
}

TEST_F(WindowManagerTest, TheFirstAccountSavedFromTheWelcomeWindowBecomesCurrent) {
    settings.setChangeDefaultAccountAutomatically(false);
    launch();
    EXPECT_TRUE(windows().welcomeWindow()->isVisible());

    const auto saved =
        manager->save(YouTrackProvider(std::nullopt, QStringLiteral("First"),
                                       YouTrackProvider::Parameters{QStringLiteral("https://yt")}),
                      YouTrackProvider::Credentials{QStringLiteral("token")});
    ASSERT_TRUE(saved.ok());
    EXPECT_EQ(currentName(), "First");
    EXPECT_EQ(settings.defaultAccount(), uuidText(*saved.value().id()));
    EXPECT_FALSE(windows().welcomeWindow()->isVisible());
    ASSERT_NE(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().applicationWindow()->isVisible());
}

TEST_F(WindowManagerTest, DeletingOnlyTheCurrentAccountChoosesAgain) {
    addAccount(QStringLiteral("Alpha"));
    const auto beta = addAccount(QStringLiteral("Beta"));
    launch();
    ApplicationWindowController* window = windows().applicationWindow();
    ASSERT_TRUE(manager->deleteProvider(*beta.id()).ok());
    EXPECT_EQ(currentName(), "Alpha");
    EXPECT_EQ(windows().applicationWindow(), window);

    const auto alpha = windows().provider();
    ASSERT_TRUE(manager->deleteProvider(*providerId(*alpha)).ok());
    EXPECT_FALSE(windows().provider().has_value());
    EXPECT_EQ(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().welcomeWindow()->isVisible());
}

TEST_F(WindowManagerTest, StartUpRegistersTheSvgCoderOnce) {
    launch();
    delegate->applicationDidFinishLaunching();
    const auto coders = images::ImageCodersManager::sharedManager()->coders();
    EXPECT_EQ(std::count(coders.begin(), coders.end(), images::ImageSVGCoder::sharedCoder()), 1);
    EXPECT_EQ(coders.last(), images::ImageSVGCoder::sharedCoder()) << "asked first";
}

TEST_F(WindowManagerTest, AnyChangeOfTheStoredAccountsRebuildsTheMenuLater) {
    launch();
    int rebuilds = 0;
    QObject::connect(&windows(), &WindowManager::mainMenuRebuildRequested, [&] { ++rebuilds; });
    addAccount(QStringLiteral("Alpha"));
    EXPECT_EQ(rebuilds, 0) << "not inside the change";
    QCoreApplication::processEvents();
    EXPECT_EQ(rebuilds, 1);
}

namespace {
// The shell on an account store whose file a failing disk damaged after "Alpha" was
// stored (its row, near the start of the file, still reads on its own).
class DamagedStoreWindowManagerTest : public WindowManagerTest {
protected:
    DamagedStoreWindowManagerTest() : damagedPath(dir.filePath(QStringLiteral("Damaged.sqlite"))) {
        {
            ProviderStore before(damagedPath);
            ProviderEntity entity =
                YouTrackProvider(std::nullopt, QStringLiteral("Alpha"),
                                 YouTrackProvider::Parameters{QStringLiteral("https://yt.test")})
                    .toEntity();
            entity.id = QUuid::createUuid();
            alphaId = entity.id;
            EXPECT_TRUE(before.insertProvider(entity).ok());
        }
        EXPECT_TRUE(damageAccountStore(damagedPath));
        damagedBytes = fileBytes();
        damaged = std::make_unique<ProviderStore>(damagedPath);
        manager = std::make_unique<ProviderManager>(*damaged, credentials, *snapshots);
        ProviderManager::setShared(manager.get());
    }
    ~DamagedStoreWindowManagerTest() override {
        delegate.reset();
        closeAllWindows();
        manager.reset();
    }
    QByteArray fileBytes() const {
        QFile file(damagedPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString damagedPath;
    QUuid alphaId;
    QByteArray damagedBytes;
    std::unique_ptr<ProviderStore> damaged;
};
} // namespace

TEST_F(DamagedStoreWindowManagerTest, StartUpShowsOneAlertNamingTheFileInsteadOfTheWelcomeWindow) {
    settings.setDefaultAccount(uuidText(alphaId));
    launch();
    EXPECT_TRUE(windows().accountsUnreadable());
    EXPECT_FALSE(windows().provider().has_value()) << "not one account of a list that cannot be read";
    EXPECT_EQ(windows().applicationWindow(), nullptr);
    EXPECT_TRUE(windows().existingWelcomeWindow() == nullptr ||
                !windows().existingWelcomeWindow()->isVisible());
    EXPECT_EQ(settings.defaultAccount(), uuidText(alphaId)) << "the default is not forgotten";

    QMessageBox* alert = windows().accountsAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowTitle(), "Your accounts could not be read.");
    EXPECT_TRUE(alert->informativeText().contains(QDir::toNativeSeparators(damagedPath)));

    // Choosing again (an account deleted elsewhere, a switch) brings up the same alert.
    windows().selectDefaultProvider(true);
    EXPECT_EQ(windows().accountsAlert(), alert);
    int alerts = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        alerts += qobject_cast<QMessageBox*>(widget) && widget->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(alerts, 1);
    EXPECT_TRUE(windows().existingWelcomeWindow() == nullptr ||
                !windows().existingWelcomeWindow()->isVisible());

    // Dismissed with nothing else on screen, the app is done.
    QSignalSpy lastClosed(&windows(), &WindowManager::lastWindowClosed);
    alert->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(lastClosed.wait(2000));

    delegate.reset();
    damaged.reset();
    EXPECT_EQ(fileBytes(), damagedBytes) << "nothing was written to the damaged file";
}

TEST_F(DamagedStoreWindowManagerTest, TheMenusAddAccountIsOffWhileTheStoreCannotBeRead) {
    launch();
    std::unique_ptr<QMenuBar> bar(MainMenu::build(*delegate));
    auto* menu = bar->findChild<QMenu*>(QStringLiteral("accountsMenu"));
    ASSERT_NE(menu, nullptr);
    ASSERT_FALSE(menu->actions().isEmpty());
    QAction* add = menu->actions().last();
    EXPECT_EQ(add->text(), "Add Account");
    EXPECT_FALSE(add->isEnabled());
}
