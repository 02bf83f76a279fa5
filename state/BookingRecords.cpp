#include "state/BookingRecords.h"

#include "core/model/Logger.h"
#include "core/model/NotificationNames.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingClaimsJournal.h"
#include "state/TimerViewModel.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <future>
#include <numeric>
#include <initializer_list>
#include <limits>
#include <utility>

namespace velmora {

namespace {

QString keyOf(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces);
}

void logRecordsError(const QString& text) {
    logError(Logger::dataManager(), QStringLiteral("[BookingRecords] ") + text);
}

QString looksKey(const QString& taskId, qint64 minutes) {
    return taskId + QLatin1Char('\n') + QString::number(minutes);
}

// Whether the tracker's names agree: a record or claim that does not say matches any.
bool sameTrackerName(const QString& one, const QString& other) {
    return one.isEmpty() || other.isEmpty() || one == other;
}

// Whether a claim and a record are of one account: a record of no account (its account went,
// the time kept) may be of the claim's.
bool sameAccount(const QString& claim, const QString& record) {
    return claim.isEmpty() || record.isEmpty() || claim == record;
}

// Both callbacks, in turn.
BookingRecords::Written bothWritten(BookingRecords::Written first, BookingRecords::Written second) {
    return [first = std::move(first), second = std::move(second)](const std::optional<QString>& failure) {
        if (first) {
            first(failure);
        }
        if (second) {
            second(failure);
        }
    };
}

// What is left of a record's arrival window when the boot clock cannot tell (another boot, or a
// record of an earlier version), read off the wall clock: a departure the wall clock puts in the
// future means the clock was moved, and the whole window is waited.
void windowFromWallClock(BookingRecord& record, const BootTime& boot, const QDateTime& wall) {
    const qint64 window = BookingRecords::arrivalWindow * 1000;
    qint64 left = 0;
    if (record.booking.sent) {
        const qint64 passed = record.booking.sent->msecsTo(wall);
        left = passed < 0 ? window : std::max<qint64>(0, window - passed);
    }
    record.windowEnd = BootTime{boot.boot, boot.msecs + left};
    record.windowEndWall = wall.addMSecs(left);
}

// A record leaving with `booking` from now on: a new window, and nothing of what an earlier
// departure learnt.
void leaveNow(BookingRecord& record, const BootTime& boot, const QDateTime& wall) {
    record.state = BookingRecord::State::leaving;
    if (!record.booking.sent) {
        record.booking.sent = wall;
    }
    record.left = boot;
    record.windowEnd = BootTime{boot.boot, boot.msecs + BookingRecords::arrivalWindow * 1000};
    record.windowEndWall = wall.addSecs(BookingRecords::arrivalWindow);
    record.ending.reset();
    record.entryId.reset();
    record.savedLater = false;
    record.question.reset();
    record.rival.reset();
    record.damaged = false;
    record.unseen.reset();
    record.answerOfAnother.reset();
    record.stoppedWhileLeaving = false;
    record.lookUp = BookingRecord::LookUp::none;
    record.lookUpError.reset();
    record.lookUpFailures = 0;
    record.lookedUpAt.reset();
    record.nextLookUpWall.reset();
}

// Once a save is on disk, what shows the task's booked time reads it again (after the sheet
// that waited for it has closed).
BookingRecords::Written tellSaved(const std::optional<Project>& project) {
    return [project](const std::optional<QString>& failure) {
        if (!failure && project) {
            NotificationCenter::defaultCenter().post(QString(NotificationName::timeEntrySaved), *project);
        }
    };
}

} // namespace

BookingRecords::BookingRecords(StateEnvironment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)) {
    load();
}

BookingRecords::~BookingRecords() {
    // Whatever was asked for reaches the disk before the records go.
    settle();
}

bool BookingRecords::accountExists(const QString& account) const {
    return !account.isEmpty() && (!m_environment.accountExists || m_environment.accountExists(account));
}

