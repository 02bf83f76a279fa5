#include "introspection/Introspect.h"
#include "introspection/ToggleWithSwitchStyle.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeUpdateFeed.h"
#include "tests/views/settings/SettingsFixture.h"
#include "views/main/Appearance.h"
#include "views/settings/GeneralSettingsView.h"
#include "views/settings/SettingsRow.h"
#include "views/settings/SettingsSection.h"
#include "views/settings/SettingsSwitch.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/TimeTrackingSettingsView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace velmora;

namespace {

using Getter = bool (UserSettings::*)() const;
using Setter = void (UserSettings::*)(bool);

void expectBound(QCheckBox* box, UserSettings& settings, Getter get, Setter set, const char* key) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(box->isChecked()); // every switch defaults to on
    box->click();
    EXPECT_FALSE((settings.*get)());
    (settings.*set)(true); // changed elsewhere
    EXPECT_TRUE(box->isChecked());
}

class SettingsPagesTest : public test::SettingsFixture {
protected:
    SettingsViewModel model;
};

TEST_F(SettingsPagesTest, TimeTrackingSwitchesWriteTheirOwnKeyAtOnce) {
    TimeTrackingSettingsView page(model, settings);
    page.stopWhenSwitchingSwitch()->click();
    EXPECT_FALSE(settings.stopTimeTrackingWhenSwitching());
    EXPECT_TRUE(settings.stopTimeTrackingWhenClosed());
    page.stopWhenSwitchingSwitch()->click();

    expectBound(page.stopWhenClosedSwitch(), settings, &UserSettings::stopTimeTrackingWhenClosed,
                &UserSettings::setStopTimeTrackingWhenClosed, "stopTimeTrackingWhenClosed");
    expectBound(page.stopWhenSwitchingSwitch(), settings, &UserSettings::stopTimeTrackingWhenSwitching,
                &UserSettings::setStopTimeTrackingWhenSwitching, "stopTimeTrackingWhenSwitching");
    // Stored, not only held: a second reader of the same file sees it.
    settings.setStopTimeTrackingWhenClosed(false);
    EXPECT_FALSE(UserSettings(dir.filePath(QStringLiteral("settings.conf"))).stopTimeTrackingWhenClosed());
}

TEST_F(SettingsPagesTest, ASettingsSwitchIsReachedAsASwitchByIntrospection) {
    namespace is = introspection;
    QWidget composite;
    auto* layout = new QVBoxLayout(&composite);
    layout->addWidget(new QCheckBox);
    QCheckBox* made = SettingsSwitch::make(
        &settings, [this] { return settings.stopTimeTrackingWhenClosed(); },
        [this](bool on) { settings.setStopTimeTrackingWhenClosed(on); },
        &UserSettings::stopTimeTrackingWhenClosedChanged);
    layout->addWidget(made);
    std::vector<QCheckBox*> found;
    is::introspect(&composite, is::toggle(is::ToggleWithSwitchStyleType::Style::switch_),
                   {is::PlatformViewVersionPredicate<is::ToggleWithSwitchStyleType>::forQtOnwards(
                       is::ToggleWithSwitchStyleType::qt6_2())},
                   [&](QCheckBox* box) { found.push_back(box); });
    EXPECT_EQ(found, std::vector<QCheckBox*>{made});
}

TEST_F(SettingsPagesTest, GeneralSwitchesWriteTheirKeysAndFollowChangesMadeElsewhere) {
    GeneralSettingsView page(model, settings, *updater, &store);
    expectBound(page.changeDefaultAccountSwitch(), settings, &UserSettings::changeDefaultAccountAutomatically,
                &UserSettings::setChangeDefaultAccountAutomatically, "changeDefaultAccountAutomatically");
    expectBound(page.showUnresolvedSwitch(), settings, &UserSettings::showUnresolvedTasksByDefault,
                &UserSettings::setShowUnresolvedTasksByDefault, "showUnresolvedTasksByDefault");
    expectBound(page.showMyTasksSwitch(), settings, &UserSettings::showMyTasksByDefault,
                &UserSettings::setShowMyTasksByDefault, "showMyTasksByDefault");
    expectBound(page.persistFiltersSwitch(), settings, &UserSettings::persistProjectFilters,
                &UserSettings::setPersistProjectFilters, "persistProjectFilters");
}

