// The claims on entries of the booking records: how a start reads them, whose an entry is, and
// how long each is kept.
#include "state/BookingRecords.h"

#include "state/BookingClaimsJournal.h"
#include "state/BookingRecordsCommon.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace velmora {

using bookingrecords::keyOf;
using bookingrecords::logRecordsError;

namespace {

// Whether the tracker's names agree: a record or claim that does not say matches any.
bool sameTrackerName(const QString& one, const QString& other) {
    return one.isEmpty() || other.isEmpty() || one == other;
}

// Whether a claim and a record are of one account: a record of no account (its account went,
// the time kept) may be of the claim's.
bool sameAccount(const QString& claim, const QString& record) {
    return claim.isEmpty() || record.isEmpty() || claim == record;
}

} // namespace

void BookingRecords::loadClaims(const Snapshot& snapshot, const BootTime& boot,
                                std::vector<SnapshotManager::Change>& changes) {
    SnapshotManager& snapshots = m_environment.snapshotManager();
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

} // namespace velmora