void BookingRecords::load() {
    SnapshotManager& snapshots = m_environment.snapshotManager();
    const Snapshot snapshot = snapshots.load();
    const BootTime boot = m_environment.bootClock->now();
    const QDateTime wall = m_environment.currentTime();
    std::vector<SnapshotManager::Change> changes;
    std::vector<BookingRecord> loaded;
    // Asked once per account, however many of its records there are.
    QHash<QString, bool> accounts;
    const auto exists = [this, &accounts](const QString& account) {
        const auto known = accounts.constFind(account);
        return known != accounts.constEnd() ? *known : *accounts.insert(account, accountExists(account));
    };
    // Settled records hold nothing and go at a start: read no further, and never let them
    // crowd out a record that holds time. Of those that hold time, the bound reads the open ones
    // first (their look-ups and windows run now); the rest stay in the file, unread, for a
    // later start.
    std::vector<QVariantMap::const_iterator> open;
    std::vector<QVariantMap::const_iterator> waiting;
    for (auto it = snapshot.bookings.constBegin(); it != snapshot.bookings.constEnd(); ++it) {
        if (BookingRecord::storedAsSettled(it.value())) {
            changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
        } else {
            (BookingRecord::storedAsOpen(it.value()) ? open : waiting).push_back(it);
        }
    }
    open.insert(open.end(), waiting.begin(), waiting.end());
    if (open.size() > static_cast<std::size_t>(recordsRead)) {
        m_recordsSetAside = static_cast<int>(open.size()) - recordsRead;
        open.resize(recordsRead);
        logRecordsError(QStringLiteral("More booking records that hold time than are read at a start: %1 "
                                       "stay in the file for a later start")
                            .arg(m_recordsSetAside));
    }
    for (const auto& it : open) {
        auto decoded = BookingRecord::decode(it.value());
        std::optional<BookingRecord> read;
        if (decoded.ok() && keyOf(decoded.value().id) == it.key()) {
            read = std::move(decoded).value();
        } else {
            logRecordsError(QStringLiteral("A booking record could not be read whole; what of it reads waits "
                                           "for the user: ") +
                            (decoded.ok() ? QStringLiteral("its key is not its id") : decoded.error()));
            read = BookingRecord::salvage(it.value(), it.key());
            if (!read) {
                changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
                continue;
            }
            if (keyOf(read->id) != it.key()) {
                changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
            }
        }
        // Settled ones went above, and what is salvaged is marked damaged: a record here is
        // kept, whatever its state.
        BookingRecord record = std::move(*read);
        // Only what a start changes is written again.
        bool changed = record.damaged;
        if (record.state == BookingRecord::State::leaving) {
            // That run ended before the tracker's answer came.
            record.state = BookingRecord::State::unknown;
            record.stoppedWhileLeaving = true;
            changed = true;
        }
        if (!record.windowEnd.sameBoot(boot)) {
            // Another boot: the boot clock's moments say nothing here; what is left of the
            // window is read off the wall clock, unless that went back.
            windowFromWallClock(record, boot, wall);
            changed = true;
        }
        if (!record.account.isEmpty() && !exists(record.account)) {
            // Its account was deleted meanwhile: nothing can be asked of it, and no window
            // would show its timer. Every window shows the record instead.
            record.account.clear();
            record.source = BookingRecord::Source::manual;
            changed = true;
        }
        if (record.account.isEmpty() && (record.isOpen() || record.state == BookingRecord::State::asked)) {
            // Of no account, nothing can be asked of the tracker: the user decides.
            record.state = BookingRecord::State::returned;
            record.ending = BookingRecord::Ending::accountGone;
            record.question.reset();
            record.rival.reset();
            changed = true;
        }
        if (changed) {
            changes.push_back({SnapshotKind::Bookings, keyOf(record.id), record.toSnapshot()});
        }
        loaded.push_back(std::move(record));
    }
    // Bookings the timers of earlier versions kept, with the time still on the timer: the
    // record takes the seconds over, in the same write.
    for (auto it = snapshot.timers.constBegin(); it != snapshot.timers.constEnd(); ++it) {
        auto timer = TimerSnapshot::fromSnapshot(it.value());
        if (!timer || !timer->booking) {
            continue;
        }
        BookingRecord record;
        record.id = QUuid::createUuid();
        record.account = it.key();
        record.booking = *timer->booking;
        record.source = BookingRecord::Source::timer;
        record.state = BookingRecord::State::unknown;
        record.stoppedWhileLeaving = true;
        if (timer->task && timer->task->id == record.booking.taskId) {
            record.task = *timer->task;
            record.project = timer->project;
        } else {
            record.task.id = record.booking.taskId;
        }
        windowFromWallClock(record, boot, wall);
        TimerSnapshot rest = *timer;
        rest.booking.reset();
        if (rest.task && rest.task->id == record.booking.taskId) {
            rest = rest.withoutSeconds(static_cast<double>(record.booking.seconds), wall);
        }
        changes.push_back({SnapshotKind::Bookings, keyOf(record.id), record.toSnapshot()});
        changes.push_back({SnapshotKind::Timers, it.key(),
                           rest.isIdle() ? std::nullopt : std::optional<QVariant>(rest.toSnapshot())});
        loaded.push_back(std::move(record));
    }
    std::stable_sort(loaded.begin(), loaded.end(), [](const BookingRecord& a, const BookingRecord& b) {
        return a.booking.sent.value_or(a.booking.started) < b.booking.sent.value_or(b.booking.started);
    });
    for (BookingRecord& record : loaded) {
        m_records.push_back(std::move(record));
        m_byId.insert(m_records.back().id, std::prev(m_records.end()));
        index(m_records.back());
    }
    // The claims: every one that reads (what of it reads, where not whole), those past the bound
    // left on disk unread; then those no booking can meet any more go. They live in their journal;
    // an earlier version kept them in the snapshot file, whence they move into it.
    // The last moment known of each boot (a claim made or a booking that left then).
    QHash<QByteArray, qint64> lastSeen;
    const auto seen = [&lastSeen](const BootTime& at) {
        if (!at.boot.isEmpty()) {
            qint64& last = lastSeen[at.boot];
            last = std::max(last, at.msecs);
        }
    };
    for (const BookingRecord& record : m_records) {
        seen(record.left);
    }
    const QString journalPath = BookingClaimsJournal::pathFor(snapshots.filePath());
    BookingClaimsJournal::Read journal = BookingClaimsJournal::read(journalPath);
    // Anything read differently from how it is stored has the journal written anew.
    bool rewrite = journal.unreadable > 0 || !snapshot.claims.isEmpty() ||
                   journal.endedLines > std::max<qsizetype>(100, static_cast<qsizetype>(journal.claims.size()));
    for (auto it = snapshot.claims.constBegin(); it != snapshot.claims.constEnd(); ++it) {
        journal.claims.emplace_back(it.key(), it.value());
        changes.push_back({SnapshotKind::Claims, it.key(), std::nullopt});
    }
    std::vector<BookingClaim> read;
    for (const auto& [key, value] : journal.claims) {
        auto claim = BookingClaim::fromSnapshot(key, value);
        if (!claim || keyOf(claim->record) != key) {
            // What of it reads still guards its entry; without the entry, its task's look-alikes
            // are asked about instead of taken.
            claim = BookingClaim::salvage(key, value);
            logRecordsError(QStringLiteral("A claim on an entry could not be read whole; what of it is kept"));
            if (!claim) {
                // Kept under no record's id: nothing of it reads.
                ++journal.unreadable;
                continue;
            }
            rewrite = true;
        }
        seen(claim->since);
        read.push_back(std::move(*claim));
    }
    for (int i = 0; i < journal.unreadable; ++i) {
        // A line of which nothing reads: a claim of any task, on any entry, for its days.
        logRecordsError(QStringLiteral("A claim on an entry did not read at all; every look-alike is asked "
                                       "about for its days"));
        BookingClaim unknown;
        unknown.record = QUuid::createUuid();
        unknown.seconds = -1;
        unknown.damaged = true;
        unknown.since = boot;
        read.push_back(std::move(unknown));
    }
    for (BookingClaim& claim : read) {
        if (!claim.since.sameBoot(boot)) {
            // Kept since another boot: it aged at least until the last moment known of that
            // boot, and through all of this one (the boot clock counts from the boot's start).
            claim.agedBefore += std::max<qint64>(0, lastSeen.value(claim.since.boot) - claim.since.msecs);
            claim.since = BootTime{boot.boot, 0};
            rewrite = true;
        }
    }
    std::vector<BookingClaim> setAside;
    if (read.size() > static_cast<std::size_t>(claimsRead)) {
        // Those an open booking could meet first, then the youngest; the rest stay on disk for a
        // later start, and meanwhile their tasks' look-alikes are asked about.
        std::vector<std::pair<bool, qint64>> rank;
        rank.reserve(read.size());
        for (const BookingClaim& claim : read) {
            rank.emplace_back(!claimMet(claim, {}), claim.age(boot));
        }
        std::vector<std::size_t> order(read.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&rank](std::size_t a, std::size_t b) { return rank[a] < rank[b]; });
        std::vector<BookingClaim> kept;
        kept.reserve(claimsRead);
        for (std::size_t i = 0; i < order.size(); ++i) {
            BookingClaim& claim = read[order[i]];
            if (i < static_cast<std::size_t>(claimsRead)) {
                kept.push_back(std::move(claim));
            } else {
                askOn(claim);
                setAside.push_back(std::move(claim));
            }
        }
        m_claimsSetAside = static_cast<int>(setAside.size());
        read = std::move(kept);
        logRecordsError(QStringLiteral("More claims on entries than are read at a start: %1 stay on disk "
                                       "for a later start")
                            .arg(m_claimsSetAside));
    }
    for (BookingClaim& claim : read) {
        if (claim.entryId.isEmpty()) {
            askOn(claim);
        }
        m_claimsByEntry.insert(claim.entryId, claim.record);
        m_claims.insert(claim.record, std::move(claim));
    }
    for (const QUuid& gone : claimsUnneeded({})) {
        const BookingClaim claim = m_claims.take(gone);
        m_claimsByEntry.remove(claim.entryId, gone);
        rewrite = true;
    }
    if (rewrite) {
        QByteArray lines;
        for (const BookingClaim& claim : m_claims) {
            lines += BookingClaimsJournal::lineOf(claim);
        }
        for (const BookingClaim& claim : setAside) {
            lines += BookingClaimsJournal::lineOf(claim);
        }
        if (const auto failure = BookingClaimsJournal::rewrite(journalPath, lines)) {
            // The claims stay where they were read from: the snapshot file keeps its own.
            logRecordsError(QStringLiteral("The claims on entries could not be written: ") + *failure);
            std::erase_if(changes, [](const SnapshotManager::Change& change) {
                return change.kind == SnapshotKind::Claims;
            });
        }
    }
    // What a start settles is written in the background: the file as it was reads the same
    // way again, should this write not get there.
    if (!changes.empty()) {
        snapshots.apply(changes);
    }
}

