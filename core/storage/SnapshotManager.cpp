#include "core/storage/SnapshotManager.h"

#include "core/model/Logger.h"
#include "platform/files/AtomicFile.h"
#include "platform/plist/PropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace velmora {

namespace {

const QString kTimers = QStringLiteral("timers");
const QString kFilters = QStringLiteral("filters");
const QString kStarredProjects = QStringLiteral("starredProjects");
const QString kBookings = QStringLiteral("bookings");
const QString kClaims = QStringLiteral("claims");

void logSnapshotError(const QString& text) {
    logError(Logger::dataManager(), QStringLiteral("[SnapshotManager] ") + text);
}

// The file's root must be a dictionary holding the three maps (and, since later, the
// bookings' and the claims' maps, absent in older files); anything else is a file this
// version cannot make sense of.
std::optional<Snapshot> snapshotFromFile(const QVariant& root) {
    if (root.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const auto map = root.toMap();
    for (const auto& key : {kTimers, kFilters, kStarredProjects}) {
        if (map.value(key).typeId() != QMetaType::QVariantMap) {
            return std::nullopt;
        }
    }
    if (map.value(kBookings).isValid() && map.value(kBookings).typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    // Claims that are no map are no reason to set the file aside: they are kept under a key that
    // is no record's, for the booking records to take as a claim that does not read.
    const QVariant claims = map.value(kClaims);
    const bool claimsRead = !claims.isValid() || claims.typeId() == QMetaType::QVariantMap;
    return Snapshot{map.value(kTimers).toMap(), map.value(kFilters).toMap(),
                    map.value(kStarredProjects).toMap(), map.value(kBookings).toMap(),
                    claimsRead ? claims.toMap() : QVariantMap{{QStringLiteral("unreadable"), claims}}};
}

// What of a damaged file the store can go on with: each map that is a map. `any`: whether
// there was one.
Snapshot salvage(const QVariant& root, bool& any) {
    Snapshot kept;
    any = false;
    if (root.typeId() != QMetaType::QVariantMap) {
        return kept;
    }
    const auto map = root.toMap();
    for (const auto& [key, kind] : {std::pair{kTimers, SnapshotKind::Timers}, std::pair{kFilters, SnapshotKind::Filters},
                                    std::pair{kStarredProjects, SnapshotKind::StarredProjects},
                                    std::pair{kBookings, SnapshotKind::Bookings},
                                    std::pair{kClaims, SnapshotKind::Claims}}) {
        if (map.value(key).typeId() == QMetaType::QVariantMap) {
            kept.map(kind) = map.value(key).toMap();
            any = true;
        }
    }
    return kept;
}

SnapshotManager::LoadProblem problemOf(const PropertyListError& error) {
    using Cause = SnapshotManager::LoadProblem::Cause;
    SnapshotManager::LoadProblem problem;
    switch (error.kind) {
    case PropertyListError::Kind::NotAFile:
        problem.cause = Cause::NotAFile;
        break;
    case PropertyListError::Kind::TooLarge:
        problem.cause = Cause::TooLarge;
        break;
    case PropertyListError::Kind::Unreadable:
        problem.cause = Cause::Unreadable;
        break;
    default:
        problem.cause = Cause::Damaged;
        break;
    }
    problem.reason = error.description();
    if (error.systemError != 0) {
        problem.systemError = QString::fromLocal8Bit(std::strerror(error.systemError));
    }
    return problem;
}

QVariant snapshotToFile(const Snapshot& snapshot) {
    return QVariantMap{{kTimers, snapshot.timers},
                       {kFilters, snapshot.filters},
                       {kStarredProjects, snapshot.starredProjects},
                       {kBookings, snapshot.bookings},
                       {kClaims, snapshot.claims}};
}

// The snapshot lives in memory and is written whole: a value with no property-list
// form would make every later write fail, so it is refused at the door (logged the way
// a failed write is) and what it would have replaced stays.
bool encodable(const QVariant& value) {
    auto encoded = PropertyList::toXml(QVariantList{value});
    if (!encoded.ok()) {
        logSnapshotError(QStringLiteral("An error occurred while saving snapshot: ") +
                         encoded.error().description());
    }
    return encoded.ok();
}

// Moves whatever is at `path` (a file, a pipe, a link: never opened) to a free name next to
// it, so that it is kept for the user to look at and never written over; where it is now, or
// empty when it could not be moved.
QString moveAside(const QString& path) {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QByteArray from = QFile::encodeName(path);
    for (int n = 1; n <= 100; ++n) {
        QString candidate = path + QStringLiteral(".unreadable-") + stamp;
        if (n > 1) {
            candidate += QLatin1Char('-') + QString::number(n);
        }
        const QByteArray to = QFile::encodeName(candidate);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
            return candidate;
        }
        if (errno == EINVAL) {
            // A file system that cannot be asked not to replace: the name is looked at first.
            struct stat taken {};
            if (::lstat(to.constData(), &taken) == 0) {
                continue;
            }
            if (::rename(from.constData(), to.constData()) == 0) {
                return candidate;
            }
        }
        if (errno == EEXIST) {
            continue;
        }
        return {};
    }
    return {};
}

void flushShared();

} // namespace

QVariantMap& Snapshot::map(SnapshotKind kind) {
    switch (kind) {
    case SnapshotKind::Timers:
        return timers;
    case SnapshotKind::Filters:
        return filters;
    case SnapshotKind::Bookings:
        return bookings;
    case SnapshotKind::Claims:
        return claims;
    case SnapshotKind::StarredProjects:
        break;
    }
    return starredProjects;
}

const QVariantMap& Snapshot::map(SnapshotKind kind) const {
    return const_cast<Snapshot*>(this)->map(kind);
}

QString SnapshotManager::defaultFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/Velmora.plist");
}

