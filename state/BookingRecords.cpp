#include "state/BookingRecords.h"

#include "core/model/Logger.h"
#include "core/model/NotificationNames.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/TimerViewModel.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace velmora {

namespace {

QString keyOf(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces);
}

void logRecordsError(const QString& text) {
    logError(Logger::dataManager(), QStringLiteral("[BookingRecords] ") + text);
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

} // namespace

BookingRecords::BookingRecords(StateEnvironment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)) {
    load();
}

BookingRecords::~BookingRecords() = default;

void BookingRecords::load() {
    SnapshotManager& snapshots = m_environment.snapshotManager();
    const Snapshot snapshot = snapshots.load();
    const BootTime boot = m_environment.bootClock->now();
    const QDateTime wall = m_environment.currentTime();
    std::vector<SnapshotManager::Change> changes;
    int read = 0;
    int dropped = 0;
    for (auto it = snapshot.bookings.constBegin(); it != snapshot.bookings.constEnd(); ++it) {
        if (++read > recordsRead) {
            ++dropped;
            changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
            continue;
        }
        auto decoded = BookingRecord::decode(it.value());
        if (!decoded.ok() || keyOf(decoded.value().id) != it.key()) {
            logRecordsError(QStringLiteral("A booking record could not be read and was dropped: ") +
                            (decoded.ok() ? QStringLiteral("its key is not its id") : decoded.error()));
            changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
            continue;
        }
        BookingRecord record = std::move(decoded).value();
        if (record.isSettled()) {
            changes.push_back({SnapshotKind::Bookings, it.key(), std::nullopt});
            continue;
        }
        if (record.state == BookingRecord::State::leaving) {
            // That run ended before the tracker's answer came.
            record.state = BookingRecord::State::unknown;
            record.stoppedWhileLeaving = true;
        }
        if (!record.windowEnd.sameBoot(boot)) {
            // Another boot: the boot clock's moments say nothing here; what is left of the
            // window is read off the wall clock, unless that went back.
            windowFromWallClock(record, boot, wall);
        }
        changes.push_back({SnapshotKind::Bookings, it.key(), record.toSnapshot()});
        m_records.push_back(std::move(record));
    }
    if (dropped > 0) {
        logRecordsError(
            QStringLiteral("More booking records than can be open at once: %1 dropped").arg(dropped));
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
        m_records.push_back(std::move(record));
    }
    std::stable_sort(m_records.begin(), m_records.end(), [](const BookingRecord& a, const BookingRecord& b) {
        return a.booking.sent.value_or(a.booking.started) < b.booking.sent.value_or(b.booking.started);
    });
    if (!changes.empty()) {
        snapshots.apply(changes);
        if (const auto failure = snapshots.flush()) {
            logRecordsError(QStringLiteral("The booking records could not be written: ") + *failure);
        }
    }
}

std::optional<BookingRecord> BookingRecords::record(const QUuid& id) const {
    for (const BookingRecord& record : m_records) {
        if (record.id == id) {
            return record;
        }
    }
    return std::nullopt;
}

BookingRecord* BookingRecords::find(const QUuid& id) {
    for (BookingRecord& record : m_records) {
        if (record.id == id) {
            return &record;
        }
    }
    return nullptr;
}