std::optional<BookingRecord> BookingRecords::record(const QUuid& id) const {
    if (const BookingRecord* kept = peek(id)) {
        return *kept;
    }
    return std::nullopt;
}

const BookingRecord* BookingRecords::peek(const QUuid& id) const {
    const auto found = m_byId.constFind(id);
    return found == m_byId.constEnd() ? nullptr : &**found;
}

BookingRecord* BookingRecords::find(const QUuid& id) {
    const auto found = m_byId.constFind(id);
    return found == m_byId.constEnd() ? nullptr : &**found;
}

std::vector<BookingRecord> BookingRecords::records(const QString& account) const {
    std::vector<BookingRecord> found;
    for (const BookingRecord& record : m_records) {
        if (shownFor(record, account)) {
            found.push_back(record);
        }
    }
    return found;
}

qint64 BookingRecords::minutesOf(double seconds) {
    // Beyond what any tracker books: no minutes that a booking could share.
    if (!std::isfinite(seconds) || std::abs(seconds) >= 1e12) {
        return -1;
    }
    return std::llround(seconds / 60.0);
}

std::vector<const BookingRecord*> BookingRecords::lookAlikes(const QString& taskId, qint64 minutes) const {
    std::vector<const BookingRecord*> found;
    const auto group = m_byLooks.constFind(looksKey(taskId, minutes));
    if (group != m_byLooks.constEnd()) {
        for (const QUuid& id : *group) {
            if (const BookingRecord* record = peek(id)) {
                found.push_back(record);
            }
        }
    }
    return found;
}

void BookingRecords::index(const BookingRecord& record) {
    m_byLooks[looksKey(record.booking.taskId, minutesOf(static_cast<double>(record.booking.seconds)))]
        .push_back(record.id);
    if (record.isOpen() && !record.account.isEmpty()) {
        ++m_openPerAccount[record.account];
    }
}

void BookingRecords::unindex(const BookingRecord& record) {
    const QString key =
        looksKey(record.booking.taskId, minutesOf(static_cast<double>(record.booking.seconds)));
    if (auto group = m_byLooks.find(key); group != m_byLooks.end()) {
        std::erase(*group, record.id);
        if (group->empty()) {
            m_byLooks.erase(group);
        }
    }
    if (record.isOpen() && !record.account.isEmpty()) {
        if (auto open = m_openPerAccount.find(record.account);
            open != m_openPerAccount.end() && --*open <= 0) {
            m_openPerAccount.erase(open);
        }
    }
}

BookingClaim BookingRecords::claimOf(const BookingRecord& saved) const {
    return BookingClaim{saved.id,
                        saved.tracker,
                        saved.account,
                        saved.entryId.value_or(QString()),
                        saved.booking.taskId,
                        saved.booking.started,
                        saved.booking.seconds,
                        0,
                        m_environment.bootClock->now(),
                        false};
}

const BookingClaim* BookingRecords::claimOn(const BookingRecord& record, const QString& entryId) const {
    for (auto it = m_claimsByEntry.constFind(entryId);
         it != m_claimsByEntry.constEnd() && it.key() == entryId; ++it) {
        const auto claim = m_claims.constFind(it.value());
        if (claim == m_claims.constEnd() || claim->record == record.id ||
            (!claim->taskId.isEmpty() && claim->taskId != record.booking.taskId) ||
            !sameTrackerName(claim->tracker, record.tracker) ||
            !sameAccount(claim->account, record.account)) {
            continue;
        }
        return &*claim;
    }
    return nullptr;
}

void BookingRecords::askOn(const BookingClaim& claim) {
    m_askOnTasks.insert(claim.taskId);
}

bool BookingRecords::mustAsk(const BookingRecord& record) const {
    return m_askOnTasks.contains(record.booking.taskId) || m_askOnTasks.contains(QString());
}

