#pragma once

#include "core/storage/UserSettings.h"
#include "platform/store/ProviderStore.h"
#include "platform/updates/Updater.h"
#include "views/settings/SettingsEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace velmora::test {

struct RecordingUserDriver : UserDriver {
    int notFound = 0;
    void showUpdateFound(const AppcastItem&, const QString&) override {}
    void showUpdateNotFound(const QString&) override { ++notFound; }
    void showUpdaterError(const QString&) override {}
};

// Settings, an update engine and an account store of their own, in a temporary folder.
class SettingsFixture : public ::testing::Test {
protected:
    SettingsFixture()
        : settings(dir.filePath(QStringLiteral("settings.conf"))),
          store(dir.filePath(QStringLiteral("Velmora.sqlite"))) {
        Updater::Options options;
        options.settingsFile = dir.filePath(QStringLiteral("updates.ini"));
        options.currentVersion = QStringLiteral("1.0");
        updater = std::make_unique<Updater>(options, driver);
    }

    SettingsEnvironment environment() {
        SettingsEnvironment env;
        env.settings = &settings;
        env.updater = updater.get();
        env.store = &store;
        env.windowStateFile = dir.filePath(QStringLiteral("windows.conf"));
        return env;
    }

    QUuid addAccount(const QString& name, const QString& state = QStringLiteral("operational")) {
        ProviderEntity entity;
        entity.id = QUuid::createUuid();
        entity.name = name;
        entity.typeValue = QStringLiteral("YouTrack");
        entity.parametersValue = QStringLiteral(R"({"baseUrl":"https://tracker.example.test"})");
        entity.stateValue = state;
        EXPECT_TRUE(store.insertProvider(entity).ok());
        return entity.id;
    }

    QTemporaryDir dir;
    UserSettings settings;
    ProviderStore store;
    std::shared_ptr<RecordingUserDriver> driver = std::make_shared<RecordingUserDriver>();
    std::unique_ptr<Updater> updater;
};

} // namespace velmora::test
