#include "ShellFixture.h"

#include "app/WelcomeWindowController.h"
#include "core/storage/CredentialLoading.h"
#include "images/ImageCodersManager.h"
#include "images/ImageSVGCoder.h"

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
