#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora {

// The maps of the snapshot file, each keyed by text chosen by its users. "bookings"
// and "claims" came later: a file without them reads as one with none.
enum class SnapshotKind { Timers, Filters, StarredProjects, Bookings, Claims };

// The whole content of the snapshot file: one map per kind, entries in property-list
// form (see PropertyList).
struct Snapshot {
    QVariantMap timers;
    QVariantMap filters;
    QVariantMap starredProjects;
    QVariantMap bookings;
    QVariantMap claims;

    QVariantMap& map(SnapshotKind kind);
    const QVariantMap& map(SnapshotKind kind) const;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// A value kept in the snapshot: it names its map and converts itself to and from a
// property-list value. A stored entry that does not convert reads as absent.
//
//     struct FilterSnapshot {
//         static constexpr SnapshotKind snapshotKind = SnapshotKind::Filters;
//         QVariant toSnapshot() const;
//         static std::optional<FilterSnapshot> fromSnapshot(const QVariant&);
//     };
template <typename T>
concept Snapshotable = requires(const T& value, const QVariant& stored) {
    { T::snapshotKind } -> std::convertible_to<SnapshotKind>;
    { value.toSnapshot() } -> std::convertible_to<QVariant>;
    { T::fromSnapshot(stored) } -> std::same_as<std::optional<T>>;
};

// Keeps the small state that outlives a run (timers, task filters, starred projects)
// in one property-list file.
//
// There is one snapshot in memory, read from the file on first use; every change is
// applied to it in the order the calls come and the whole snapshot is then written by
// a writer thread of its own, atomically. Writes are coalesced: the writer always takes
// the newest snapshot, so a later write never brings back content that an earlier
// change replaced, and reads see changes whose write is still pending.
//
// Each write keeps the file it replaces beside it ("Velmora.plist.previous"). A file that
// is there but cannot be read or has the wrong shape is moved aside (next to it, with a
// time stamp) and logged; it is never overwritten. The store then goes on with the kept
// previous file where that reads, else with whatever maps of the damaged file read, and
// says so through `loadProblem` for the app to tell the user. If the damaged file cannot
// be moved aside, nothing is written at all for the rest of the run.
//
// Used from the main thread; the writing happens on the writer thread.
class SnapshotManager {
public:
    // What the first read found wrong with the file, for the user.
    struct LoadProblem {
        // What kept the file from being read: something at its path that is no file (a pipe,
        // a device, a folder, a link to one or to nothing), a file far larger than any this
        // store writes, one the system would not let be read, or one whose content is not a
        // snapshot (damaged, cut short, another program's).
        enum class Cause { NotAFile, TooLarge, Unreadable, Damaged };
        Cause cause = Cause::Damaged;
        // Why, in the words of the log.
        QString reason;
        // The system's own words, where the system refused (`Unreadable`).
        QString systemError;
        // Where the damaged file is kept now (empty: it could not be moved, and nothing is
        // written this run).
        QString keptAt;
        // When the previous file the store went back to was written; absent when there was
        // none that read.
        std::optional<QDateTime> previousFrom;
        // The previous file was there but did not read either; where it is kept now (empty:
        // it could not be moved, and stays where it was).
        bool previousUnreadable = false;
        QString previousKeptAt;
        // Whether any map of the damaged file read (none where it is no property list).
        bool partlyRead = false;
        // The maps of the damaged file that read.
        struct Readable {
            QVariantMap timers;
            QVariantMap bookings;
            QVariantMap claims;
        } readable;
    };

    // "Velmora.plist" in the application data folder (created on the first write).
    static SnapshotManager& shared();
    static QString defaultFilePath();

    explicit SnapshotManager(const QString& filePath);
    // Writes what is still pending before it goes.
    ~SnapshotManager();
    SnapshotManager(const SnapshotManager&) = delete;
    SnapshotManager& operator=(const SnapshotManager&) = delete;

    QString filePath() const { return m_filePath; }
    // The copy of the file before the last write.
    QString previousFilePath() const { return m_filePath + QStringLiteral(".previous"); }

    // The current snapshot (with every change made so far, written or not).
    Snapshot load();

