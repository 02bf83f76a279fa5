#include "core/storage/SnapshotManager.h"

#include "platform/plist/PropertyList.h"
#include "tests/core/storage/LogCapture.h"
#include "tests/support/BinaryPropertyList.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/SyncGate.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSize>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

using namespace velmora;

namespace {

// A stand-in for the state layer's entries: a filter of a project.
struct TestFilter {
    static constexpr SnapshotKind snapshotKind = SnapshotKind::Filters;
    QString state;

    QVariant toSnapshot() const { return QVariantMap{{QStringLiteral("state"), state}}; }
    static std::optional<TestFilter> fromSnapshot(const QVariant& stored) {
        const auto map = stored.toMap();
        if (stored.typeId() != QMetaType::QVariantMap ||
            map.value(QStringLiteral("state")).typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        return TestFilter{map.value(QStringLiteral("state")).toString()};
    }
};
static_assert(Snapshotable<TestFilter>);

QVariantMap readFile(const QString& path) {
    auto read = PropertyList::readFile(path);
    EXPECT_TRUE(read.ok()) << (read.ok() ? "" : read.error().message.toStdString());
    return read.ok() ? read.value().toMap() : QVariantMap{};
}

QVariantMap timerRecord(double previous) {
    return QVariantMap{{QStringLiteral("project"), PropertyList::null()},
                       {QStringLiteral("task"), PropertyList::null()},
                       {QStringLiteral("state"), QVariantMap{{QStringLiteral("paused"), QVariantMap{}}}},
                       {QStringLiteral("previousDuration"), previous},
                       {QStringLiteral("startedAt"), PropertyList::null()}};
}

const QString kAccount = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");

} // namespace

TEST(SnapshotManagerTest, NoFileReadsEmptyAndTheFirstSaveWritesACompleteFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data/Velmora.plist"));
    SnapshotManager manager(path);
    EXPECT_FALSE(manager.value(SnapshotKind::Timers, kAccount).has_value());
    EXPECT_FALSE(manager.value<TestFilter>(QStringLiteral("10001-filters")).has_value());

    manager.save(TestFilter{QStringLiteral("Unresolved")}, QStringLiteral("10001-filters"));
    manager.flush();

    const auto file = readFile(path);
    EXPECT_EQ(file.keys(),
              (QStringList{QStringLiteral("bookings"), QStringLiteral("claims"), QStringLiteral("filters"),
                           QStringLiteral("starredProjects"), QStringLiteral("timers")}));
    EXPECT_TRUE(file[QStringLiteral("timers")].toMap().isEmpty());
    EXPECT_TRUE(file[QStringLiteral("starredProjects")].toMap().isEmpty());
    EXPECT_EQ(file[QStringLiteral("filters")]
                  .toMap()[QStringLiteral("10001-filters")]
                  .toMap()[QStringLiteral("state")],
              QStringLiteral("Unresolved"));
}

TEST(SnapshotManagerTest, EntriesOfOneKindLeaveTheOthersAndSurviveARestart) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    {
        SnapshotManager manager(path);
        manager.save(SnapshotKind::Timers, kAccount, timerRecord(90.5));
        manager.save(
            SnapshotKind::StarredProjects, kAccount,
            QVariantMap{{QStringLiteral("projects"), QStringList{QStringLiteral("1"), QStringLiteral("2")}}});
        manager.save(TestFilter{QStringLiteral("Open")}, QStringLiteral("7-filters"));
        manager.save(TestFilter{QStringLiteral("Done")}, QStringLiteral("7-filters"));
        // Removing what is not there still writes (the file stays as it was otherwise).
        manager.remove<TestFilter>(QStringLiteral("missing-filters"));
    }
    SnapshotManager restarted(path);
    auto timer = restarted.value(SnapshotKind::Timers, kAccount);
    ASSERT_TRUE(timer.has_value());
    const auto record = timer->toMap();
    EXPECT_TRUE(PropertyList::isNull(record[QStringLiteral("project")]));
    EXPECT_TRUE(PropertyList::isNull(record[QStringLiteral("startedAt")]));
    EXPECT_DOUBLE_EQ(record[QStringLiteral("previousDuration")].toDouble(), 90.5);
    EXPECT_EQ(record[QStringLiteral("state")].toMap().keys(), QStringList{QStringLiteral("paused")});
    EXPECT_EQ(restarted.value<TestFilter>(QStringLiteral("7-filters"))->state, QStringLiteral("Done"));
    EXPECT_EQ(restarted.value(SnapshotKind::StarredProjects, kAccount)
                  ->toMap()[QStringLiteral("projects")]
                  .toStringList(),
              (QStringList{QStringLiteral("1"), QStringLiteral("2")}));

