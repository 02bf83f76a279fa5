#include "tests/views/settings/AccountFixture.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeJiraServer.h"
#include "tests/views/main/AlertTexts.h"
#include "views/main/Appearance.h"
#include "views/main/ValidationError.h"
#include "views/settings/AsanaProviderView.h"
#include "views/settings/ChoicePicker.h"
#include "views/settings/JiraProviderView.h"
#include "views/settings/ProviderNameValidation.h"
#include "views/settings/YouTrackProviderView.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

using namespace velmora;
using namespace velmora::test;

namespace {

QString failureOf(ProviderSetupViewModel::TextField& field, const QString& value) {
    field.setValue(value);
    field.validator()->setValue(value);
    return field.validator()->validate().failureMessage().value_or(QString());
}

void type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QMetaObject::invokeMethod(edit, "editingFinished");
}

std::optional<YouTrackProvider> storedYouTrack(ProviderManager& manager) {
    const auto all = manager.fetchProviders();
    if (all.size() != 1 || !std::holds_alternative<YouTrackProvider>(all.front())) {
        return std::nullopt;
    }
    return std::get<YouTrackProvider>(all.front());
}

} // namespace

TEST(ProviderNameValidation, ThirtyFiveCharactersPassAndBlankNamesFailWithTheEmptyMessageOnly) {
    auto name = ProviderNameValidation::make();
    EXPECT_EQ(failureOf(*name, QString(35, QLatin1Char('a'))), QString());
    EXPECT_EQ(failureOf(*name, QString(36, QLatin1Char('a'))), "Name is too long.");
    EXPECT_EQ(failureOf(*name, QString()), "Name cannot be empty.");
    EXPECT_EQ(failureOf(*name, QString(40, QLatin1Char(' '))), "Name cannot be empty.");
    EXPECT_EQ(failureOf(*name, QStringLiteral("  Work  ")), QString());
}

TEST(YouTrackBaseUrl, KeepsPortAndPathDropsSchemeAndPagesAndLeavesOtherSchemesForTheRule) {
    using VM = YouTrackProviderViewModel;
    EXPECT_EQ(VM::normalizedBaseUrl("https://yt.example.com:8443/youtrack"), "yt.example.com:8443/youtrack");
    EXPECT_EQ(VM::normalizedBaseUrl("https://yt.example.com/youtrack/issue/APP-1?tab=x#c"),
              "yt.example.com/youtrack");
    EXPECT_EQ(VM::normalizedBaseUrl("https://acme.myjetbrains.com/agiles/1-2"), "acme.myjetbrains.com");
    EXPECT_EQ(VM::normalizedBaseUrl(" yt.example.com/ "), "yt.example.com");
    EXPECT_EQ(VM::normalizedBaseUrl("http://yt.example.com"), "http://yt.example.com");

    VM model;
    EXPECT_EQ(failureOf(model.baseUrl(), "http://yt.example.com"), "Base URL must use https.");
    EXPECT_EQ(failureOf(model.baseUrl(), "intranet"), "Base URL is invalid.");
    EXPECT_EQ(failureOf(model.baseUrl(), "1.2.3"), "Base URL is invalid.");
    EXPECT_EQ(failureOf(model.baseUrl(), "127.0.0.1:8443/youtrack"), "");
    EXPECT_EQ(failureOf(model.baseUrl(), "localhost:8080"), "");
    EXPECT_EQ(failureOf(model.baseUrl(), ""), "Base URL cannot be empty.");
    EXPECT_EQ(failureOf(model.token(), "token"), "Permanent token is invalid.");
    EXPECT_EQ(failureOf(model.token(), "perm-"), "Permanent token is invalid.");
}

class YouTrackSetup : public AccountFixture {};

TEST_F(YouTrackSetup, TypingKeepsTheAddressUntilCommittedThenSavesOnceWithUserAndToken) {
    int saves = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel([&] { ++saves; }), {}, [] {});
    view.show();
    ASSERT_EQ(view.deleteButton(), nullptr);
    ASSERT_NE(view.cancelButton(), nullptr);
    EXPECT_EQ(view.changeCredentialsToggle(), nullptr);

    type(view.nameField(), "Work");
    view.baseUrlField()->setFocus();
    QTest::keyClicks(view.baseUrlField(), "https://y");
    EXPECT_EQ(view.baseUrlField()->text(), "https://y") << "nothing is rewritten under the cursor";
    QTest::keyClicks(view.baseUrlField(), "t.example.test:8443/youtrack/issues");
    QMetaObject::invokeMethod(view.baseUrlField(), "editingFinished");
    EXPECT_EQ(view.baseUrlField()->text(), "yt.example.test:8443/youtrack");
    type(view.tokenField(), youTrack.token());
    ASSERT_EQ(view.mainButton()->text(), "OK");
    ASSERT_TRUE(view.mainButton()->isEnabled());

    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    EXPECT_FALSE(view.mainButton()->isEnabled()) << "a second click cannot start a second save";
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return saves > 0; }));
    drainEvents();

    EXPECT_EQ(saves, 1);
    EXPECT_EQ(requestedBaseUrls, QStringList{"yt.example.test:8443/youtrack"});
    const auto stored = storedYouTrack(manager);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->name(), "Work");
    EXPECT_EQ(stored->parameters().baseUrl, "yt.example.test:8443/youtrack");
    ASSERT_TRUE(stored->user());
    EXPECT_EQ(stored->user()->externalId, youTrack.me().login);
    EXPECT_TRUE(keyring->secretOf(uuidText(*stored->id())).contains(youTrack.token().toUtf8()));
    ASSERT_EQ(shell.switches.size(), 1u) << "the first account becomes current";
}

