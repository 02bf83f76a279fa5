#pragma once

#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/User.h"
#include "core/model/WorkEntry.h"
#include "core/storage/SnapshotManager.h"
#include "core/storage/UserSettings.h"
#include "platform/async/BootClock.h"
#include "platform/async/Clock.h"
#include "state/BookingRecords.h"
#include "state/StateEnvironment.h"

#include <QDateTime>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace velmora::test {

// A snapshot file, a settings file, booking records and manual clocks of the test's
// own, handed to the state objects through their environment.
class StateTestEnvironment {
public:
    StateTestEnvironment()
        : clock(std::make_shared<ManualClock>(
              QDateTime::fromSecsSinceEpoch(1'741'176'000))), // 2025-03-05 12:00 UTC
          bootClock(std::make_shared<ManualBootClock>()),
          snapshots(std::make_unique<SnapshotManager>(snapshotPath())),
          settings(std::make_unique<UserSettings>(m_dir.filePath(QStringLiteral("settings.conf")))),
          bookings(std::make_unique<BookingRecords>(environmentWithoutBookings())) {}

    QString snapshotPath() const { return m_dir.filePath(QStringLiteral("Velmora.plist")); }

    StateEnvironment
    environment(std::chrono::milliseconds loadMoreDelay = std::chrono::milliseconds(20)) const {
        StateEnvironment env = environmentWithoutBookings(loadMoreDelay);
        env.bookings = bookings.get();
        return env;
    }

    StateEnvironment environmentWithoutBookings(
        std::chrono::milliseconds loadMoreDelay = std::chrono::milliseconds(20)) const {
        StateEnvironment env;
        env.clock = clock;
        env.bootClock = bootClock;
        env.snapshots = snapshots.get();
        env.settings = settings.get();
        env.loadMoreDelay = loadMoreDelay;
        env.accountExists = [gone = goneAccounts](const QString& account) {
            return !gone->contains(account);
        };
        return env;
    }

    // Writes what is pending and reads the file anew, as the next start would (the
    // booking records too: objects made with the old environment must be gone).
    void reopenSnapshots() {
        bookings.reset();
        snapshots->flush();
        snapshots = std::make_unique<SnapshotManager>(snapshotPath());
        bookings = std::make_unique<BookingRecords>(environmentWithoutBookings());
    }

private:
    QTemporaryDir m_dir;

public:
    // Accounts deleted meanwhile (every other one exists).
    std::shared_ptr<QSet<QString>> goneAccounts = std::make_shared<QSet<QString>>();
    std::shared_ptr<ManualClock> clock;
    std::shared_ptr<ManualBootClock> bootClock;
    std::unique_ptr<SnapshotManager> snapshots;
    std::unique_ptr<UserSettings> settings;
    std::unique_ptr<BookingRecords> bookings;
};

inline Project makeProject(const QString& id, bool filters = true) {
    Project project;
    project.id = id;
    project.shortName = id.toUpper();
    project.name = QStringLiteral("Project ") + id;
    project.configuration = Project::Configuration{true, filters, filters, true};
    return project;
}

inline Issue makeIssue(const QString& id, const QString& spentTime = {}) {
    Issue issue;
    issue.id = id;
    issue.reference = QStringLiteral("KEY-") + id;
    issue.name = QStringLiteral("Task ") + id;
    if (!spentTime.isEmpty()) {
        issue.spentTime = spentTime;
    }
    return issue;
}

inline User makeUser(const QString& id) {
    return User{id, QStringLiteral("User ") + id, std::nullopt};
}

inline std::vector<Issue> makeIssues(int count) {
    std::vector<Issue> issues;
    for (int i = 1; i <= count; ++i) {
        issues.push_back(makeIssue(QString::number(i)));
    }
    return issues;
}

} // namespace velmora::test