std::vector<BookingRecord> BookingRecords::records(const QString& account) const {
    std::vector<BookingRecord> found;
    for (const BookingRecord& record : m_records) {
        if (account.isEmpty() || record.account == account) {
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

void BookingRecords::adoptTimer(const QString& account, const TimerSnapshot& snapshot) {
    if (const auto live = m_timers.value(account)) {
        live->adopt(snapshot);
    }
}

std::optional<QString> BookingRecords::commit(const std::vector<BookingRecord>& records,
                                              const std::vector<QUuid>& removed,
                                              const std::optional<std::pair<QString, TimerSnapshot>>& timer) {
    std::vector<SnapshotManager::Change> changes;
    for (const BookingRecord& record : records) {
        changes.push_back({SnapshotKind::Bookings, keyOf(record.id), record.toSnapshot()});
    }
    for (const QUuid& id : removed) {
        changes.push_back({SnapshotKind::Bookings, keyOf(id), std::nullopt});
    }
    if (timer && !timer->first.isEmpty()) {
        changes.push_back(
            {SnapshotKind::Timers, timer->first,
             timer->second.isIdle() ? std::nullopt : std::optional<QVariant>(timer->second.toSnapshot())});
    }
    SnapshotManager& snapshots = m_environment.snapshotManager();
    snapshots.apply(changes);
    auto failure = snapshots.flush();
    if (failure) {
        logRecordsError(QStringLiteral("A booking record could not be written: ") + *failure);
    }
    return failure;
}

std::vector<QUuid> BookingRecords::prunable() const {
    std::vector<QUuid> settled;
    for (const BookingRecord& record : m_records) {
        if (record.isSettled()) {
            settled.push_back(record.id);
        }
    }
    if (settled.size() <= static_cast<std::size_t>(settledKept)) {
        return {};
    }
    settled.resize(settled.size() - settledKept);
    return settled;
}

void BookingRecords::announce(const QUuid& id) {
    emit recordChanged(id);
}

void BookingRecords::store(const BookingRecord& changed,
                           const std::optional<std::pair<QString, TimerSnapshot>>& timer) {
    BookingRecord* kept = find(changed.id);
    if (!kept) {
        return;
    }
    *kept = changed;
    std::vector<QUuid> gone = prunable();
    commit({changed}, gone, timer);
    for (const QUuid& id : gone) {
        std::erase_if(m_records, [&id](const BookingRecord& record) { return record.id == id; });
    }
    if (timer) {
        adoptTimer(timer->first, timer->second);
    }
    announce(changed.id);
    for (const QUuid& id : gone) {
        announce(id);
    }
}

Result<QUuid, QString> BookingRecords::depart(BookingRecord draft, const std::optional<QUuid>& replacing) {
    using Out = Result<QUuid, QString>;
    const BootTime boot = m_environment.bootClock->now();
    const QDateTime wall = m_environment.currentTime();
    draft.id = QUuid::createUuid();
    draft.state = BookingRecord::State::leaving;
    if (!draft.booking.sent) {
        draft.booking.sent = wall;
    }
    draft.left = boot;
    draft.windowEnd = BootTime{boot.boot, boot.msecs + arrivalWindow * 1000};
    draft.windowEndWall = wall.addSecs(arrivalWindow);

    std::vector<BookingRecord> changed{draft};
    std::optional<BookingRecord> replaced;
    if (replacing) {
        if (const BookingRecord* old = find(*replacing);
            old && old->state == BookingRecord::State::returned) {
            replaced = *old;
            BookingRecord settled = *old;
            settled.state = BookingRecord::State::discarded;
            changed.push_back(settled);
        }
    }
    // The time of the timer's own task leaves it with the booking; seconds that were
    // returned to the user come from their record instead.
    std::optional<std::pair<QString, TimerSnapshot>> before;
    std::optional<std::pair<QString, TimerSnapshot>> after;
    if (!replaced && draft.source == BookingRecord::Source::timer && !draft.account.isEmpty()) {
        const TimerSnapshot timer = timerOf(draft.account);
        if (timer.task && timer.task->id == draft.booking.taskId) {
            before = std::pair(draft.account, timer);
            after = std::pair(draft.account,
                              timer.withoutSeconds(static_cast<double>(draft.booking.seconds), wall));
        }
    }
    if (!after && draft.source == BookingRecord::Source::timer) {
        // Nothing came off the timer (it went on to another task meanwhile): nothing goes
        // back onto it either.
        draft.source = BookingRecord::Source::manual;
        changed.front() = draft;
    }
    if (auto failure = commit(changed, {}, after)) {
        // Back as it was in memory too: a later write must not bring the record (a
        // booking never sent) or the timer without its time to disk.
        commit(replaced ? std::vector<BookingRecord>{*replaced} : std::vector<BookingRecord>{}, {draft.id},
               before);
        return Out::failure(*failure);
    }
    m_records.push_back(draft);
    if (replaced) {
        *find(replaced->id) = changed.back();
    }
    if (after) {
        adoptTimer(after->first, after->second);
    }
    announce(draft.id);
    if (replaced) {
        announce(replaced->id);
    }
    return Out::success(draft.id);
}

std::optional<BookingRecord>
BookingRecords::inState(const QUuid& id, std::initializer_list<BookingRecord::State> states) const {
    const auto kept = record(id);
    if (!kept || std::find(states.begin(), states.end(), kept->state) == states.end()) {
        return std::nullopt;
    }
    return kept;
}

void BookingRecords::answered(const QUuid& id, const QString& entryId) {
    if (auto record = inState(id, {BookingRecord::State::leaving, BookingRecord::State::unknown})) {
        record->state = BookingRecord::State::saved;
        record->entryId = entryId;
        store(*record);
    }
}

void BookingRecords::refused(const QUuid& id, const APIError& error, bool sheetKeepsTime) {
    if (auto record = inState(id, {BookingRecord::State::leaving, BookingRecord::State::unknown})) {
        record->unseen = error;
        giveBack(*record, BookingRecord::Ending::refused, sheetKeepsTime);
    }
}

void BookingRecords::unseen(const QUuid& id, const APIError& error) {
    if (auto record = inState(id, {BookingRecord::State::leaving})) {
        record->state = BookingRecord::State::unknown;
        record->unseen = error;
        store(*record);
    }
}

void BookingRecords::found(const QUuid& id, const std::optional<QString>& entryId) {
    auto record = inState(id, {BookingRecord::State::unknown, BookingRecord::State::asked});
    if (!record) {
        return;
    }
    record->state = BookingRecord::State::saved;
    record->entryId = entryId;
    record->savedLater = true;
    record->question.reset();
    store(*record);
    // What shows the task's booked time reads it again.
    if (record->project) {
        NotificationCenter::defaultCenter().post(QString(NotificationName::timeEntrySaved), *record->project);
    }
}

void BookingRecords::ask(const QUuid& id, const WorkEntry& entry) {
    if (auto record = inState(id, {BookingRecord::State::unknown})) {
        record->state = BookingRecord::State::asked;
        record->question = entry;
        store(*record);
    }
}

void BookingRecords::lookedUp(const QUuid& id, BookingRecord::LookUp learnt,
                              const std::optional<APIError>& error, const QDateTime& next) {
    if (auto record = inState(id, {BookingRecord::State::unknown})) {
        const bool failed = learnt == BookingRecord::LookUp::failed;
        record->lookUp = learnt;
        record->lookUpError = failed ? error : std::nullopt;
        record->lookUpFailures = failed ? record->lookUpFailures + 1 : 0;
        record->lookedUpAt = m_environment.currentTime();
        record->nextLookUpWall = next;
        store(*record);
    }
}

void BookingRecords::end(const QUuid& id, BookingRecord::Ending ending) {
    if (auto record = inState(id, {BookingRecord::State::unknown})) {
        giveBack(*record, ending);
    }
}

void BookingRecords::confirmSaved(const QUuid& id) {
    if (auto record = inState(id, {BookingRecord::State::asked})) {
        found(id, record->question ? std::optional(record->question->id) : std::nullopt);
    }
}

void BookingRecords::keepTime(const QUuid& id) {
    if (auto record = inState(id, {BookingRecord::State::asked})) {
        giveBack(*record, BookingRecord::Ending::keptByUser);
    }
}

bool BookingRecords::bookAgain(const QUuid& id) {
    auto record = inState(id, {BookingRecord::State::unknown});
    if (!record) {
        return false;
    }
    giveBack(*record, BookingRecord::Ending::bookAgain);
    return inState(id, {BookingRecord::State::notSaved}).has_value();
}

void BookingRecords::discard(const QUuid& id) {
    if (auto record = inState(id, {BookingRecord::State::returned})) {
        record->state = BookingRecord::State::discarded;
        store(*record);
    }
}

void BookingRecords::dismiss(const QUuid& id) {
    const BookingRecord* kept = find(id);
    if (!kept || !kept->isSettled()) {
        return;
    }
    commit({}, {id}, std::nullopt);
    std::erase_if(m_records, [&id](const BookingRecord& record) { return record.id == id; });
    announce(id);
}

void BookingRecords::giveBack(BookingRecord record, BookingRecord::Ending ending, bool sheetKeepsTime) {
    record.ending = ending;
    record.question.reset();
    std::optional<std::pair<QString, TimerSnapshot>> timer;
    if (record.source == BookingRecord::Source::timer && !record.account.isEmpty()) {
        const TimerSnapshot now = timerOf(record.account);
        if (auto back =
                now.withSeconds(static_cast<double>(record.booking.seconds), record.project, record.task)) {
            timer = std::pair(record.account, *back);
        }
    }
    if (timer) {
        record.state = BookingRecord::State::notSaved;
    } else {
        // Typed by hand into a sheet that still shows them, they need nowhere else to go.
        const bool inTheSheet = sheetKeepsTime && record.source == BookingRecord::Source::manual;
        record.state = inTheSheet ? BookingRecord::State::notSaved : BookingRecord::State::returned;
    }
    store(record, timer);
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
    for (const BookingRecord& record : m_records) {
        if ((!account.isEmpty() && record.account != account) || !record.holdsSeconds()) {
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
    return notes;
}

} // namespace velmora