TEST_F(YouTrackSetup, ARefusedTokenShowsTheAuthorizationAlertAndStoresNothing) {
    int saves = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel([&] { ++saves; }));
    view.show();
    type(view.nameField(), "Work");
    type(view.baseUrlField(), "yt.example.test");
    type(view.tokenField(), "perm-wrong");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);

    QMessageBox* alert = waitForAlert(view);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Authorization failed.");
    EXPECT_EQ(alert->informativeText(), "Check whether the provided credentials are correct and try again.");
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(manager.fetchProviders().empty());
    EXPECT_EQ(keyring->itemCount(), 0);
    EXPECT_EQ(view.tokenField()->text(), "perm-wrong") << "the form keeps its values";

    alert->accept();
    drainEvents();
    EXPECT_FALSE(view.model().badCredentials()) << "closing the alert lets the same error show again";
    EXPECT_TRUE(view.mainButton()->isEnabled());
}

// What failed is what the alert says: a refusal of the token is a matter of
// credentials, an address that nothing (or no tracker) answers at, or answers
// without a trusted certificate, is not.
TEST_F(YouTrackSetup, EachSetupFailureSaysWhatFailed) {
    // The form reaches exactly the address typed, not the fixture's instance.
    YouTrackProviderViewModel::setServiceMaker({});
    struct Said {
        QString title;
        QString message;
    };
    const auto failureAt = [&](const QString& baseUrl) -> Said {
        YouTrackProviderView view(new YouTrackProviderViewModel(), {}, [] {});
        view.show();
        type(view.nameField(), "Work");
        type(view.baseUrlField(), baseUrl);
        type(view.tokenField(), "perm-token");
        QTest::mouseClick(view.mainButton(), Qt::LeftButton);
        QMessageBox* alert = waitForAlert(view);
        if (!alert) {
            ADD_FAILURE() << "no alert for " << baseUrl.toStdString();
            return {};
        }
        Said said{alert->text(), alert->informativeText()};
        EXPECT_EQ(alert->windowTitle(), said.title);
        EXPECT_TRUE(manager.fetchProviders().empty());
        alert->accept();
        drainEvents();
        return said;
    };
    const QString credentials = QStringLiteral("Authorization failed.");

    FakeHttpsServer server;
    // A mistyped path: nothing there but the server's own "not found".
    const Said notFound = failureAt(server.hostAndPort() + QStringLiteral("/yuotrack"));
    EXPECT_EQ(notFound.title, "No tracker answers at this address.");
    EXPECT_EQ(notFound.message, "Check whether the provided base URL is correct and try again.");

    // Refusals of the token keep the credentials text, whichever status they come with.
    server.on("*", "/api/users/me", FakeResponse::json("{}", 403));
    EXPECT_EQ(failureAt(server.hostAndPort()).title, credentials);
    server.on("*", "/api/users/me", FakeResponse::json("{}", 401));
    const Said refused = failureAt(server.hostAndPort());
    EXPECT_EQ(refused.title, credentials);
    EXPECT_EQ(refused.message, "Check whether the provided credentials are correct and try again.");

    server.on("*", "/api/users/me", FakeResponse::json("{}").withDelay(3000));
    SessionConfiguration::setProcessTimeoutCap(std::chrono::milliseconds(200));
    const Said slow = failureAt(server.hostAndPort());
    SessionConfiguration::setProcessTimeoutCap(std::nullopt);
    EXPECT_EQ(slow.title, "Can't reach 127.0.0.1.");
    EXPECT_TRUE(slow.message.startsWith("It did not answer in time.")) << slow.message.toStdString();
    EXPECT_NE(slow.message.indexOf("base URL"), -1) << slow.message.toStdString();

    FakeHttpsServer untrusted(FakeHttpsServer::Certificate::Untrusted);
    const Said certificate = failureAt(untrusted.hostAndPort());
    EXPECT_EQ(certificate.title, "The certificate of 127.0.0.1 isn't trusted.");
    EXPECT_EQ(untrusted.requestCount(), 0);

    const QString gone = server.hostAndPort();
    server.stop();
    const Said closedPort = failureAt(gone);
    EXPECT_EQ(closedPort.title, "Can't reach 127.0.0.1.");
    EXPECT_EQ(closedPort.message,
              "Check whether the base URL is correct and the network connection is up, and try again.");

    for (const Said& said : {notFound, slow, certificate, closedPort}) {
        EXPECT_NE(said.title, credentials) << said.title.toStdString();
        EXPECT_EQ(said.message.indexOf("credentials"), -1) << said.message.toStdString();
    }
}

