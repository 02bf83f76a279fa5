#include "core/storage/UserSettings.h"
#include "tests/core/storage/LogCapture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace velmora;

TEST(UserSettingsTest, FreshStoreReadsTheDefaults) {
    QTemporaryDir dir;
    UserSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    EXPECT_TRUE(settings.changeDefaultAccountAutomatically());
    EXPECT_EQ(settings.defaultAccount(), QString());
    EXPECT_TRUE(settings.showUnresolvedTasksByDefault());
    EXPECT_TRUE(settings.showMyTasksByDefault());
    EXPECT_TRUE(settings.persistProjectFilters());
    EXPECT_TRUE(settings.stopTimeTrackingWhenClosed());
    EXPECT_TRUE(settings.stopTimeTrackingWhenSwitching());
}

TEST(UserSettingsTest, WritesAreSharedKeptAcrossRestartsAndStoredUnderThePropertyNames) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.conf"));
    {
        UserSettings first(path);
        UserSettings second(path);
        first.setPersistProjectFilters(false);
        first.setDefaultAccount(QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
        EXPECT_FALSE(second.persistProjectFilters());
        EXPECT_EQ(second.defaultAccount(), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    }
    UserSettings restarted(path);
    EXPECT_FALSE(restarted.persistProjectFilters());
    EXPECT_TRUE(restarted.stopTimeTrackingWhenClosed());
    EXPECT_EQ(restarted.defaultAccount(), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));

    QSettings raw(path, QSettings::NativeFormat);
    EXPECT_EQ(raw.value(QStringLiteral("persistProjectFilters")).toBool(), false);
    EXPECT_EQ(raw.value(QStringLiteral("defaultAccount")).toString(),
              QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_FALSE(raw.contains(QStringLiteral("stopTimeTrackingWhenClosed")));
}

TEST(UserSettingsTest, AnnouncesRealChangesOnlyAndBindsThroughItsProperties) {
    QTemporaryDir dir;
    UserSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    QSignalSpy closed(&settings, &UserSettings::stopTimeTrackingWhenClosedChanged);
    QSignalSpy any(&settings, &UserSettings::settingChanged);

    // Writing the default that is already in force changes nothing.
    settings.setStopTimeTrackingWhenClosed(true);
    EXPECT_EQ(closed.count(), 0);

    // The settings pages bind to the property by name.
    ASSERT_TRUE(settings.setProperty("stopTimeTrackingWhenClosed", false));
    EXPECT_FALSE(settings.stopTimeTrackingWhenClosed());
    ASSERT_EQ(closed.count(), 1);
    EXPECT_EQ(closed.at(0).at(0).toBool(), false);
    ASSERT_EQ(any.count(), 1);
    EXPECT_EQ(any.at(0).at(0).toString(), QStringLiteral("stopTimeTrackingWhenClosed"));

    settings.setStopTimeTrackingWhenClosed(false);
    EXPECT_EQ(closed.count(), 1);

    QSignalSpy account(&settings, &UserSettings::defaultAccountChanged);
    settings.setDefaultAccount(QString());
    EXPECT_EQ(account.count(), 0);
    settings.setDefaultAccount(QStringLiteral("A"));
    settings.setDefaultAccount(QStringLiteral("A"));
    EXPECT_EQ(account.count(), 1);
    EXPECT_EQ(settings.property("defaultAccount").toString(), QStringLiteral("A"));
}

TEST(UserSettingsTest, AChangeThatCouldNotBeStoredIsLoggedAndNotAnnounced) {
    test::LogCapture log;
    QTemporaryDir dir;
    // The settings file's folder is taken by a plain file, so nothing can be stored
    // (whatever the permissions of whoever runs the test).
    const QString folder = dir.filePath(QStringLiteral("config"));
    {
        QFile blocker(folder);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    UserSettings settings(folder + QStringLiteral("/settings.conf"));
    QSignalSpy any(&settings, &UserSettings::settingChanged);

    settings.setPersistProjectFilters(false);
    EXPECT_EQ(any.count(), 0);
    EXPECT_TRUE(settings.persistProjectFilters()) << "reads what is stored";
    EXPECT_TRUE(log.contains(
        QStringLiteral("[UserSettings] The setting \"persistProjectFilters\" could not be stored")));

    // Once the folder can be made, the same change is stored and announced.
    ASSERT_TRUE(QFile::remove(folder));
    ASSERT_TRUE(QDir().mkpath(folder));
    settings.setPersistProjectFilters(false);
    EXPECT_EQ(any.count(), 1);
    EXPECT_FALSE(UserSettings(folder + QStringLiteral("/settings.conf")).persistProjectFilters());
}

TEST(UserSettingsTest, AnUnreadableSettingsFileIsCopiedAsideBeforeItIsRewritten) {
    test::LogCapture log;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.conf"));
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage.append(static_cast<char>((i * 7919 + 13) % 256));
    }
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }
    UserSettings settings(path);
    settings.setPersistProjectFilters(false);

    const auto aside = QDir(dir.path()).entryList({QStringLiteral("Velmora.conf.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(dir.filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage) << "the original is kept byte for byte";
    EXPECT_FALSE(UserSettings(path).persistProjectFilters()) << "the change is stored in a fresh file";
    EXPECT_TRUE(log.contains(QStringLiteral("[UserSettings] The settings file")));

    // A readable file is never set aside.
    settings.setShowMyTasksByDefault(false);
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("Velmora.conf.unreadable-*")}, QDir::Files).size(),
              1);
}

// Qt writes the settings file through a temporary whose name (six letters or digits after the
// file's) the app cannot tell from a user's file, such as "Velmora.conf.backup": nothing next to
// the settings file is removed at start.
TEST(UserSettingsTest, TheUsersFilesNextToTheSettingsFileStayAtStart) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.conf"));
    const auto leave = [&](const QString& name, int ageSeconds) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\npersistProjectFilters=false\n");
        file.flush();
        file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                         QFileDevice::FileModificationTime);
    };
    leave(QStringLiteral("Velmora.conf.backup"), 3600);
    leave(QStringLiteral("Velmora.conf.a1B2c3"), 3600);
    leave(QStringLiteral("Velmora.conf.Zz9Yy8"), 0);
    leave(QStringLiteral("Velmora.conf.old"), 3600);

    UserSettings settings(path);
    settings.setPersistProjectFilters(true);
    const auto left = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(left, (QStringList{QStringLiteral("Velmora.conf"), QStringLiteral("Velmora.conf.Zz9Yy8"),
                                 QStringLiteral("Velmora.conf.a1B2c3"), QStringLiteral("Velmora.conf.backup"),
                                 QStringLiteral("Velmora.conf.old")}));
}