    std::optional<QVariant> value(SnapshotKind kind, const QString& key);
    // A value (or snapshot) with no property-list form is refused and logged; it
    // changes nothing.
    void save(SnapshotKind kind, const QString& key, const QVariant& value);
    // Writes the file also when the key was not there.
    void remove(SnapshotKind kind, const QString& key);
    // Replaces the whole snapshot.
    void save(const Snapshot& snapshot);

    // One entry of a change of several: a value to save under `key`, or none to remove it.
    struct Change {
        SnapshotKind kind;
        QString key;
        std::optional<QVariant> value;
    };
    // Applies `changes` together: no write, and so no file a crash leaves, ever holds
    // some of them without the others. Refused whole (and logged) when a value has no
    // property-list form: then absent. Otherwise the change's number, for `whenWritten`.
    std::optional<std::uint64_t> apply(const std::vector<Change>& changes);

    // Calls `done` once the write that holds change `generation` has ended, with why it did
    // not reach the disk (absent: it did). It is called on the writer thread (or at once,
    // inside this call, when that write has ended already: absent when a write since has put
    // the change on the disk), with no lock held.
    void whenWritten(std::uint64_t generation, std::function<void(const std::optional<QString>&)> done);

    // What was wrong with the file when it was first read; absent when it read (or was not there).
    std::optional<LoadProblem> loadProblem();

    // Called (under the store's lock: it must not call back) with every state of the
    // snapshot that a write may put on disk, as each change makes it: tests see what a
    // crash at any moment can leave.
    void setChangeObserver(std::function<void(const Snapshot&)> observer);

    template <Snapshotable T> std::optional<T> value(const QString& key) {
        const auto stored = value(T::snapshotKind, key);
        if (!stored) {
            return std::nullopt;
        }
        return T::fromSnapshot(*stored);
    }
    template <Snapshotable T> void save(const T& value, const QString& key) {
        save(T::snapshotKind, key, value.toSnapshot());
    }
    template <Snapshotable T> void remove(const QString& key) { remove(T::snapshotKind, key); }

    // Blocks until every change made so far has been written (or has failed). Absent
    // when it is on disk; otherwise why it is not (the write failed, or writes are held
    // back for an unreadable file), for a caller that must not go on without it.
    std::optional<QString> flush();
    // The same, giving up after `within` (then: not in time).
    std::optional<QString> flush(std::chrono::milliseconds within);
    // How many changes were made so far: `whenWritten(changesMade(), ...)` hears of them all.
    std::uint64_t changesMade();
    // How long the write under way has taken so far; absent when none is.
    std::optional<std::chrono::milliseconds> writingFor();

    // `flush(within)` of the shared store, where it was made; for a process that must end
    // without its main thread. Absent when there was nothing to write.
    static std::optional<QString> flushSharedIfMade(std::chrono::milliseconds within);

private:
    void ensureLoaded();
    // The file could not be read: it goes aside and the store goes on with the previous
    // file, or with what of it reads (`root`, where it is a property list).
    void recoverFrom(LoadProblem problem, const std::optional<QVariant>& root);
    void enqueueWrite();
    // After a change, with m_mutex held.
    void changed();
    void writerLoop();
    // One write of `snapshot`, on the writer thread without the lock; why it failed, if it did.
    std::optional<QString> writeOut(Snapshot snapshot, bool blocked, bool keepPrevious);

    const QString m_filePath;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    bool m_loaded = false;
    bool m_writesBlocked = false;
    bool m_stopping = false;
    Snapshot m_snapshot;
    std::uint64_t m_generation = 0;        // changes made
    std::uint64_t m_writtenGeneration = 0; // changes handled by the writer
    std::uint64_t m_storedGeneration = 0;  // changes on the disk
    // When the write under way began.
    std::optional<std::chrono::steady_clock::time_point> m_writeBegan;
    // Why the last write handled did not reach the disk; absent when it did.
    std::optional<QString> m_lastWriteFailure;
    std::function<void(const Snapshot&)> m_observer;
    std::optional<LoadProblem> m_loadProblem;
    // The file at the path is one this store read or wrote whole: a write keeps it as the
    // previous one.
    bool m_fileIsGood = false;
    struct Waiter {
        std::uint64_t generation;
        std::function<void(const std::optional<QString>&)> done;
    };
    std::vector<Waiter> m_waiters;
    std::thread m_writer;
};

} // namespace velmora