TEST_F(YouTrackSetup, AKeyringFailureKeepsTheFormOpenAndStoresNoAccount) {
    int saves = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel([&] { ++saves; }));
    view.show();
    type(view.nameField(), "Work");
    type(view.baseUrlField(), "yt.example.test");
    type(view.tokenField(), youTrack.token());
    keyring->failWith({KeyringError::Kind::Locked, QStringLiteral("locked")});
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);

    QMessageBox* alert = waitForAlert(view);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "The account could not be saved.");
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(manager.fetchProviders().empty()) << "no row without its credentials";

    alert->accept();
    keyring->clearFailure();
    drainEvents();
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));
    EXPECT_EQ(manager.fetchProviders().size(), 1u);
}

TEST_F(YouTrackSetup, EditingTheNameAloneSendsNothingAndTheToggleRestoresTheStoredAddress) {
    YouTrackProvider account(std::nullopt, QStringLiteral("Old"), {QStringLiteral("yt.example.test")});
    auto saved = manager.save(account, YouTrackProvider::Credentials{QStringLiteral("perm-token")});
    ASSERT_TRUE(saved.ok());
    const int storesBefore = keyring->storeCalls();
    int saves = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel(saved.value(), [&] { ++saves; }), [] {});
    view.show();
    drainEvents();
    EXPECT_EQ(view.cancelButton(), nullptr);
    ASSERT_NE(view.deleteButton(), nullptr);
    ASSERT_NE(view.changeCredentialsToggle(), nullptr);
    EXPECT_FALSE(view.baseUrlField()->isVisible());

    view.changeCredentialsToggle()->setChecked(true);
    EXPECT_EQ(view.baseUrlField()->text(), "");
    type(view.baseUrlField(), "https://other.example.test");
    view.changeCredentialsToggle()->setChecked(false);
    EXPECT_EQ(view.model().baseUrl().value(), "yt.example.test");

    type(view.nameField(), "New");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(requestedBaseUrls.isEmpty()) << "no request";
    EXPECT_EQ(keyring->storeCalls(), storesBefore) << "the stored token stays";
    EXPECT_EQ(storedYouTrack(manager)->name(), "New");
    EXPECT_EQ(storedYouTrack(manager)->parameters().baseUrl, "yt.example.test");
}

TEST_F(YouTrackSetup, NewCredentialsAloneReplaceTheStoredTokenAndAddressAndClearTheWarning) {
    YouTrackProvider account(std::nullopt, QStringLiteral("Work"), {QStringLiteral("old.example.test")},
                             ProviderState::missingCredentials);
    auto saved = manager.save(account, YouTrackProvider::Credentials{QStringLiteral("perm-old")});
    ASSERT_TRUE(saved.ok());
    int saves = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel(saved.value(), [&] { ++saves; }), [] {});
    view.show();
    view.changeCredentialsToggle()->setChecked(true);
    drainEvents();
    type(view.baseUrlField(), "https://yt.example.test/youtrack");
    type(view.tokenField(), youTrack.token());
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));

    const auto stored = storedYouTrack(manager);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->id(), saved.value().id()) << "the same account, not a second one";
    EXPECT_EQ(stored->name(), "Work");
    EXPECT_EQ(stored->parameters().baseUrl, "yt.example.test/youtrack");
    EXPECT_EQ(stored->state(), ProviderState::operational);
    EXPECT_TRUE(keyring->secretOf(uuidText(*stored->id())).contains(youTrack.token().toUtf8()));
}

TEST_F(YouTrackSetup, DeleteAsksFirstAndCancelDeletesNothing) {
    int deletes = 0;
    YouTrackProviderView view(
        new YouTrackProviderViewModel(YouTrackProvider(QUuid::createUuid(), "A", {"yt.example.test"})),
        [&] { ++deletes; });
    view.show();
    QTest::mouseClick(view.deleteButton(), Qt::LeftButton);
    ASSERT_NE(view.deleteConfirmationDialog(), nullptr);
    EXPECT_EQ(view.deleteConfirmationDialog()->text(), "Are you sure that you want to delete this?");
    view.deleteConfirmationDialog()->findChild<QPushButton*>("cancelDelete")->click();
    drainEvents();
    EXPECT_EQ(deletes, 0);
    EXPECT_FALSE(view.deleteConfirmation());

    QTest::mouseClick(view.deleteButton(), Qt::LeftButton);
    view.deleteConfirmationDialog()->findChild<QPushButton*>("confirmDelete")->click();
    drainEvents();
    EXPECT_EQ(deletes, 1);
}