std::vector<BookingClaim> BookingRecords::claims() const {
    std::vector<BookingClaim> kept;
    for (const BookingClaim& claim : m_claims) {
        kept.push_back(claim);
    }
    return kept;
}

bool BookingRecords::claimMet(const BookingClaim& claim, const std::vector<BookingRecord>& changed) const {
    // An open booking of its account, task and minutes may meet it, whatever their dates say.
    const auto meets = [&claim](const BookingRecord& other) {
        return other.id != claim.record && (other.isOpen() || other.state == BookingRecord::State::asked) &&
               sameTrackerName(other.tracker, claim.tracker) && sameAccount(claim.account, other.account);
    };
    const auto changedOne = [&changed](const QUuid& id) -> const BookingRecord* {
        const auto found = std::find_if(changed.begin(), changed.end(),
                                        [&id](const BookingRecord& c) { return c.id == id; });
        return found == changed.end() ? nullptr : &*found;
    };
    const qint64 minutes = minutesOf(static_cast<double>(claim.seconds));
    for (const BookingRecord* kept : lookAlikes(claim.taskId, minutes)) {
        const BookingRecord* now = changedOne(kept->id);
        if (meets(now ? *now : *kept)) {
            return true;
        }
    }
    // Records the change makes.
    return std::any_of(changed.begin(), changed.end(), [&](const BookingRecord& made) {
        return !m_byId.contains(made.id) && made.booking.taskId == claim.taskId &&
               minutesOf(static_cast<double>(made.booking.seconds)) == minutes && meets(made);
    });
}

std::vector<QUuid> BookingRecords::claimsUnneeded(const std::vector<BookingRecord>& changed) const {
    std::vector<QUuid> unneeded;
    if (m_recordsSetAside > 0) {
        // Bookings left in the file for a later start may meet any of them.
        return unneeded;
    }
    // A booking that leaves now reads the days around now: a claim younger than that may meet
    // it. Its age is read on the boot clock, which no one sets: the wall clock, set days ahead
    // for a while, dated bookings that its look-ups may still meet. Older, it stays while an
    // open booking could meet it.
    const BootTime now = m_environment.bootClock->now();
    const qint64 kept = claimsKeptFor * 1000;
    if (now.boot == m_claimsAging.boot && now.msecs < m_claimsAging.nextAgeOut) {
        // No claim came of age since the last walk: only those past their days may go. (A
        // Save walks none of the thousands a busy week keeps.)
        for (const QUuid& id : m_claimsAging.aged) {
            const auto claim = m_claims.constFind(id);
            if (claim != m_claims.constEnd() && !claimMet(*claim, changed)) {
                unneeded.push_back(id);
            }
        }
        return unneeded;
    }
    m_claimsAging = ClaimsAging{now.boot, std::numeric_limits<qint64>::max(), {}};
    for (const BookingClaim& claim : m_claims) {
        const qint64 age = claim.age(now);
        if (age < kept) {
            m_claimsAging.nextAgeOut = std::min(m_claimsAging.nextAgeOut, now.msecs + kept - age);
            continue;
        }
        m_claimsAging.aged.push_back(claim.record);
        if (!claimMet(claim, changed)) {
            unneeded.push_back(claim.record);
        }
    }
    return unneeded;
}

std::optional<BookingRecords::Unnoted> BookingRecords::unnoted(const QUuid& id) const {
    const auto found = m_unnoted.constFind(id);
    return found == m_unnoted.constEnd() ? std::nullopt : std::optional(*found);
}

BookingRecords::Written BookingRecords::noteOnFailure(const QUuid& id, Unnoted::Kind kind) {
    QPointer<BookingRecords> self(this);
    return [self, id, kind](const std::optional<QString>& failure) {
        if (self && failure) {
            self->m_unnoted.insert(id, Unnoted{kind, *failure, self->m_environment.currentTime()});
            emit self->answerNotNoted(id);
        }
    };
}

std::vector<BookingRecord> BookingRecords::held(const QString& account) const {
    std::vector<BookingRecord> found;
    for (const BookingRecord& record : m_records) {
        if (record.account == account && record.holdsSeconds()) {
            found.push_back(record);
        }
    }
    return found;
}

qint64 BookingRecords::windowLeft(const BookingRecord& record) const {
    const BootTime now = m_environment.bootClock->now();
    if (!record.windowEnd.sameBoot(now)) {
        return 0;
    }
    return std::max<qint64>(0, record.windowEnd.msecs - now.msecs);
}

qint64 BookingRecords::sinceLeft(const BookingRecord& record) const {
    const BootTime now = m_environment.bootClock->now();
    return record.left.sameBoot(now) ? now.msecs - record.left.msecs : 0;
}

QDateTime BookingRecords::windowEndsAt(const BookingRecord& record) const {
    return m_environment.currentTime().addMSecs(windowLeft(record));
}

TimerSnapshot BookingRecords::timerOf(const QString& account) const {
    if (const auto live = m_timers.value(account)) {
        return live->snapshot();
    }
    return m_environment.snapshotManager().value<TimerSnapshot>(account).value_or(TimerSnapshot{});
}

void BookingRecords::adoptTimer(const QString& account, const TimerSnapshot& snapshot, bool startWaiting) {
    if (const auto live = m_timers.value(account)) {
        live->adopt(snapshot, startWaiting);
    }
}

void BookingRecords::enqueue(std::function<void()> step) {
    m_queue.push_back(std::move(step));
    pump();
}

void BookingRecords::pump() {
    while (!m_inFlight && !m_queue.empty()) {
        std::function<void()> step = std::move(m_queue.front());
        m_queue.pop_front();
        step();
    }
}