    restarted.remove(SnapshotKind::Timers, kAccount);
    EXPECT_FALSE(restarted.value(SnapshotKind::Timers, kAccount).has_value());
    restarted.flush();
    const auto file = readFile(path);
    EXPECT_TRUE(file[QStringLiteral("timers")].toMap().isEmpty());
    EXPECT_EQ(file[QStringLiteral("filters")].toMap().size(), 1);
    EXPECT_EQ(file[QStringLiteral("starredProjects")].toMap().size(), 1);
}

// The bookings' map came later: a file without it reads (as one with none), and one
// whose bookings are not a map is a file this version cannot make sense of.
TEST(SnapshotManagerTest, AFileWithoutBookingsReadsAndOneWithOddBookingsIsMovedAside) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    const QVariantMap older{{QStringLiteral("timers"), QVariantMap{{kAccount, timerRecord(60)}}},
                            {QStringLiteral("filters"), QVariantMap{}},
                            {QStringLiteral("starredProjects"), QVariantMap{}}};
    ASSERT_TRUE(PropertyList::writeFile(path, older).ok());
    {
        SnapshotManager manager(path);
        EXPECT_TRUE(manager.value(SnapshotKind::Timers, kAccount).has_value());
        EXPECT_TRUE(manager.load().bookings.isEmpty());
    }
    QVariantMap odd = older;
    odd.insert(QStringLiteral("bookings"), QStringLiteral("not a map"));
    ASSERT_TRUE(PropertyList::writeFile(path, odd).ok());
    SnapshotManager manager(path);
    // What of it reads is kept: the timer goes on; the file itself is kept aside.
    EXPECT_TRUE(manager.value(SnapshotKind::Timers, kAccount).has_value());
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("Velmora.plist.unreadable-*")}).size(), 1);
    const auto problem = manager.loadProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_FALSE(problem->keptAt.isEmpty());
    EXPECT_FALSE(problem->previousFrom.has_value());
    EXPECT_EQ(problem->readable.timers.keys(), QStringList{kAccount});
}

// Each write keeps the file it replaces: a file damaged later (a disk fault, another program)
// takes the app back one change, not to nothing, and says so.
TEST(SnapshotManagerTest, ADamagedFileGoesBackToTheOneBeforeItsLastWriteAndSaysSo) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    {
        SnapshotManager manager(path);
        EXPECT_FALSE(manager.loadProblem().has_value()) << "no file is no problem";
        manager.save(SnapshotKind::Timers, kAccount, timerRecord(60));
        ASSERT_FALSE(manager.flush().has_value());
        manager.save(SnapshotKind::Timers, kAccount, timerRecord(120));
        ASSERT_FALSE(manager.flush().has_value());
    }
    EXPECT_EQ(readFile(path + QStringLiteral(".previous"))[QStringLiteral("timers")].toMap().value(kAccount),
              QVariant(timerRecord(60)));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray whole = file.readAll();
    ASSERT_TRUE(file.resize(whole.size() / 2));
    file.close();

    SnapshotManager manager(path);
    EXPECT_EQ(manager.value(SnapshotKind::Timers, kAccount), QVariant(timerRecord(60)));
    const auto problem = manager.loadProblem();
    ASSERT_TRUE(problem.has_value());
    EXPECT_TRUE(problem->previousFrom.has_value());
    ASSERT_FALSE(problem->keptAt.isEmpty());
    QFile kept(problem->keptAt);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), whole.left(whole.size() / 2)) << "the damaged file is kept as it was";
    // The next write keeps going: the file is whole again, and the previous one is not the
    // damaged one.
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(180));
    ASSERT_FALSE(manager.flush().has_value());
    EXPECT_EQ(readFile(path)[QStringLiteral("timers")].toMap().value(kAccount), QVariant(timerRecord(180)));
    EXPECT_EQ(readFile(path + QStringLiteral(".previous"))[QStringLiteral("timers")].toMap().value(kAccount),
              QVariant(timerRecord(60)));
}