TEST_F(YouTrackSetup, TheDeleteConfirmationNamesTheStoredAccountAndReturnKeepsIt) {
    int deletes = 0;
    YouTrackProviderView view(new YouTrackProviderViewModel(YouTrackProvider(
                                  QUuid::createUuid(), "Work YouTrack", {"yt.example.test"})),
                              [&] { ++deletes; });
    view.show();
    type(view.nameField(), "Renamed but not saved");
    QTest::mouseClick(view.deleteButton(), Qt::LeftButton);
    QMessageBox* dialog = view.deleteConfirmationDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->informativeText(), "Delete the account \"Work YouTrack\"?");
    ASSERT_NE(dialog->defaultButton(), nullptr);
    EXPECT_EQ(dialog->defaultButton()->objectName(), "cancelDelete");
    EXPECT_TRUE(dialog->defaultButton()->icon().isNull());
    QTest::keyClick(dialog, Qt::Key_Return);
    drainEvents();
    EXPECT_EQ(deletes, 0) << "Return is Cancel here";
    EXPECT_FALSE(view.deleteConfirmation());
}

// The account's name is shown as it was typed, however it reads as markup.
TEST_F(YouTrackSetup, TheDeleteConfirmationShowsTheAccountsNameAsText) {
    YouTrackProviderView view(
        new YouTrackProviderViewModel(YouTrackProvider(QUuid::createUuid(), markupName, {"yt.example.test"})),
        [] {});
    view.show();
    QTest::mouseClick(view.deleteButton(), Qt::LeftButton);
    QMessageBox* dialog = view.deleteConfirmationDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(richLabels(*dialog), QStringList());
    EXPECT_TRUE(
        showsLiterally(*dialog, QStringLiteral("Delete the account \"") + markupName + QStringLiteral("\"?")))
        << shownTexts(*dialog).join(u'|').toStdString();
    dialog->findChild<QPushButton*>("cancelDelete")->click();
    drainEvents();
}

class OAuthSetup : public AccountFixture {
protected:
    OAuthSetup() {
        qputenv("VELMORA_JIRA_API_HOST", jira.hostAndPort().toUtf8());
        qputenv("VELMORA_ASANA_API_HOST", asana.hostAndPort().toUtf8());
    }
    FakeJiraServer jira;
    FakeAsanaServer asana;
};

// With no browser to open, Authorize shows the sign-in address and a button that copies it;
// a later Authorize that opens the browser takes them away.
TEST_F(OAuthSetup, AuthorizeWithNoBrowserShowsTheAddressToOpenAndCopiesIt) {
    for (const bool jira : {true, false}) {
        std::unique_ptr<ProviderSetupView> view;
        ProviderSetupViewModel* model = nullptr;
        if (jira) {
            auto* made = new JiraProviderView(new JiraProviderViewModel([] {}), {}, [] {});
            model = &made->model();
            view.reset(made);
        } else {
            auto* made = new AsanaProviderView(new AsanaProviderViewModel([] {}), {}, [] {});
            model = &made->model();
            view.reset(made);
        }
        bool opens = false;
        model->setBrowserOpener([&opens](const QUrl&) { return opens; });
        view->show();
        type(view->findChild<QLineEdit*>(QStringLiteral("nameField")), "Work");
        drainEvents();
        QPushButton* authorize = view->findChild<QPushButton*>(QStringLiteral("mainButton"));
        ASSERT_NE(authorize, nullptr);
        ASSERT_EQ(authorize->text(), "Authorize");
        EXPECT_FALSE(view->unopenedAddressBox()->isVisibleTo(view.get()));
        QTest::mouseClick(authorize, Qt::LeftButton);
        drainEvents();
        ASSERT_TRUE(view->unopenedAddressBox()->isVisibleTo(view.get())) << (jira ? "Jira" : "Asana");
        const QString address = view->unopenedAddressField()->text();
        EXPECT_TRUE(address.contains(jira ? "oauth/app/jira/redirect" : "oauth/app/asana/redirect"))
            << address.toStdString();
        EXPECT_TRUE(view->unopenedAddressField()->isReadOnly());
        QApplication::clipboard()->clear();
        QTest::mouseClick(view->copyAddressButton(), Qt::LeftButton);
        EXPECT_EQ(QApplication::clipboard()->text(), address);

        opens = true;
        QTest::mouseClick(authorize, Qt::LeftButton);
        drainEvents();
        EXPECT_FALSE(view->unopenedAddressBox()->isVisibleTo(view.get())) << "the browser opened it";

        // Opened by hand after all: the sign-in link that comes back takes the address away.
        opens = false;
        QTest::mouseClick(authorize, Qt::LeftButton);
        drainEvents();
        ASSERT_TRUE(view->unopenedAddressBox()->isVisibleTo(view.get()));
        if (jira) {
            NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                                     JiraProvider::Credentials{"token-1", "refresh-1"});
        } else {
            NotificationCenter::defaultCenter().post(QString(NotificationName::asanaCredentialsReceived),
                                                     AsanaProvider::Credentials{"token-1", "refresh-1"});
        }
        drainEvents();
        EXPECT_FALSE(view->unopenedAddressBox()->isVisibleTo(view.get())) << "the link came back";
    }
}