void BookingRecords::write(Change change) {
    // Claims that no booking can meet once this is written go with it.
    for (const QUuid& gone : claimsUnneeded(change.records)) {
        if (std::none_of(change.claims.begin(), change.claims.end(),
                         [&gone](const BookingClaim& made) { return made.record == gone; }) &&
            std::find(change.claimsGone.begin(), change.claimsGone.end(), gone) == change.claimsGone.end()) {
            change.claimsGone.push_back(gone);
        }
    }
    if (change.records.empty() && change.removed.empty() && !change.timer && change.claims.empty() &&
        change.claimsGone.empty()) {
        if (change.written) {
            change.written(std::nullopt);
        }
        return;
    }
    if (!change.claims.empty() || !change.claimsGone.empty()) {
        // The claims go to their journal first, on the disk before the records that made them
        // are: no moment on disk has a record saved without its claim.
        QByteArray lines;
        for (const BookingClaim& claim : change.claims) {
            lines += BookingClaimsJournal::lineOf(claim);
        }
        for (const QUuid& gone : change.claimsGone) {
            lines += BookingClaimsJournal::goneLine(gone);
        }
        auto append = std::make_shared<std::packaged_task<std::optional<QString>()>>(
            [path = BookingClaimsJournal::pathFor(m_environment.snapshotManager().filePath()),
             lines = std::move(lines)] { return BookingClaimsJournal::append(path, lines); });
        const quint64 serial = ++m_serials;
        m_inFlight = InFlight{serial, std::move(change), std::nullopt, {}, append->get_future().share()};
        QPointer<BookingRecords> self(this);
        QThreadPool::globalInstance()->start([append, self, serial] {
            (*append)();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, serial] {
                    if (self) {
                        self->journalEnded(serial);
                    }
                },
                Qt::QueuedConnection);
        });
        return;
    }
    writeSnapshot(std::move(change));
}

void BookingRecords::journalEnded(quint64 serial) {
    if (!m_inFlight || m_inFlight->serial != serial || !m_inFlight->journal) {
        return;
    }
    const std::optional<QString> failure = m_inFlight->journal->get();
    Change change = std::move(m_inFlight->change);
    m_inFlight.reset();
    if (failure) {
        logRecordsError(QStringLiteral("A claim on an entry could not be written: ") + *failure);
        emit writeFailed(*failure, change.askerTells);
        if (change.written) {
            change.written(failure);
        }
        pump();
        return;
    }
    writeSnapshot(std::move(change));
}

void BookingRecords::writeSnapshot(Change change) {
    SnapshotManager& snapshots = m_environment.snapshotManager();
    std::vector<SnapshotManager::Change> changes;
    std::vector<SnapshotManager::Change> undo;
    const auto remember = [&](SnapshotKind kind, const QString& key, std::optional<QVariant> value) {
        undo.push_back({kind, key, snapshots.value(kind, key)});
        changes.push_back({kind, key, std::move(value)});
    };
    for (const BookingRecord& record : change.records) {
        remember(SnapshotKind::Bookings, keyOf(record.id), record.toSnapshot());
    }
    for (const QUuid& id : change.removed) {
        remember(SnapshotKind::Bookings, keyOf(id), std::nullopt);
    }
    std::optional<std::pair<QString, TimerSnapshot>> timerBefore;
    if (change.timer && !change.timer->first.isEmpty()) {
        const QString& account = change.timer->first;
        timerBefore = std::pair(account, timerOf(account));
        remember(SnapshotKind::Timers, account,
                 change.timer->second.isIdle() ? std::nullopt
                                               : std::optional<QVariant>(change.timer->second.toSnapshot()));
    }
    if (changes.empty()) {
        // Claims alone: on disk already.
        const quint64 serial = ++m_serials;
        m_inFlight = InFlight{serial, std::move(change), std::nullopt, {}, std::nullopt};
        writeEnded(serial, std::nullopt);
        return;
    }
    const auto generation = snapshots.apply(changes);
    if (!generation) {
        const QString reason = QStringLiteral("a value of it has no stored form");
        logRecordsError(QStringLiteral("A booking record could not be written: ") + reason);
        emit writeFailed(reason, change.askerTells);
        if (change.written) {
            change.written(reason);
        }
        return;
    }
    // The live timer takes its new time at once, so that what it writes of itself meanwhile
    // (a pause, a typed time) starts from it; a task waiting for that time starts only once
    // it is on disk.
    if (timerBefore) {
        adoptTimer(change.timer->first, change.timer->second, false);
    }
    const quint64 serial = ++m_serials;
    m_inFlight = InFlight{serial, std::move(change), std::move(timerBefore), std::move(undo), std::nullopt};
    QPointer<BookingRecords> self(this);
    snapshots.whenWritten(*generation, [self, serial](const std::optional<QString>& failure) {
        // On the writer thread: the records hear of it on theirs.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, serial, failure] {
                if (self) {
                    self->writeEnded(serial, failure);
                }
            },
            Qt::QueuedConnection);
    });
}

void BookingRecords::writeEnded(quint64 serial, const std::optional<QString>& failure) {
    if (!m_inFlight || m_inFlight->serial != serial) {
        return;
    }
    InFlight ended = std::move(*m_inFlight);
    m_inFlight.reset();
    Change& change = ended.change;
    if (failure) {
        // Nothing of it happened: the store and the timer go back to what is on disk.
        m_environment.snapshotManager().apply(ended.undo);
        if (ended.timerBefore) {
            const QString& account = ended.timerBefore->first;
            if (timerOf(account) == change.timer->second) {
                adoptTimer(account, ended.timerBefore->second, false);
            } else {
                logRecordsError(
                    QStringLiteral("The timer changed while a booking record was written that could "
                                   "not be; it keeps what it has now"));
            }
        }
        logRecordsError(QStringLiteral("A booking record could not be written: ") + *failure);
        emit writeFailed(*failure, change.askerTells);
        if (change.written) {
            change.written(failure);
        }
        pump();
        return;
    }
    std::vector<QUuid> told;
    for (const BookingRecord& changed : change.records) {
        if (BookingRecord* kept = find(changed.id)) {
            unindex(*kept);
            *kept = changed;
        } else {
            m_records.push_back(changed);
            m_byId.insert(changed.id, std::prev(m_records.end()));
        }
        index(changed);
        // On disk now: what could not be noted of it is past.
        m_unnoted.remove(changed.id);
        told.push_back(changed.id);
    }
    for (const QUuid& id : change.removed) {
        if (const auto found = m_byId.constFind(id); found != m_byId.constEnd()) {
            unindex(**found);
            m_records.erase(*found);
            m_byId.remove(id);
        }
        m_unnoted.remove(id);
        told.push_back(id);
    }
    for (const QUuid& gone : change.claimsGone) {
        if (const auto claim = m_claims.constFind(gone); claim != m_claims.constEnd()) {
            m_claimsByEntry.remove(claim->entryId, gone);
            m_claims.erase(claim);
        }
    }
    for (const BookingClaim& claim : change.claims) {
        if (const auto before = m_claims.constFind(claim.record); before != m_claims.constEnd()) {
            m_claimsByEntry.remove(before->entryId, claim.record);
        }
        m_claims.insert(claim.record, claim);
        m_claimsByEntry.insert(claim.entryId, claim.record);
        // It comes of age in its days from now, maybe before any kept.
        const BootTime now = m_environment.bootClock->now();
        if (now.boot == m_claimsAging.boot) {
            m_claimsAging.nextAgeOut =
                std::min(m_claimsAging.nextAgeOut, now.msecs + claimsKeptFor * 1000 - claim.age(now));
        }
    }
    if (change.timer) {
        // On disk now: a task that waited for this time may start.
        adoptTimer(change.timer->first, timerOf(change.timer->first), true);
    }
    for (const QUuid& id : told) {
        emit recordChanged(id);
    }
    if (change.written) {
        change.written(std::nullopt);
    }
    pump();
}