// Whoever must act only once a change is on disk hears when it is, or why it is not.
TEST(SnapshotManagerTest, AChangeTellsWhenItsWriteEnded) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    SnapshotManager manager(path);
    const auto generation = manager.apply({{SnapshotKind::Timers, kAccount, timerRecord(1)}});
    ASSERT_TRUE(generation.has_value());
    std::promise<std::optional<QString>> ended;
    manager.whenWritten(*generation, [&](const std::optional<QString>& failure) {
        // On disk by now.
        EXPECT_EQ(readFile(path)[QStringLiteral("timers")].toMap().keys(), QStringList{kAccount});
        ended.set_value(failure);
    });
    auto result = ended.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(result.get().has_value());
    // Asked after the write: at once, with that write's outcome, whatever writes came since.
    {
        test::FileSizeLimit fullDisk(64);
        ASSERT_TRUE(fullDisk.active());
        manager.save(SnapshotKind::Filters, QStringLiteral("big"), QVariantMap{});
        ASSERT_TRUE(manager.flush().has_value()) << "a later write that failed";
    }
    std::optional<std::optional<QString>> told;
    manager.whenWritten(*generation, [&](const std::optional<QString>& failure) { told = failure; });
    ASSERT_TRUE(told.has_value());
    EXPECT_FALSE(told->has_value()) << "on disk, though a later write failed";

    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SnapshotManager failing(dir.filePath(QStringLiteral("blocker/Velmora.plist")));
    const auto refused = failing.apply({{SnapshotKind::Timers, kAccount, timerRecord(2)}});
    ASSERT_TRUE(refused.has_value());
    std::promise<std::optional<QString>> failed;
    failing.whenWritten(*refused, [&](const std::optional<QString>& failure) { failed.set_value(failure); });
    auto failure = failed.get_future();
    ASSERT_EQ(failure.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(failure.get().has_value());
}

// The writer never holds what the store's callers take while it writes or syncs: every call
// returns while a sync is held. And a change's waiter hears of the write that took its own
// change, never of the one under way when it asked.
TEST(SnapshotManagerTest, NoCallWaitsOnTheWritersSyncAndAWaiterHearsOfItsOwnWrite) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    SnapshotManager manager(path);
    test::SyncGate gate;
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(1));
    ASSERT_TRUE(gate.waitForASync());

    std::promise<bool> told;
    auto calls = std::async(std::launch::async, [&] {
        const auto second = manager.apply({{SnapshotKind::Timers, QStringLiteral("second"), timerRecord(2)}});
        EXPECT_TRUE(manager.value(SnapshotKind::Timers, kAccount).has_value());
        EXPECT_EQ(manager.load().timers.size(), 2);
        EXPECT_FALSE(manager.loadProblem().has_value());
        manager.whenWritten(*second, [&](const std::optional<QString>& failure) {
            told.set_value(!failure && readFile(path)[QStringLiteral("timers")].toMap().contains(
                                           QStringLiteral("second")));
        });
        manager.remove(SnapshotKind::Filters, QStringLiteral("none"));
    });
    const bool returned = calls.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
    gate.open();
    ASSERT_TRUE(returned) << "a call waited for the writer's sync";
    auto onDisk = told.get_future();
    ASSERT_EQ(onDisk.wait_for(std::chrono::minutes(1)), std::future_status::ready);
    EXPECT_TRUE(onDisk.get()) << "told before its change was on the disk";
}

// Changes applied together reach the file together: no state a write can take holds
// some of them without the others.
TEST(SnapshotManagerTest, ChangesAppliedTogetherAreOneStateOfTheFile) {
    QTemporaryDir dir;
    SnapshotManager manager(dir.filePath(QStringLiteral("Velmora.plist")));
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(5400));
    std::vector<Snapshot> states;
    manager.setChangeObserver([&](const Snapshot& state) { states.push_back(state); });
    manager.apply(
        {{SnapshotKind::Bookings, QStringLiteral("b1"), QVariantMap{{QStringLiteral("seconds"), 5400}}},
         {SnapshotKind::Timers, kAccount, std::nullopt}});
    manager.setChangeObserver({});
    ASSERT_EQ(states.size(), 1u);
    EXPECT_TRUE(states.front().timers.isEmpty());
    EXPECT_TRUE(states.front().bookings.contains(QStringLiteral("b1")));
    manager.flush();
    const auto file = readFile(dir.filePath(QStringLiteral("Velmora.plist")));
    EXPECT_TRUE(file[QStringLiteral("timers")].toMap().isEmpty());
    EXPECT_EQ(file[QStringLiteral("bookings")].toMap().size(), 1);
}