TEST_F(OAuthSetup, JiraTakesCredentialsOnlyAfterAuthorizeThenLoadsSitesAndSavesTheChosenOne) {
    int saves = 0;
    JiraProviderView view(new JiraProviderViewModel([&] { ++saves; }), {}, [] {});
    view.show();
    type(view.nameField(), "Jira work");
    drainEvents();
    ASSERT_EQ(view.mainButton()->text(), "Authorize");

    // Unasked: no form waits, so nothing is taken.
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    EXPECT_FALSE(view.model().credentials());

    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_TRUE(browser.opened.front().toString().contains("oauth/app/jira/redirect"));
    // Credentials of the other tracker are not this form's.
    NotificationCenter::defaultCenter().post(QString(NotificationName::asanaCredentialsReceived),
                                             AsanaProvider::Credentials{"token-1", "refresh-1"});
    EXPECT_FALSE(view.model().credentials());
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !view.model().accessibleResources().empty(); }));
    drainEvents();
    EXPECT_EQ(view.mainButton()->text(), "OK");
    EXPECT_EQ(view.picker()->chosenId(), "") << "the picker waits for the user's choice";
    EXPECT_FALSE(view.mainButton()->isEnabled());

    view.picker()->choose(jira.cloudId);
    ASSERT_TRUE(view.mainButton()->isEnabled());
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));
    const auto all = manager.fetchProviders();
    ASSERT_EQ(all.size(), 1u);
    const auto& stored = std::get<JiraProvider>(all.front());
    EXPECT_EQ(stored.parameters().organisation, jira.cloudId);
    EXPECT_EQ(stored.user()->externalId, "acc-me");
    EXPECT_TRUE(keyring->contains(uuidText(*stored.id())));
}

// The sign-in's address is the tracker's, not the user's: an unreachable tracker is
// neither the credentials' fault nor a base URL to check.
TEST_F(OAuthSetup, AnUnreachableTrackerIsNotBlamedOnTheCredentials) {
    FakeHttpsServer gone;
    const QString address = gone.hostAndPort();
    gone.stop();
    qputenv("VELMORA_JIRA_API_HOST", address.toUtf8());
    JiraProviderView view(new JiraProviderViewModel(), {}, [] {});
    view.show();
    type(view.nameField(), "Jira work");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    QMessageBox* alert = waitForAlert(view);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Can't reach 127.0.0.1.");
    EXPECT_EQ(alert->informativeText(), "Check whether the network connection is up and try again.");
}

TEST_F(OAuthSetup, JiraChangeCredentialsOffRestoresTheStoredSiteAndDropsReceivedCredentials) {
    JiraProvider account(std::nullopt, QStringLiteral("J"), {QStringLiteral("stored-site")});
    auto saved = manager.save(account, JiraProvider::Credentials{"old", "old-refresh"});
    ASSERT_TRUE(saved.ok());
    JiraProviderView view(new JiraProviderViewModel(saved.value()), [] {});
    view.show();
    view.changeCredentialsToggle()->setChecked(true);
    drainEvents();
    ASSERT_EQ(view.mainButton()->text(), "Authorize");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !view.model().accessibleResources().empty(); }));
    EXPECT_EQ(view.model().model().parameters().organisation, jira.cloudId);

    view.changeCredentialsToggle()->setChecked(false);
    EXPECT_FALSE(view.model().credentials());
    EXPECT_EQ(view.model().organisation().value(), "stored-site");
    EXPECT_EQ(view.model().model().parameters().organisation, "stored-site");
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    EXPECT_FALSE(view.model().credentials()) << "the form no longer waits";
}

TEST_F(OAuthSetup, AsanaRefusesAFreeWorkspaceAndSavesAPremiumOne) {
    asana.addWorkspace({"w2", "Free workspace", false});
    int saves = 0;
    AsanaProviderView view(new AsanaProviderViewModel([&] { ++saves; }), {}, [] {});
    view.show();
    type(view.nameField(), "Asana work");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::asanaCredentialsReceived),
                                             AsanaProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return view.model().workspaces().size() == 2; }));
    drainEvents();

    view.picker()->choose("w2");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    QMessageBox* alert = waitForAlert(view);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Authorization failed.");
    EXPECT_EQ(alert->informativeText(), "Selected workspace must be a part of Asana Premium.");
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(manager.fetchProviders().empty());
    alert->accept();
    drainEvents();

    view.picker()->choose("w1");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    EXPECT_TRUE(view.model().networkRequestInProgress());
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));
    EXPECT_FALSE(view.model().networkRequestInProgress());
    const auto all = manager.fetchProviders();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::get<AsanaProvider>(all.front()).parameters().workspace, "w1");
}