void BookingRecords::settle() {
    SnapshotManager& snapshots = m_environment.snapshotManager();
    while (isWriting()) {
        if (m_inFlight && m_inFlight->journal) {
            m_inFlight->journal->wait();
            journalEnded(m_inFlight->serial);
        } else if (m_inFlight) {
            const auto failure = snapshots.flush();
            writeEnded(m_inFlight->serial, failure);
        } else {
            pump();
        }
    }
}

std::vector<QUuid> BookingRecords::prunable(const std::vector<BookingRecord>& changed) const {
    const auto changedOne = [&changed](const QUuid& id) {
        return std::find_if(changed.begin(), changed.end(),
                            [&id](const BookingRecord& c) { return c.id == id; });
    };
    std::vector<QUuid> settled;
    for (const BookingRecord& record : m_records) {
        const auto now = changedOne(record.id);
        if ((now == changed.end() ? record : *now).isSettled()) {
            settled.push_back(record.id);
        }
    }
    if (settled.size() <= static_cast<std::size_t>(settledKept)) {
        return {};
    }
    settled.resize(settled.size() - settledKept);
    // A record this change settles is told of first: it goes with a later change.
    std::erase_if(settled, [&](const QUuid& id) { return changedOne(id) != changed.end(); });
    return settled;
}

void BookingRecords::store(const BookingRecord& changed,
                           const std::optional<std::pair<QString, TimerSnapshot>>& timer, Written written) {
    write(Change{{changed}, prunable({changed}), timer, std::move(written), {}, {}});
}

QUuid BookingRecords::depart(BookingRecord draft, const std::optional<QUuid>& replacing, Written written) {
    // The id is known at once (the sheet follows it); the record exists once on disk.
    const QUuid newId = QUuid::createUuid();
    const std::optional<BookingRecord> returned =
        replacing ? inState(*replacing, {BookingRecord::State::returned}) : std::nullopt;
    const bool returnedLeaves = returned && draft.booking.seconds >= returned->booking.seconds;
    const QUuid id = returnedLeaves ? returned->id : newId;
    // What the returned record held when asked: the id above was chosen by it.
    const qint64 seen = returned ? returned->booking.seconds : 0;
    enqueue([this, draft = std::move(draft), replacing, id, seen, written = std::move(written)]() mutable {
        const BootTime boot = m_environment.bootClock->now();
        const QDateTime wall = m_environment.currentTime();
        std::vector<BookingRecord> changed;
        std::optional<std::pair<QString, TimerSnapshot>> after;
        const std::optional<BookingRecord> from =
            replacing ? inState(*replacing, {BookingRecord::State::returned}) : std::nullopt;
        if (replacing && !from) {
            // The returned time was booked or discarded meanwhile: it is not booked twice.
            if (written) {
                written(tr("the time to book was booked or discarded meanwhile"));
            }
            return;
        }
        if (from && from->booking.seconds != seen) {
            // Another booking took a part of it meanwhile: whether this one takes the whole record
            // or a part was judged on time it no longer holds, and either way a second would be
            // held twice or nowhere. The sheet asks again.
            if (written) {
                written(tr("the time to book changed meanwhile"));
            }
            return;
        }
        BookingRecord leaving = draft;
        if (from) {
            // The returned seconds leave from their record, which keeps them (as what it holds)
            // until the tracker's entry is seen; a part of them leaves on a record of its own,
            // the rest staying.
            const bool whole = leaving.booking.seconds >= from->booking.seconds;
            BookingRecord base = whole ? *from : leaving;
            base.id = id;
            base.account = leaving.account;
            base.tracker = leaving.tracker;
            base.project = leaving.project;
            base.task = leaving.task;
            base.booking = leaving.booking;
            // Time of the timer may go back to it; time of a deleted account's cannot.
            base.source = from->account == leaving.account ? from->source : BookingRecord::Source::manual;
            leaving = base;
            if (!whole) {
                BookingRecord rest = *from;
                rest.booking.seconds -= leaving.booking.seconds;
                changed.push_back(rest);
            }
        } else {
            leaving.id = id;
            // The time of the timer's own task leaves it with the booking.
            if (leaving.source == BookingRecord::Source::timer && accountExists(leaving.account)) {
                const TimerSnapshot timer = timerOf(leaving.account);
                if (timer.task && timer.task->id == leaving.booking.taskId) {
                    after =
                        std::pair(leaving.account,
                                  timer.withoutSeconds(static_cast<double>(leaving.booking.seconds), wall));
                }
            }
            if (!after && leaving.source == BookingRecord::Source::timer) {
                // Nothing came off the timer (it went on to another task meanwhile): nothing
                // goes back onto it either.
                leaving.source = BookingRecord::Source::manual;
            }
        }
        leaveNow(leaving, boot, wall);
        changed.insert(changed.begin(), leaving);
        write(Change{changed, prunable(changed), after, std::move(written), {}, {}, true});
    });
    return id;
}

std::optional<BookingRecord>
BookingRecords::inState(const QUuid& id, std::initializer_list<BookingRecord::State> states) const {
    const auto kept = record(id);
    if (!kept || std::find(states.begin(), states.end(), kept->state) == states.end()) {
        return std::nullopt;
    }
    return kept;
}

