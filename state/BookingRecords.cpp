#include "state/BookingRecords.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/BookingRecordsCommon.h"
#include "state/TimerViewModel.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace velmora {

using bookingrecords::keyOf;
using bookingrecords::logRecordsError;

namespace {

QString looksKey(const QString& taskId, qint64 minutes) {
    return taskId + QLatin1Char('\n') + QString::number(minutes);
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
    loadClaims(snapshot, boot, changes);
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

} // namespace velmora