namespace {

// Presses Return in `field` the way a person does: the key goes to the focused field
// and climbs to the form when the field does not take it.
void pressReturn(QWidget* field) {
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
}

// The form inside a dialog, as the account creation sheet hosts it: Return must reach
// the form's main button, never the dialog's own default.
struct InDialog {
    explicit InDialog(ProviderSetupView* view) {
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(view);
        QObject::connect(&dialog, &QDialog::finished, [this] { ++closed; });
        dialog.show();
    }
    QDialog dialog;
    int closed = 0;
};

QString shownMessage(const ProviderSetupView& view, int field) {
    const auto messages = view.findChildren<ValidationError*>();
    return messages.value(field)
               ? messages.value(field)->latestValidation().failureMessage().value_or(QString())
               : QStringLiteral("<no such field>");
}

} // namespace

TEST_F(YouTrackSetup, ReturnSubmitsAValidFormAndDoesNothingOnAnInvalidOne) {
    int saves = 0;
    int cancels = 0;
    auto* view =
        new YouTrackProviderView(new YouTrackProviderViewModel([&] { ++saves; }), {}, [&] { ++cancels; });
    InDialog host(view);

    type(view->nameField(), "Work");
    type(view->baseUrlField(), "yt.example.test");
    pressReturn(view->baseUrlField());
    drainEvents();
    EXPECT_FALSE(view->mainButton()->isEnabled()) << "no token yet";
    EXPECT_EQ(cancels, 0) << "Return is not Cancel";
    EXPECT_EQ(host.closed, 0);
    EXPECT_TRUE(host.dialog.isVisible());
    EXPECT_TRUE(requestedBaseUrls.isEmpty());

    view->tokenField()->setFocus();
    QTest::keyClicks(view->tokenField(), youTrack.token());
    pressReturn(view->tokenField());
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));
    EXPECT_EQ(cancels, 0);
    EXPECT_EQ(requestedBaseUrls, QStringList{"yt.example.test"});
    EXPECT_TRUE(storedYouTrack(manager));

    // A form that is no dialog's (the welcome window, the account editor) answers
    // Return the same way.
    int edits = 0;
    YouTrackProviderView editor(new YouTrackProviderViewModel(*storedYouTrack(manager), [&] { ++edits; }),
                                [] {});
    editor.show();
    type(editor.nameField(), "Renamed");
    pressReturn(editor.nameField());
    ASSERT_TRUE(waitUntil([&] { return edits == 1; }));
    EXPECT_EQ(storedYouTrack(manager)->name(), "Renamed");
}

TEST_F(YouTrackSetup, TheHttpsMessageFollowsTheTextAsTypedAndNamesEveryOtherScheme) {
    YouTrackProviderView view(new YouTrackProviderViewModel(), {}, [] {});
    view.show();
    type(view.nameField(), "Work");
    view.baseUrlField()->setFocus();
    const QString address = QStringLiteral("https://yt.example.test/youtrack/issues");
    for (const QChar c : address) {
        QTest::keyClicks(view.baseUrlField(), QString(c));
        drainEvents();
        ASSERT_NE(shownMessage(view, 1), "Base URL must use https.")
            << view.baseUrlField()->text().toStdString();
    }
    EXPECT_EQ(shownMessage(view, 1), "");
    EXPECT_EQ(view.baseUrlField()->text(), address) << "not rewritten under the cursor";
    view.tokenField()->setFocus();
    QTest::keyClicks(view.tokenField(), youTrack.token());
    drainEvents();
    EXPECT_TRUE(view.mainButton()->isEnabled()) << "an https address being typed is acceptable as it stands";

    // Pasted, whole.
    view.baseUrlField()->setFocus();
    view.baseUrlField()->selectAll();
    view.baseUrlField()->insert(QStringLiteral("HTTPS://yt.example.test:8443"));
    drainEvents();
    EXPECT_EQ(shownMessage(view, 1), "");

    for (const char* other : {"http://yt.example.test", "http://localhost:8080", "ftp://yt.example.test",
                              "  http://127.0.0.1/youtrack"}) {
        view.baseUrlField()->selectAll();
        view.baseUrlField()->insert(QString::fromLatin1(other));
        drainEvents();
        EXPECT_EQ(shownMessage(view, 1), "Base URL must use https.") << other;
        EXPECT_FALSE(view.mainButton()->isEnabled()) << other;
    }
}

