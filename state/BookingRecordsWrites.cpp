// The write queue of the booking records: each change written after the one before, the claims'
// lines first, then the snapshot file, and taken on once on disk.
#include "state/BookingRecords.h"

#include "state/BookingClaimsJournal.h"
#include "state/BookingRecordsCommon.h"
#include "state/TimerViewModel.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include <algorithm>
#include <future>
#include <utility>

namespace velmora {

using bookingrecords::keyOf;
using bookingrecords::logRecordsError;

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
    if (!change.claims.empty()) {
        // The claims go to their journal first, on the disk before the records that made them
        // are: no moment on disk has a record saved without its claim. Their ends go after the
        // write that made them unneeded (see writeEnded).
        QByteArray lines;
        for (const BookingClaim& claim : change.claims) {
            lines += BookingClaimsJournal::lineOf(claim);
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
        notWritten(change, *failure);
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
        notWritten(change, *failure);
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
    endClaims(change.claimsGone);
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

void BookingRecords::endClaims(const std::vector<QUuid>& gone) {
    if (gone.empty()) {
        return;
    }
    // Only now that the records that no longer need them are on disk: ended before, a write that
    // failed would leave a booking on disk without the claim that guards it. A line lost here
    // (the app ended first) keeps its claim a while longer, never shorter.
    QByteArray lines;
    for (const QUuid& record : gone) {
        lines += BookingClaimsJournal::goneLine(record);
        if (const auto claim = m_claims.constFind(record); claim != m_claims.constEnd()) {
            m_claimsByEntry.remove(claim->entryId, record);
            m_claims.erase(claim);
        }
    }
    auto append = std::make_shared<std::packaged_task<void()>>(
        [path = BookingClaimsJournal::pathFor(m_environment.snapshotManager().filePath()),
         lines = std::move(lines), before = m_claimsEnding] {
            if (before) {
                before->wait();
            }
            if (const auto failure = BookingClaimsJournal::append(path, lines)) {
                logRecordsError(QStringLiteral("The end of a claim could not be written: ") + *failure);
            }
        });
    m_claimsEnding = append->get_future().share();
    QThreadPool::globalInstance()->start([append] { (*append)(); });
}

void BookingRecords::notWritten(const Change& change, const QString& failure) {
    emit writeFailed(failure, change.askerTells);
    if (change.written) {
        change.written(failure);
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
    if (m_claimsEnding) {
        m_claimsEnding->wait();
    }
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

} // namespace velmora
