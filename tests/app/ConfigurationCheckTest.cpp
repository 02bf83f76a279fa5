#include "ShellFixture.h"

#include "app/ConfigurationCheck.h"

#include <QMessageBox>

using namespace velmora;
using namespace velmora::test;

namespace {
Configuration withServer(const QVariant& value) {
    QVariantMap entries;
    if (value.isValid()) {
        entries.insert(QStringLiteral("SERVER_URL"), value);
    }
    return Configuration(entries);
}

std::vector<QMessageBox*> alerts() {
    std::vector<QMessageBox*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            found.push_back(box);
        }
    }
    return found;
}

class ConfigurationCheckTest : public ShellFixture {};
} // namespace

TEST(ConfigurationCheck, TellsAMissingServerFromABadOne) {
    using E = Configuration::Error;
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer({})), E::MissingKey);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QString())), E::MissingKey);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QStringLiteral("https://velmora.app"))),
              E::InvalidValue);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QStringLiteral("bad host"))), E::InvalidValue);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QStringLiteral("host?x=1"))), E::InvalidValue);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QVariantList{1})), E::InvalidValue);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QStringLiteral("velmora.app"))), std::nullopt);
    EXPECT_EQ(ConfigurationCheck::serverUrlError(withServer(QStringLiteral("127.0.0.1:8443/staging"))),
              std::nullopt);
}

TEST_F(ConfigurationCheckTest, ABadServerAddressIsShownOnceAndTheAppCarriesOn) {
    qputenv("VELMORA_SERVER_URL", "not a host");
    launch();
    delegate->applicationDidFinishLaunching();
    qunsetenv("VELMORA_SERVER_URL");
    EXPECT_TRUE(delegate->configurationAlertShown());
    const auto shown = alerts();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown.front()->text(), ConfigurationCheck::message(Configuration::Error::InvalidValue));
    EXPECT_TRUE(windows().welcomeWindow()->isVisible()) << "the app runs on";
}

TEST_F(ConfigurationCheckTest, AGoodConfigurationShowsNothing) {
    qputenv("VELMORA_SERVER_URL", "velmora.test");
    launch();
    qunsetenv("VELMORA_SERVER_URL");
    EXPECT_FALSE(delegate->configurationAlertShown());
    EXPECT_TRUE(alerts().empty());
}
