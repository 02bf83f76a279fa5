#include "app/SoftwareUpdater.h"
#include "core/net/Configuration.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeUpdateFeed.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace velmora;

namespace {

struct SilentDriver : UserDriver {
    int offers = 0;
    void showUpdateFound(const AppcastItem&, const QString&) override { ++offers; }
    void showUpdateNotFound(const QString&) override {}
    void showUpdaterError(const QString&) override {}
};

class SoftwareUpdaterTest : public ::testing::Test {
protected:
    SoftwareUpdaterTest() {
        qputenv("VELMORA_SERVER_URL", feed.server().hostAndPort().toUtf8());
        options.settingsFile = dir.filePath(QStringLiteral("updates.ini"));
        options.currentVersion = QStringLiteral("1.9");
        options.session = SessionConfiguration::standard();
        options.session->extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    }
    ~SoftwareUpdaterTest() override { qunsetenv("VELMORA_SERVER_URL"); }

    QTemporaryDir dir;
    test::FakeUpdateFeed feed;
    Updater::Options options;
    std::shared_ptr<SilentDriver> driver = std::make_shared<SilentDriver>();
};

TEST_F(SoftwareUpdaterTest, AsksTheUpdateEndpointWithTheDeviceIdAndTheAppVersion) {
    SoftwareUpdater updater(options, driver);
    feed.serve({{"1.10", "1.10"}});
    bool dateChanged = false;
    QObject::connect(&updater, &SoftwareUpdater::lastUpdateCheckDateChanged, [&] { dateChanged = true; });
    updater.checkForUpdates();
    ASSERT_TRUE(test::waitUntil([&] { return driver->offers == 1; }));

    ASSERT_EQ(feed.requests().size(), 1);
    const test::FakeRequest request = feed.requests().first();
    EXPECT_EQ(request.queryValue("appVersion"), Configuration::shortVersion());
    const QByteArray deviceId = request.header("Device-ID");
    if (!SoftwareUpdater::deviceIdHeader().isEmpty()) {
        EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(QString::fromLatin1(deviceId)).hasMatch())
            << deviceId.constData();
    }
    EXPECT_EQ(deviceId, SoftwareUpdater::deviceIdHeader());
    EXPECT_TRUE(dateChanged);
    EXPECT_TRUE(updater.lastUpdateCheckDate());
}

TEST_F(SoftwareUpdaterTest, TheSwitchStartsFromTheStoredSettingAndWritesThrough) {
    QSettings(options.settingsFile, QSettings::IniFormat)
        .setValue("Updates/automaticallyChecksForUpdates", true);
    // The automatic check that the stored switch asks for finds nothing new.
    feed.serve({{"1.9", "1.9"}});
    SoftwareUpdater updater(options, driver);
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());

    int published = 0;
    QObject::connect(&updater, &SoftwareUpdater::automaticallyChecksForUpdatesChanged,
                     [&](bool) { ++published; });
    updater.setAutomaticallyChecksForUpdates(false);
    EXPECT_EQ(published, 1);
    EXPECT_FALSE(updater.updater()->automaticallyChecksForUpdates());

    // A change made on the engine shows here too.
    updater.updater()->setAutomaticallyChecksForUpdates(true);
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());
    EXPECT_EQ(published, 2);
}

} // namespace