void BookingRecords::saveWith(BookingRecord record, const QString& entryId, Written written) {
    record.state = BookingRecord::State::saved;
    record.entryId = entryId;
    record.question.reset();
    record.rival.reset();
    // Of no account, it was still on its way when the account went: where it went is said.
    record.savedLater = record.savedLater || record.account.isEmpty();
    std::vector<BookingRecord> changed{record};
    write(Change{changed,
                 prunable(changed),
                 std::nullopt,
                 bothWritten(tellSaved(record.project), std::move(written)),
                 {claimOf(record)},
                 {}});
}

void BookingRecords::answered(const QUuid& id, const QString& entryId) {
    enqueue([this, id, entryId] {
        auto record = inState(id, {BookingRecord::State::leaving, BookingRecord::State::unknown});
        if (!record) {
            return;
        }
        if (claimOn(*record, entryId)) {
            // Another booking's entry (the answer repeated by a proxy or a cache): no proof of this
            // one, which the look-ups find or not.
            logRecordsError(QStringLiteral("A booking's answer named an entry another booking holds; its "
                                           "outcome is looked up"));
            record->state =
                record->account.isEmpty() ? BookingRecord::State::returned : BookingRecord::State::unknown;
            if (record->state == BookingRecord::State::returned) {
                record->ending = BookingRecord::Ending::accountGone;
            }
            record->answerOfAnother = entryId;
            store(*record, std::nullopt, noteOnFailure(id, Unnoted::Kind::unknown));
            return;
        }
        saveWith(*record, entryId, noteOnFailure(id, Unnoted::Kind::saved));
    });
}

void BookingRecords::refused(const QUuid& id, const APIError& error) {
    enqueue([this, id, error] {
        if (auto record = inState(id, {BookingRecord::State::leaving, BookingRecord::State::unknown})) {
            record->unseen = error;
            giveBack(*record, BookingRecord::Ending::refused, noteOnFailure(id, Unnoted::Kind::refused));
        }
    });
}

void BookingRecords::unseen(const QUuid& id, const APIError& error) {
    enqueue([this, id, error] {
        if (auto record = inState(id, {BookingRecord::State::leaving})) {
            record->unseen = error;
            if (record->account.isEmpty()) {
                // Its account went while it was on its way: nothing can be asked of the tracker,
                // so the user decides.
                record->state = BookingRecord::State::returned;
                record->ending = BookingRecord::Ending::accountGone;
            } else {
                record->state = BookingRecord::State::unknown;
            }
            store(*record, std::nullopt, noteOnFailure(id, Unnoted::Kind::unknown));
        }
    });
}

void BookingRecords::found(const QUuid& id, const std::optional<QString>& entryId) {
    enqueue([this, id, entryId] {
        auto record = inState(id, {BookingRecord::State::unknown, BookingRecord::State::asked});
        if (!record) {
            return;
        }
        if (entryId && claimOn(*record, *entryId)) {
            // That entry is another booking's: this one is still to be found.
            logRecordsError(
                QStringLiteral("A look-up named an entry another booking holds; it is not taken"));
            record->state = BookingRecord::State::unknown;
            record->question.reset();
            record->rival.reset();
            record->lookUp = BookingRecord::LookUp::nothingListed;
            store(*record);
            return;
        }
        record->savedLater = true;
        if (!entryId) {
            record->state = BookingRecord::State::saved;
            record->question.reset();
            record->rival.reset();
            store(*record, std::nullopt, tellSaved(record->project));
            return;
        }
        saveWith(*record, *entryId);
    });
}

void BookingRecords::ask(const QUuid& id, const WorkEntry& entry, const std::optional<QUuid>& rival) {
    enqueue([this, id, entry, rival] {
        if (auto record = inState(id, {BookingRecord::State::unknown})) {
            if (claimOn(*record, entry.id)) {
                // Another booking's by now: nothing to ask; the look-ups go on.
                record->lookUp = BookingRecord::LookUp::nothingListed;
                store(*record);
                return;
            }
            record->state = BookingRecord::State::asked;
            record->question = entry;
            record->rival = rival;
            store(*record);
        }
    });
}

void BookingRecords::lookedUp(const QUuid& id, BookingRecord::LookUp learnt,
                              const std::optional<APIError>& error, const QDateTime& next) {
    enqueue([this, id, learnt, error, next] {
        if (auto record = inState(id, {BookingRecord::State::unknown})) {
            const bool failed = learnt == BookingRecord::LookUp::failed;
            record->lookUp = learnt;
            record->lookUpError = failed ? error : std::nullopt;
            record->lookUpFailures = failed ? record->lookUpFailures + 1 : 0;
            record->lookedUpAt = m_environment.currentTime();
            record->nextLookUpWall = next;
            store(*record);
        }
    });
}

void BookingRecords::end(const QUuid& id, BookingRecord::Ending ending) {
    enqueue([this, id, ending] {
        if (auto record = inState(id, {BookingRecord::State::unknown})) {
            giveBack(*record, ending);
        }
    });
}

void BookingRecords::confirmSaved(const QUuid& id) {
    enqueue([this, id] {
        if (auto record = inState(id, {BookingRecord::State::asked})) {
            found(id, record->question ? std::optional(record->question->id) : std::nullopt);
        }
    });
}

void BookingRecords::keepTime(const QUuid& id) {
    enqueue([this, id] {
        if (auto record = inState(id, {BookingRecord::State::asked})) {
            giveBack(*record, BookingRecord::Ending::keptByUser);
        }
    });
}

void BookingRecords::bookAgain(const QUuid& id, std::function<void(bool onTimer)> then) {
    enqueue([this, id, then = std::move(then)] {
        auto record = inState(id, {BookingRecord::State::unknown});
        if (!record) {
            return;
        }
        giveBack(*record, BookingRecord::Ending::bookAgain,
                 [this, id, then](const std::optional<QString>& failure) {
                     if (!failure && then) {
                         then(inState(id, {BookingRecord::State::notSaved}).has_value());
                     }
                 });
    });
}

void BookingRecords::discard(const QUuid& id) {
    enqueue([this, id] {
        if (auto record = inState(id, {BookingRecord::State::returned})) {
            record->state = BookingRecord::State::discarded;
            store(*record);
        }
    });
}