namespace {
std::atomic<SnapshotManager*> sharedMade{nullptr};
} // namespace

SnapshotManager& SnapshotManager::shared() {
    // Kept for the whole run; what is still pending is written when the application
    // object goes away.
    static SnapshotManager* instance = [] {
        auto* manager = new SnapshotManager(defaultFilePath());
        qAddPostRoutine(flushShared);
        sharedMade = manager;
        return manager;
    }();
    return *instance;
}

std::optional<QString> SnapshotManager::flushSharedIfMade(std::chrono::milliseconds within) {
    SnapshotManager* manager = sharedMade.load();
    return manager ? manager->flush(within) : std::nullopt;
}

namespace {
void flushShared() {
    SnapshotManager::shared().flush();
}
} // namespace

SnapshotManager::SnapshotManager(const QString& filePath)
    : m_filePath(filePath), m_writer([this] { writerLoop(); }) {}

SnapshotManager::~SnapshotManager() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();
}

void SnapshotManager::ensureLoaded() {
    // Called with m_mutex held.
    if (m_loaded) {
        return;
    }
    m_loaded = true;
    // What a killed write left next to the file is of no use: the file itself is
    // either the old or the new snapshot, never a half of one.
    const int removed =
        PropertyList::removeLeftoverTemporaries(m_filePath) + AtomicFile::removeLeftovers(previousFilePath());
    if (removed > 0) {
        logSnapshotError(QStringLiteral("Removed %1 unfinished snapshot write(s) next to %2")
                             .arg(removed)
                             .arg(m_filePath));
    }
    auto read = PropertyList::readFile(m_filePath);
    if (read.ok()) {
        if (auto snapshot = snapshotFromFile(read.value())) {
            m_snapshot = std::move(*snapshot);
            m_fileIsGood = true;
            return;
        }
        recoverFrom(problemOf(PropertyListError{PropertyListError::Kind::Malformed,
                                                QStringLiteral("it does not hold the three snapshot maps")}),
                    read.value());
        return;
    }
    if (read.error().kind == PropertyListError::Kind::NotFound) {
        return;
    }
    recoverFrom(problemOf(read.error()), std::nullopt);
}