// Messages show as the address is typed, so they must follow what an address is:
// while a valid https address is typed, the message may show only until the text
// first forms an address and never comes back, and a prefix that is itself an address
// shows none.
TEST_F(YouTrackSetup, TypingAValidHttpsAddressNeverFlashesTheInvalidMessage) {
    const QStringList valid{
        "https://yt.example.com",
        "https://yt.example.com:8443/youtrack",
        "https://my-yt.example.co.uk/youtrack/issues",
        "https://localhost:8080",
        "https://10.1.2.3",
        "https://127.0.0.1",
        "https://127.0.0.1:8443/youtrack",
        "https://[::1]",
        "https://[::1]:8443",
        "https://[2001:db8::7]/youtrack",
    };
    for (const QString& address : valid) {
        YouTrackProviderView view(new YouTrackProviderViewModel(), {}, [] {});
        view.show();
        view.baseUrlField()->setFocus();
        bool wasValid = false;
        for (const QChar c : address) {
            QTest::keyClicks(view.baseUrlField(), QString(c));
            drainEvents();
            const QString typed = view.baseUrlField()->text();
            const QString shown = shownMessage(view, 1);
            if (valid.contains(typed)) {
                EXPECT_EQ(shown, "") << typed.toStdString() << " is an address";
            }
            if (wasValid) {
                EXPECT_EQ(shown, "") << typed.toStdString() << " after a valid prefix of "
                                     << address.toStdString();
            }
            wasValid = wasValid || shown.isEmpty();
        }
        EXPECT_EQ(view.baseUrlField()->text(), address);
    }

    using VM = YouTrackProviderViewModel;
    EXPECT_EQ(VM::normalizedBaseUrl("https://[::1]:8443/youtrack/issues/APP-1"), "[::1]:8443/youtrack");
    EXPECT_EQ(VM::normalizedBaseUrl("https://[2001:DB8::7]"), "[2001:db8::7]");
    // Shorthands that a URL parser widens into another address are taken as typed,
    // never stored as the address they were widened to.
    EXPECT_EQ(VM::normalizedBaseUrl("https://127"), "https://127");
    EXPECT_EQ(VM::normalizedBaseUrl("https://127.1:8443"), "https://127.1:8443");
    VM model;
    EXPECT_EQ(failureOf(model.baseUrl(), "https://127"), "Base URL is invalid.");
    EXPECT_EQ(failureOf(model.baseUrl(), "[::1]:8443"), "");
    EXPECT_EQ(failureOf(model.baseUrl(), "https://[::1"), "Base URL is invalid.");
}

// A failure message is read on whatever the form is drawn on.
TEST_F(YouTrackSetup, TheValidationMessageReadsOnItsBackground) {
    YouTrackProviderView view(new YouTrackProviderViewModel(), {}, [] {});
    view.resize(480, view.sizeHint().height());
    view.show();
    type(view.nameField(), "Work");
    view.nameField()->selectAll();
    QTest::keyClick(view.nameField(), Qt::Key_Backspace);
    drainEvents();
    ASSERT_EQ(shownMessage(view, 0), "Name cannot be empty.");
    auto* message = qobject_cast<QLabel*>(view.findChildren<ValidationError*>().value(0)->messageView());
    ASSERT_NE(message, nullptr);
    const QImage shown = view.grab().toImage();
    const QPoint ground = message->mapTo(&view, QPoint(message->width() - 3, message->height() / 2));
    const QColor background = shown.pixelColor(ground * shown.devicePixelRatio());
    const QColor text = message->palette().color(QPalette::WindowText);
    EXPECT_GE(Appearance::contrast(text, background), Appearance::minimumContrast)
        << text.name().toStdString() << " on " << background.name().toStdString();
    EXPECT_GT(text.red(), 2 * std::max(text.green(), text.blue())) << "still red";
}

TEST_F(YouTrackSetup, AMessageComingOrGoingMovesNoField) {
    YouTrackProviderView view(new YouTrackProviderViewModel(), {}, [] {});
    view.resize(400, 600);
    view.show();
    drainEvents();
    const auto positions = [&] {
        drainEvents();
        view.layout()->activate();
        return QList<int>{
            view.nameField()->mapTo(&view, QPoint()).y(), view.baseUrlField()->mapTo(&view, QPoint()).y(),
            view.tokenField()->mapTo(&view, QPoint()).y(), view.mainButton()->mapTo(&view, QPoint()).y()};
    };
    const QList<int> before = positions();
    type(view.nameField(), "W");
    type(view.baseUrlField(), "intranet");
    type(view.tokenField(), "token");
    drainEvents();
    ASSERT_EQ(shownMessage(view, 1), "Base URL is invalid.");
    ASSERT_EQ(shownMessage(view, 2), "Permanent token is invalid.");
    EXPECT_EQ(positions(), before) << "messages shown";
    view.nameField()->setFocus();
    view.nameField()->selectAll();
    QTest::keyClick(view.nameField(), Qt::Key_Backspace);
    drainEvents();
    ASSERT_EQ(shownMessage(view, 0), "Name cannot be empty.");
    EXPECT_EQ(positions(), before) << "name message shown";
    type(view.nameField(), "Work");
    type(view.baseUrlField(), "yt.example.test");
    drainEvents();
    ASSERT_EQ(shownMessage(view, 1), "");
    EXPECT_EQ(positions(), before) << "messages gone";
}