void BookingRecords::dismiss(const QUuid& id) {
    enqueue([this, id] {
        const BookingRecord* kept = find(id);
        if (kept && kept->isSettled()) {
            write(Change{{}, {id}, std::nullopt, {}, {}, {}});
        }
    });
}

void BookingRecords::accountGoing(const QString& account, bool keepTime, Written written) {
    enqueue([this, account, keepTime, written = std::move(written)] {
        std::vector<BookingRecord> changed;
        std::optional<std::pair<QString, TimerSnapshot>> timer;
        if (keepTime) {
            // The timer's time is kept too, as time of a booking of the gone account that waits for
            // the user; it leaves the timer in the same write.
            if (auto fromTimer = timerTimeKept(account)) {
                changed.push_back(std::move(*fromTimer));
                timer = std::pair(account, TimerSnapshot{});
            }
        }
        for (BookingRecord record : held(account)) {
            if (keepTime) {
                // Of no account now: every window shows it, to book on a task of another
                // account or discard. Its look-ups cannot run without the account; a booking
                // still on its way keeps its answer, which settles it (saved, its time leaves
                // the record), and until then the time is not offered to book elsewhere.
                record.account.clear();
                record.source = BookingRecord::Source::manual;
                if (record.state == BookingRecord::State::unknown ||
                    record.state == BookingRecord::State::asked) {
                    record.state = BookingRecord::State::returned;
                    record.ending = BookingRecord::Ending::accountGone;
                }
                record.question.reset();
                record.rival.reset();
            } else {
                record.state = BookingRecord::State::discarded;
            }
            changed.push_back(record);
        }
        // The account's claims guard only its own bookings: those none of its time kept could
        // meet go with it.
        std::vector<QUuid> claimsGone;
        for (const BookingClaim& claim : m_claims) {
            const auto guards = [&claim](const BookingRecord& kept) {
                return kept.holdsSeconds() && kept.booking.taskId == claim.taskId &&
                       minutesOf(static_cast<double>(kept.booking.seconds)) ==
                           minutesOf(static_cast<double>(claim.seconds));
            };
            if (claim.account == account && std::none_of(changed.begin(), changed.end(), guards)) {
                claimsGone.push_back(claim.record);
            }
        }
        write(Change{changed, prunable(changed), timer, written, {}, std::move(claimsGone)});
    });
}

std::optional<BookingRecord> BookingRecords::timerTimeKept(const QString& account) const {
    const QDateTime wall = m_environment.currentTime();
    const TimerSnapshot timer = timerOf(account);
    const qint64 seconds = std::llround(timer.isIdle() ? 0.0 : timer.elapsed(wall));
    if (seconds < 1) {
        return std::nullopt;
    }
    BookingRecord kept;
    kept.id = QUuid::createUuid();
    kept.project = timer.project;
    kept.task = timer.task.value_or(Issue{});
    kept.booking = WorkLogBooking{kept.task.id, wall.addSecs(-seconds), seconds, QString()};
    // Of the account's tracker, as its bookings say.
    for (const BookingRecord& record : m_records) {
        if (record.account == account && !record.tracker.isEmpty()) {
            kept.tracker = record.tracker;
        }
    }
    kept.source = BookingRecord::Source::manual;
    kept.state = BookingRecord::State::returned;
    kept.ending = BookingRecord::Ending::accountGone;
    const BootTime boot = m_environment.bootClock->now();
    kept.left = boot;
    kept.windowEnd = boot;
    kept.windowEndWall = wall;
    return kept;
}

void BookingRecords::giveBack(BookingRecord record, BookingRecord::Ending ending, Written written) {
    record.ending = ending;
    record.question.reset();
    record.rival.reset();
    std::optional<std::pair<QString, TimerSnapshot>> timer;
    if (!accountExists(record.account)) {
        // No window would show a timer of an account that is gone: the record keeps its
        // seconds, and every window shows it.
        record.account.clear();
        record.source = BookingRecord::Source::manual;
    } else if (record.source == BookingRecord::Source::timer && ending != BookingRecord::Ending::notLearnt) {
        // Time whose outcome was never learnt may be at the tracker: on the timer, a later
        // booking of the timer's time would book it twice. It waits on its record instead.
        const TimerSnapshot now = timerOf(record.account);
        if (auto back =
                now.withSeconds(static_cast<double>(record.booking.seconds), record.project, record.task)) {
            timer = std::pair(record.account, *back);
        }
    }
    // Never only in a sheet: what is not on the timer stays on the record until the user
    // books it again or discards it.
    record.state = timer ? BookingRecord::State::notSaved : BookingRecord::State::returned;
    store(record, timer, std::move(written));
}

void BookingRecords::attach(const QString& account, TimerViewModel* timer) {
    if (!account.isEmpty() && timer) {
        m_timers.insert(account, timer);
    }
}

void BookingRecords::detach(const QString& account, TimerViewModel* timer) {
    if (m_timers.value(account) == timer) {
        m_timers.remove(account);
    }
}

QStringList BookingRecords::heldNotes(const QString& account) const {
    QStringList notes;
    int more = 0;
    for (const BookingRecord& record : m_records) {
        if (!record.holdsSeconds() || !shownFor(record, account)) {
            continue;
        }
        if (notes.size() >= heldNotesShown) {
            ++more;
            continue;
        }
        const QString time =
            ReadableTimeFormatter::format(static_cast<double>(record.booking.seconds)).value_or(QString());
        const QString task = record.task.reference.value_or(record.task.name).left(80);
        if (record.isOpen()) {
            notes << tr("%1 on %2 on hold until %3")
                         .arg(time, task,
                              windowEndsAt(record).toLocalTime().time().toString(QStringLiteral("HH:mm")));
        } else {
            notes << tr("%1 on %2 waits for you").arg(time, task);
        }
    }
    if (more > 0) {
        notes << (more == 1 ? tr("1 more booking held") : tr("%1 more bookings held").arg(more));
    }
    if (m_recordsSetAside > 0) {
        notes << (m_recordsSetAside == 1
                      ? tr("1 more held booking kept in the data file, read at a later start")
                      : tr("%1 more held bookings kept in the data file, read at a later start")
                            .arg(m_recordsSetAside));
    }
    return notes;
}

} // namespace velmora