void SnapshotManager::recoverFrom(LoadProblem problem, const std::optional<QVariant>& root) {
    // Called with m_mutex held.
    const QString& reason = problem.reason;
    // What of the damaged file reads: its timers and bookings are named to the user.
    const Snapshot readable = root ? salvage(*root, problem.partlyRead) : Snapshot{};
    problem.readable = {readable.timers, readable.bookings, readable.claims};
    problem.keptAt = moveAside(m_filePath);
    if (!problem.keptAt.isEmpty()) {
        logSnapshotError(QStringLiteral("The snapshot file could not be read (%1); it was moved to %2")
                             .arg(reason, problem.keptAt));
    } else {
        // Better to keep nothing of this run than to overwrite what the user had.
        m_writesBlocked = true;
        logSnapshotError(QStringLiteral("The snapshot file could not be read (%1) nor moved aside; "
                                        "snapshots will not be saved")
                             .arg(reason));
    }
    // The file as it was before its last write, where that reads; else what of the damaged
    // one still reads.
    auto previous = PropertyList::readFile(previousFilePath());
    std::optional<Snapshot> fallback = previous.ok() ? snapshotFromFile(previous.value()) : std::nullopt;
    if (fallback) {
        m_snapshot = std::move(*fallback);
        problem.previousFrom = QFileInfo(previousFilePath()).lastModified();
        logSnapshotError(QStringLiteral("Went back to the snapshot file written before, %1").arg(previousFilePath()));
    } else {
        if (previous.ok() || previous.error().kind != PropertyListError::Kind::NotFound) {
            // Kept as the damaged file is: the next write would put a copy of its own there.
            problem.previousUnreadable = true;
            problem.previousKeptAt = moveAside(previousFilePath());
            logSnapshotError(
                QStringLiteral("The snapshot file written before could not be read either (%1)%2")
                    .arg(previous.ok() ? QStringLiteral("it does not hold the snapshot maps")
                                       : previous.error().description(),
                         problem.previousKeptAt.isEmpty()
                             ? QString()
                             : QStringLiteral("; it was moved to ") + problem.previousKeptAt));
        }
        if (root) {
            m_snapshot = readable;
        }
    }
    m_loadProblem = std::move(problem);
}

std::optional<SnapshotManager::LoadProblem> SnapshotManager::loadProblem() {
    std::lock_guard lock(m_mutex);
    ensureLoaded();
    return m_loadProblem;
}

Snapshot SnapshotManager::load() {
    std::lock_guard lock(m_mutex);
    ensureLoaded();
    return m_snapshot;
}

std::optional<QVariant> SnapshotManager::value(SnapshotKind kind, const QString& key) {
    std::lock_guard lock(m_mutex);
    ensureLoaded();
    const auto& map = m_snapshot.map(kind);
    const auto it = map.constFind(key);
    if (it == map.constEnd()) {
        return std::nullopt;
    }
    return it.value();
}

void SnapshotManager::save(SnapshotKind kind, const QString& key, const QVariant& value) {
    if (!encodable(value)) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        ensureLoaded();
        m_snapshot.map(kind).insert(key, value);
        changed();
    }
    m_wake.notify_all();
}

void SnapshotManager::remove(SnapshotKind kind, const QString& key) {
    {
        std::lock_guard lock(m_mutex);
        ensureLoaded();
        m_snapshot.map(kind).remove(key);
        changed();
    }
    m_wake.notify_all();
}

std::optional<std::uint64_t> SnapshotManager::apply(const std::vector<Change>& changes) {
    for (const Change& change : changes) {
        if (change.value && !encodable(*change.value)) {
            return std::nullopt;
        }
    }
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_mutex);
        ensureLoaded();
        for (const Change& change : changes) {
            if (change.value) {
                m_snapshot.map(change.kind).insert(change.key, *change.value);
            } else {
                m_snapshot.map(change.kind).remove(change.key);
            }
        }
        changed();
        generation = m_generation;
    }
    m_wake.notify_all();
    return generation;
}

void SnapshotManager::whenWritten(std::uint64_t generation,
                                  std::function<void(const std::optional<QString>&)> done) {
    std::unique_lock lock(m_mutex);
    if (m_writtenGeneration >= generation) {
        // The write that took it failed, and so did every one since, or one since has it on
        // the disk: the last write's word holds only in the first case.
        const std::optional<QString> failure =
            m_storedGeneration >= generation ? std::nullopt : m_lastWriteFailure;
        lock.unlock();
        done(failure);
        return;
    }
    m_waiters.push_back(Waiter{generation, std::move(done)});
}