TEST(SnapshotManagerTest, BackToBackChangesAreAllKeptInOrder) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    SnapshotManager manager(path);
    // Changes that follow each other faster than the writer: each read sees all
    // earlier ones, and the file ends with the last state of every key.
    for (int i = 0; i < 300; ++i) {
        manager.save(SnapshotKind::Timers, QStringLiteral("account-%1").arg(i % 7), timerRecord(i));
        manager.save(SnapshotKind::Filters, QStringLiteral("%1-filters").arg(i), QVariantMap{});
        if (i % 3 == 0) {
            manager.remove(SnapshotKind::Filters, QStringLiteral("%1-filters").arg(i));
        }
        ASSERT_EQ(manager.value(SnapshotKind::Timers, QStringLiteral("account-%1").arg(i % 7))
                      ->toMap()[QStringLiteral("previousDuration")]
                      .toDouble(),
                  i);
    }
    const Snapshot expected = manager.load();
    EXPECT_EQ(expected.timers.size(), 7);
    EXPECT_EQ(expected.filters.size(), 200);
    manager.flush();

    SnapshotManager reread(path);
    EXPECT_EQ(reread.load(), expected);
}

using test::LogCapture;

TEST(SnapshotManagerTest, AnUnreadableFileIsMovedAsideNotOverwritten) {
    LogCapture log;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    // Not a property list at all; and one without the "filters" map.
    const auto partial = PropertyList::toXml(QVariantMap{{QStringLiteral("timers"), QVariantMap{}},
                                                         {QStringLiteral("starredProjects"), QVariantMap{}}});
    ASSERT_TRUE(partial.ok());
    const QList<QByteArray> unreadable = {QByteArray("this is not a property list"), partial.value()};
    for (const auto& content : unreadable) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        SnapshotManager manager(path);
        EXPECT_FALSE(manager.value(SnapshotKind::Timers, kAccount).has_value());
        manager.save(SnapshotKind::Timers, kAccount, timerRecord(1));
        manager.flush();

        const auto aside =
            QDir(dir.path()).entryList({QStringLiteral("Velmora.plist.unreadable-*")}, QDir::Files);
        ASSERT_EQ(aside.size(), 1);
        QFile kept(dir.filePath(aside.first()));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), content);
        EXPECT_EQ(readFile(path)[QStringLiteral("timers")].toMap().keys(), QStringList{kAccount});
        EXPECT_TRUE(log.contains(QStringLiteral("[SnapshotManager] The snapshot file could not be read")));
    }
}

TEST(SnapshotManagerTest, AFailedWriteIsLoggedAndKeepsTheSnapshotInMemory) {
    LogCapture log;
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.filePath(QStringLiteral("blocker/Velmora.plist"));
    SnapshotManager manager(path);
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(3));
    EXPECT_TRUE(manager.flush().has_value()) << "a folder that cannot be written is reported";
    EXPECT_TRUE(log.contains(QStringLiteral("[SnapshotManager] An error occurred while saving snapshot: ")));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(manager.value(SnapshotKind::Timers, kAccount).has_value());

    // A value with no property-list form fails the write the same way, and the last
    // good file stays.
    QTemporaryDir other;
    const QString good = other.filePath(QStringLiteral("Velmora.plist"));
    SnapshotManager second(good);
    second.save(SnapshotKind::Timers, kAccount, timerRecord(4));
    second.flush();
    second.save(SnapshotKind::Timers, QStringLiteral("bad"), QVariantMap{{QStringLiteral("x"), qQNaN()}});
    second.flush();
    EXPECT_EQ(readFile(good)[QStringLiteral("timers")].toMap().keys(), QStringList{kAccount});

    // The value that cannot be written is not kept either, so it does not hold back
    // every later change; an entry it would have replaced stays as it was.
    second.save(SnapshotKind::Timers, kAccount, QVariantMap{{QStringLiteral("x"), qInf()}});
    EXPECT_FALSE(second.value(SnapshotKind::Timers, QStringLiteral("bad")).has_value());
    EXPECT_EQ(second.value(SnapshotKind::Timers, kAccount), QVariant(timerRecord(4)));
    second.save(TestFilter{QStringLiteral("Open")}, QStringLiteral("7-filters"));
    second.flush();
    const auto file = readFile(good);
    EXPECT_EQ(file[QStringLiteral("timers")].toMap().keys(), QStringList{kAccount});
    EXPECT_EQ(file[QStringLiteral("filters")].toMap().keys(), QStringList{QStringLiteral("7-filters")});
    Snapshot whole = second.load();
    whole.starredProjects.insert(QStringLiteral("bad"), QVariant::fromValue(QSize(1, 1)));
    second.save(whole);
    EXPECT_TRUE(second.load().starredProjects.isEmpty());
}