TEST_F(OAuthSetup, ReturnSavesTheChosenSiteOrWorkspaceAndDoesNothingWithoutOne) {
    asana.addWorkspace({"w2", "Free workspace", false});
    int jiraSaves = 0;
    auto* jiraView = new JiraProviderView(new JiraProviderViewModel([&] { ++jiraSaves; }), {}, [] {});
    InDialog jiraHost(jiraView);
    type(jiraView->nameField(), "Jira work");
    QTest::mouseClick(jiraView->mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !jiraView->model().accessibleResources().empty(); }));
    drainEvents();
    pressReturn(jiraView->nameField());
    drainEvents();
    EXPECT_EQ(jiraSaves, 0) << "no site chosen";
    EXPECT_TRUE(jiraHost.dialog.isVisible());
    EXPECT_EQ(browser.opened.size(), 1) << "Return did not sign in again either";
    jiraView->picker()->choose(jira.cloudId);
    pressReturn(jiraView->nameField());
    ASSERT_TRUE(waitUntil([&] { return jiraSaves == 1; }));

    int asanaSaves = 0;
    auto* asanaView = new AsanaProviderView(new AsanaProviderViewModel([&] { ++asanaSaves; }), {}, [] {});
    InDialog asanaHost(asanaView);
    type(asanaView->nameField(), "Asana work");
    QTest::mouseClick(asanaView->mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::asanaCredentialsReceived),
                                             AsanaProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return asanaView->model().workspaces().size() == 2; }));
    drainEvents();
    pressReturn(asanaView->picker());
    drainEvents();
    EXPECT_EQ(asanaSaves, 0) << "no workspace chosen";
    asanaView->picker()->choose("w1");
    pressReturn(asanaView->nameField());
    ASSERT_TRUE(waitUntil([&] { return asanaSaves == 1; }));
    EXPECT_EQ(jiraHost.closed + asanaHost.closed, 0) << "only the host's own save action ends a form";
}

TEST_F(OAuthSetup, ASecondSignInWithoutTheChosenSiteEmptiesTheSiteField) {
    int saves = 0;
    JiraProviderView view(new JiraProviderViewModel([&] { ++saves; }), {}, [] {});
    view.show();
    type(view.nameField(), "Jira work");
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !view.model().accessibleResources().empty(); }));
    view.picker()->choose("cloud-1");
    ASSERT_EQ(view.model().organisation().value(), "cloud-1");

    // The next sign-in grants another site only.
    jira.cloudId = QStringLiteral("cloud-2");
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return view.model().accessibleResources().front().id == "cloud-2"; }));
    drainEvents();
    EXPECT_EQ(view.model().organisation().value(), "");
    EXPECT_EQ(view.picker()->chosenId(), "");
    EXPECT_FALSE(view.mainButton()->isEnabled());
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    drainEvents();
    EXPECT_EQ(saves, 0);

    // A sign-in that still grants the chosen site keeps it.
    view.picker()->choose("cloud-2");
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !view.model().networkRequestInProgress(); }));
    drainEvents();
    EXPECT_EQ(view.model().organisation().value(), "cloud-2");
}

// The Jira and Asana forms share the step that stores the account once the tracker
// named its user; a keyring that refuses the credentials there stores nothing, says
// so, and the same form saves once the keyring works again.
TEST_F(OAuthSetup, AKeyringFailureAfterTheUserWasFetchedStoresNothingAndKeepsTheForm) {
    int saves = 0;
    JiraProviderView view(new JiraProviderViewModel([&] { ++saves; }), {}, [] {});
    view.show();
    type(view.nameField(), "Jira work");
    drainEvents();
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    NotificationCenter::defaultCenter().post(QString(NotificationName::jiraCredentialsReceived),
                                             JiraProvider::Credentials{"token-1", "refresh-1"});
    ASSERT_TRUE(waitUntil([&] { return !view.model().accessibleResources().empty(); }));
    drainEvents();
    view.picker()->choose(jira.cloudId);

    keyring->failWith({KeyringError::Kind::Locked, QStringLiteral("locked")});
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    QMessageBox* alert = waitForAlert(view);
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "The account could not be saved.");
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(manager.fetchProviders().empty()) << "no row without its credentials";
    EXPECT_EQ(keyring->itemCount(), 0);
    EXPECT_TRUE(view.model().credentials()) << "the received credentials stay for the next try";

    alert->accept();
    keyring->clearFailure();
    drainEvents();
    QTest::mouseClick(view.mainButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return saves == 1; }));
    const auto all = manager.fetchProviders();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(keyring->contains(uuidText(*std::get<JiraProvider>(all.front()).id())));
}