void SnapshotManager::setChangeObserver(std::function<void(const Snapshot&)> observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void SnapshotManager::changed() {
    ++m_generation;
    if (m_observer) {
        m_observer(m_snapshot);
    }
}

void SnapshotManager::save(const Snapshot& snapshot) {
    if (!encodable(snapshotToFile(snapshot))) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        // Loading first moves an unreadable file aside instead of writing over it.
        ensureLoaded();
        m_snapshot = snapshot;
        changed();
    }
    m_wake.notify_all();
}

std::optional<QString> SnapshotManager::flush() {
    std::unique_lock lock(m_mutex);
    const auto target = m_generation;
    m_done.wait(lock, [&] { return m_writtenGeneration >= target; });
    // On the disk once a write that took them (or a later one that took them too) succeeded.
    return m_storedGeneration >= target ? std::nullopt : m_lastWriteFailure;
}

std::optional<QString> SnapshotManager::flush(std::chrono::milliseconds within) {
    std::unique_lock lock(m_mutex);
    const auto target = m_generation;
    if (!m_done.wait_for(lock, within, [&] { return m_writtenGeneration >= target; })) {
        return QStringLiteral("the disk did not take the changes within %1 s").arg(within.count() / 1000.0);
    }
    return m_storedGeneration >= target ? std::nullopt : m_lastWriteFailure;
}

std::uint64_t SnapshotManager::changesMade() {
    std::lock_guard lock(m_mutex);
    return m_generation;
}

std::optional<std::chrono::milliseconds> SnapshotManager::writingFor() {
    std::lock_guard lock(m_mutex);
    if (!m_writeBegan) {
        return std::nullopt;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 *m_writeBegan);
}

std::optional<QString> SnapshotManager::writeOut(Snapshot snapshot, bool blocked, bool keepPrevious) {
    // Without the lock: the callers on the main thread never wait for the disk. The copy
    // goes with this call, so whatever of it is the last reference is let go unlocked too.
    std::optional<QString> failure;
    if (blocked) {
        failure = QStringLiteral("the unreadable file at %1 is kept as it is").arg(m_filePath);
    } else {
        if (keepPrevious) {
            // The file this write replaces stays beside it: should the new one be damaged
            // later, the app goes back to it rather than to nothing.
            if (auto kept = AtomicFile::keepCopy(m_filePath, previousFilePath()); !kept.ok()) {
                logSnapshotError(QStringLiteral("The snapshot before this write could not be kept: ") +
                                 kept.error());
            }
        }
        if (auto written = PropertyList::writeFile(m_filePath, snapshotToFile(snapshot)); !written.ok()) {
            failure = written.error().description();
        }
    }
    if (failure) {
        logSnapshotError(QStringLiteral("An error occurred while saving snapshot: ") + *failure);
    }
    return failure;
}

void SnapshotManager::writerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stopping || m_writtenGeneration < m_generation; });
        if (m_writtenGeneration < m_generation) {
            // Always the newest snapshot: changes made while a write is under way are
            // picked up by the next round, never overtaken by older content. Under the lock
            // only what takes no time: a shared copy, and the bookkeeping after the write.
            const auto generation = m_generation;
            Snapshot snapshot = m_snapshot;
            const bool blocked = m_writesBlocked;
            const bool keepPrevious = m_fileIsGood;
            m_writeBegan = std::chrono::steady_clock::now();
            lock.unlock();
            const std::optional<QString> failure = writeOut(std::move(snapshot), blocked, keepPrevious);
            std::vector<Waiter> ended;
            lock.lock();
            m_writeBegan.reset();
            if (!failure) {
                m_fileIsGood = true;
                m_storedGeneration = generation;
            }
            m_lastWriteFailure = failure;
            m_writtenGeneration = generation;
            for (auto it = m_waiters.begin(); it != m_waiters.end();) {
                if (it->generation <= generation) {
                    ended.push_back(std::move(*it));
                    it = m_waiters.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            for (Waiter& waiter : ended) {
                waiter.done(failure);
            }
            ended.clear();
            lock.lock();
            m_done.notify_all();
            continue;
        }
        if (m_stopping) {
            return;
        }
    }
}

} // namespace velmora
