#pragma once

#include "app/AppDelegate.h"
#include "app/ApplicationWindowController.h"
#include "app/ShellEnvironment.h"
#include "app/WindowManager.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/keyring/InMemoryKeyring.h"
#include "platform/store/ProviderStore.h"
#include "state/BookingRecord.h"
#include "state/TimerSnapshot.h"
#include "state/TimerViewModel.h"
#include "tests/state/FakeProviderService.h"
#include "tests/state/StateTestEnvironment.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace velmora::test {

// A shell on a real account store, snapshot file and settings file in a temporary
// folder, an in-memory keyring and scripted tracker services (one per account, kept
// here so a test can answer for them).
class ShellFixture : public ::testing::Test {
protected:
    ShellFixture()
        : store(dir.filePath(QStringLiteral("Velmora.sqlite"))), keyring(std::make_shared<InMemoryKeyring>()),
          credentials(keyring), snapshots(std::make_unique<SnapshotManager>(snapshotPath())),
          settings(dir.filePath(QStringLiteral("settings.conf"))),
          manager(std::make_unique<ProviderManager>(store, credentials, *snapshots)) {
        m_previous = ProviderManager::setShared(manager.get());
        service->projects.answer({makeProject(QStringLiteral("p1")), makeProject(QStringLiteral("p2"))});
        service->workEntries.answer({});
        service->states.answer({});
        service->assignees.answer({});
    }
    ~ShellFixture() override {
        delegate.reset();
        closeAllWindows();
        ProviderManager::setShared(m_previous);
    }

    QString snapshotPath() const { return dir.filePath(QStringLiteral("Velmora.plist")); }

    ShellEnvironment environment() {
        ShellEnvironment env;
        env.providers = manager.get();
        env.state.snapshots = snapshots.get();
        env.state.settings = &settings;
        env.state.loadMoreDelay = std::chrono::milliseconds(10);
        auto shared = service;
        env.makeService = [shared](const AnyProvider&) -> std::shared_ptr<ProviderService> { return shared; };
        env.windowStateFile = dir.filePath(QStringLiteral("windows.conf"));
        env.scheduleJobs = false;
        return env;
    }

    // A stored account (through the store, so the shell is not told).
    YouTrackProvider addAccount(const QString& name, ProviderState state = ProviderState::operational) {
        YouTrackProvider provider(std::nullopt, name,
                                  YouTrackProvider::Parameters{QStringLiteral("https://yt.test")}, state,
                                  ProviderUser{QStringLiteral("me"), QStringLiteral("Me"), QString()});
        ProviderEntity entity = provider.toEntity();
        entity.id = QUuid::createUuid();
        EXPECT_TRUE(store.insertProvider(entity).ok());
        return YouTrackProvider::fromEntity(entity).value();
    }

    // The stored timer of account `key` with a booking of `seconds` on WEB-like task 7 sent a
    // minute ago whose answer never came, as an earlier version kept it: the start makes it a
    // record on hold. The tracker's look-ups fail, so it stays so.
    void storeUnansweredBooking(const QString& key, qint64 seconds) {
        const QDateTime sent = QDateTime::currentDateTime().addSecs(-60);
        WorkLogBooking booking{QStringLiteral("7"), sent, seconds, QString()};
        booking.dating = WorkLogBooking::Dating::day;
        booking.sent = sent;
        booking.trackerClock = ClockOffset{-500, 500};
        QVariantMap stored = TimerSnapshot{makeProject(QStringLiteral("p1")),
                                           makeIssue(QStringLiteral("7")),
                                           TimerViewModel::State::paused,
                                           static_cast<double>(seconds),
                                           std::nullopt,
                                           std::nullopt}
                                 .toSnapshot()
                                 .toMap();
        stored.insert(QStringLiteral("booking"), BookingRecord::encodeBooking(booking));
        snapshots->save(SnapshotKind::Timers, key, stored);
        service->workEntries.answerError(
            APIError::failure(APIError::Cause::Unreachable).withHost("yt.example.test"));
    }

    // The delegate as the app makes it, started up.
    AppDelegate& launch() {
        delegate = std::make_unique<AppDelegate>(environment());
        delegate->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *delegate;
    }
    // Launched with services made by `makeService` instead of the scripted one.
    AppDelegate& launchWith(std::function<std::shared_ptr<ProviderService>(const AnyProvider&)> makeService) {
        ShellEnvironment env = environment();
        env.makeService = std::move(makeService);
        delegate = std::make_unique<AppDelegate>(env);
        delegate->applicationDidFinishLaunching();
        QCoreApplication::processEvents();
        return *delegate;
    }
    WindowManager& windows() { return delegate->windowManager(); }

    // Writes what is pending and reads the file anew, as the next start would.
    void restartSnapshots() {
        delegate.reset();
        manager.reset();
        snapshots->flush();
        snapshots = std::make_unique<SnapshotManager>(snapshotPath());
        manager = std::make_unique<ProviderManager>(store, credentials, *snapshots);
        ProviderManager::setShared(manager.get());
    }

    static void closeAllWindows() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            widget->close();
            widget->deleteLater();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QTemporaryDir dir;
    ProviderStore store;
    std::shared_ptr<InMemoryKeyring> keyring;
    CredentialsManager credentials;
    std::unique_ptr<SnapshotManager> snapshots;
    UserSettings settings;
    std::unique_ptr<ProviderManager> manager;
    std::shared_ptr<FakeProviderService> service = std::make_shared<FakeProviderService>();
    std::unique_ptr<AppDelegate> delegate;

private:
    ProviderManager* m_previous = nullptr;
};

} // namespace velmora::test