namespace {

// Starts a store on `content`, then saves: the file must have gone aside untouched and
// the save must have written a fresh, complete file.
void expectMovedAsideAndSavingGoesOn(const QByteArray& content) {
    LogCapture log;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    SnapshotManager manager(path);
    EXPECT_TRUE(manager.load().starredProjects.isEmpty());
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(5));
    manager.save(SnapshotKind::StarredProjects, kAccount,
                 QVariantMap{{QStringLiteral("projects"), QVariantList{QStringLiteral("P-1")}}});
    manager.flush();

    EXPECT_FALSE(log.contains(QStringLiteral("An error occurred while saving snapshot")));
    const auto aside =
        QDir(dir.path()).entryList({QStringLiteral("Velmora.plist.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(dir.filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), content);
    const auto written = readFile(path);
    EXPECT_EQ(written[QStringLiteral("timers")].toMap().keys(), QStringList{kAccount});
    EXPECT_EQ(written[QStringLiteral("starredProjects")].toMap().keys(), QStringList{kAccount});
}

} // namespace

TEST(SnapshotManagerTest, ABinaryFileWithANulInATextIsMovedAsideAndSavingGoesOn) {
    const auto file = test::snapshotWithStarredProject(test::utf16Object({u'P', 0, u'1'}));
    EXPECT_EQ(file.size(), 120);
    expectMovedAsideAndSavingGoesOn(file);
}

TEST(SnapshotManagerTest, AFileWithValuesThatCouldNotBeWrittenBackIsMovedAsideAndSavingGoesOn) {
    expectMovedAsideAndSavingGoesOn(test::snapshotWithStarredProject(test::realObject(qQNaN())));
    expectMovedAsideAndSavingGoesOn(test::snapshotWithStarredProject(test::dateObject(qQNaN())));
}

TEST(SnapshotManagerTest, ASaveOnAFullDiskKeepsTheOldFileAndTheNextChangeWritesAgain) {
    LogCapture log;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    SnapshotManager manager(path);
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(7));
    manager.flush();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    {
        test::FileSizeLimit fullDisk(before.size() + 200);
        ASSERT_TRUE(fullDisk.active());
        manager.save(SnapshotKind::Filters, QStringLiteral("big"),
                     QVariantMap{{QStringLiteral("state"), QString(4000, QLatin1Char('x'))}});
        // The caller that must not go on without the change on disk hears why.
        const auto failure = manager.flush();
        ASSERT_TRUE(failure.has_value());
        EXPECT_FALSE(failure->isEmpty());
    }
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before) << "the old snapshot stays byte for byte";
    file.close();
    EXPECT_TRUE(log.contains(QStringLiteral("[SnapshotManager] An error occurred while saving snapshot: ")));

    // The failed change is still in memory and goes out with the next one.
    manager.save(SnapshotKind::Timers, kAccount, timerRecord(8));
    EXPECT_FALSE(manager.flush().has_value()) << "written";
    const auto written = readFile(path);
    EXPECT_EQ(written[QStringLiteral("filters")].toMap().keys(), QStringList{QStringLiteral("big")});
    EXPECT_EQ(written[QStringLiteral("timers")].toMap().value(kAccount), QVariant(timerRecord(8)));
}

TEST(SnapshotManagerTest, TheNextStartRemovesWhatAnInterruptedWriteLeftBehind) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Velmora.plist"));
    {
        SnapshotManager manager(path);
        manager.save(SnapshotKind::Timers, kAccount, timerRecord(9));
    }
    // A write killed between its temporary file and the rename.
    QFile leftover(dir.filePath(QStringLiteral("Velmora.plist.velmora-write-k1LLd9")));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.write("<?xml version=\"1.0\"");
    leftover.close();
    // The user's own copy, whose name has six letters after the file's as well.
    QFile backup(dir.filePath(QStringLiteral("Velmora.plist.backup")));
    ASSERT_TRUE(backup.open(QIODevice::WriteOnly));
    backup.write("the user's");
    backup.close();

    SnapshotManager next(path);
    EXPECT_EQ(next.value(SnapshotKind::Timers, kAccount), QVariant(timerRecord(9)));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{QStringLiteral("Velmora.plist"), QStringLiteral("Velmora.plist.backup")}));
}