TEST_F(SettingsPagesTest, WithoutAStoredDefaultThePickerAsksForAnAccountFirst) {
    addAccount(QStringLiteral("Alpha"));
    settings.setChangeDefaultAccountAutomatically(false);
    GeneralSettingsView page(model, settings, *updater, &store);
    QComboBox* picker = page.defaultAccountPicker();
    ASSERT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->currentText(), "Add account first");
    EXPECT_FALSE(picker->isEnabled());
}

TEST_F(SettingsPagesTest, ThePickerOffersEveryAccountByNameAndStoresTheChoice) {
    const QUuid beta = addAccount(QStringLiteral("Beta"));
    const QUuid alpha = addAccount(QStringLiteral("Alpha"), QStringLiteral("missingCredentials"));
    settings.setDefaultAccount(beta.toString(QUuid::WithoutBraces).toUpper());
    GeneralSettingsView page(model, settings, *updater, &store);
    QComboBox* picker = page.defaultAccountPicker();
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->itemText(0), "Alpha");
    EXPECT_EQ(picker->currentText(), "Beta");
    EXPECT_FALSE(picker->isEnabled()); // the default changes automatically

    page.changeDefaultAccountSwitch()->click();
    EXPECT_TRUE(picker->isEnabled());
    picker->setCurrentIndex(0);
    emit picker->activated(0);
    EXPECT_EQ(settings.defaultAccount(), alpha.toString(QUuid::WithoutBraces).toUpper());
}

TEST_F(SettingsPagesTest, TheUpdatesSectionDrivesTheUpdater) {
    test::FakeUpdateFeed feed;
    feed.serve({{"1.0", "1.0"}});
    Updater::Options options;
    options.settingsFile = dir.filePath(QStringLiteral("updates.ini"));
    options.currentVersion = QStringLiteral("1.0");
    options.session = SessionConfiguration::standard();
    options.session->extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    updater = std::make_unique<Updater>(options, driver);
    updater->setFeedUrlProvider([&] { return feed.feedUrl(); });

    GeneralSettingsView page(model, settings, *updater, &store);
    EXPECT_EQ(page.checkForUpdatesRow()->footnote(), "Last checked: Never");
    EXPECT_FALSE(page.automaticUpdatesSwitch()->isChecked());
    page.automaticUpdatesSwitch()->click();
    EXPECT_TRUE(updater->automaticallyChecksForUpdates());

    page.checkNowButton()->click();
    ASSERT_TRUE(test::waitUntil([&] { return driver->notFound == 1; }));
    ASSERT_TRUE(updater->lastUpdateCheckDate());
    EXPECT_EQ(page.checkForUpdatesRow()->footnote(),
              "Last checked: " + GeneralSettingsView::lastCheckText(updater->lastUpdateCheckDate()));
    EXPECT_NE(page.checkForUpdatesRow()->footnote(), "Last checked: Never");
}

} // namespace

// Help text under a setting is read on the grouped box it sits in, not on the window.
TEST_F(SettingsPagesTest, HelpTextReadsOnItsGroupedBox) {
    SettingsSection section(QStringLiteral("Section"));
    auto* row = new SettingsRow(QStringLiteral("Title"), QStringLiteral("Help"), nullptr);
    section.addRow(row);
    section.resize(420, section.sizeHint().height());
    section.show();
    test::drainEvents();
    QLabel* help = nullptr;
    for (QLabel* label : row->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("Help")) {
            help = label;
        }
    }
    ASSERT_NE(help, nullptr);
    const QImage shown = section.grab().toImage();
    const qreal scale = shown.devicePixelRatio();
    // Right of the short text, still within the label: the box's own fill.
    const QPoint ground = help->mapTo(&section, QPoint(help->width() - 3, help->height() / 2));
    const QColor box = shown.pixelColor(ground * scale);
    EXPECT_NE(box, section.palette().color(QPalette::Window)) << "the box has a fill of its own";
    const QColor text = help->palette().color(QPalette::WindowText);
    EXPECT_GE(Appearance::contrast(text, box), Appearance::minimumContrast)
        << text.name(QColor::HexArgb).toStdString() << " on " << box.name().toStdString();
}
