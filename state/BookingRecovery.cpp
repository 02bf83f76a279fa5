#include "state/BookingRecovery.h"

#include "core/model/DateInterval.h"
#include "core/model/ProviderService.h"

#include <QPointer>
#include <QSet>
#include <QTime>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace velmora {

namespace {

bool sameStart(const WorkEntry& entry, const WorkLogBooking& booking) {
    return std::abs(entry.started.msecsTo(booking.started)) < 1000;
}

// A day the tracker can date the booking by. It takes the day the booking arrived in
// the zone it keeps (UTC, the user's zone on the tracker, this machine's), which is
// never more than a day from this machine's: read in the zone the entry's start is
// given in, the entry's day is within one of the day the booking left on. Never only
// this machine's day: a tracker dating by UTC's would lose the booking every evening
// in Tokyo. A record that does not say how its tracker dates entries takes only entries
// dated at midnight for entries dated by the day: its start may be the work's own.
bool sameDay(const WorkEntry& entry, const WorkLogBooking& booking) {
    const QDateTime sent = booking.sent.value_or(booking.started).toTimeZone(entry.started.timeZone());
    const qint64 apart = sent.date().daysTo(entry.started.date());
    return (booking.dating || entry.started.time() == QTime(0, 0)) && apart >= -1 && apart <= 1 &&
           entry.description.value_or(QString()) == booking.description;
}

// Where an entry stands against the booking.
enum class Standing {
    // Made before the booking left: another booking.
    earlier,
    // Can be the booking.
    arrived,
    // Looks like it, but the app cannot tell: made so close to the moment the booking
    // left that it may be an earlier one, or when (or on which clock) is not known.
    unsure,
    // Made later than the booking could have arrived: someone booked the same since.
    late,
};

bool listedBefore(const WorkEntry& entry, const WorkLogBooking& booking) {
    return booking.before &&
           std::find(booking.before->begin(), booking.before->end(), entry.id) != booking.before->end();
}

Standing standing(const WorkEntry& entry, const WorkLogBooking& booking) {
    // A start kept to the second is the booking's own: an earlier booking of the same
    // minutes started earlier.
    if (booking.dating != WorkLogBooking::Dating::day && sameStart(entry, booking)) {
        return Standing::arrived;
    }
    // The tracker stamps an entry on its own clock: without knowing how that ran
    // against ours, no stamp says before or after.
    if (!entry.created || !entry.created->isValid() || !booking.trackerClock) {
        return Standing::unsure;
    }
    // Records of trackers that date by the day were made as the booking left: their
    // start is when it left.
    const QDateTime left = booking.sent.value_or(booking.started);
    // Days apart is far outside any clock's offset and the arrival window; it also keeps
    // a stamp at the end of time (the tracker's word) from overflowing the sums below.
    const qint64 daysApart = left.daysTo(*entry.created);
    if (daysApart < -2) {
        return Standing::earlier;
    }
    if (daysApart > 2) {
        return Standing::late;
    }
    const qint64 made = left.msecsTo(*entry.created);
    const ClockOffset& clock = *booking.trackerClock;
    // On the tracker's clock the booking left between these two moments.
    const qint64 leftEarliest = clock.least - BookingRecovery::stampSlack;
    // A moment kept to the whole second lies up to a second before the real one.
    const qint64 leftLatest = clock.most + BookingRecovery::stampSlack + (booking.sentToTheSecond ? 1000 : 0);
    if (made < leftEarliest) {
        return Standing::earlier;
    }
    if (made < leftLatest) {
        return Standing::unsure;
    }
    return made <= leftLatest + BookingRecovery::arrivalWindow * 1000 ? Standing::arrived : Standing::late;
}

} // namespace

bool BookingRecovery::looksLike(const WorkEntry& entry, const WorkLogBooking& booking) {
    if (entry.issue.id != booking.taskId || !entry.started.isValid() || !booking.started.isValid() ||
        !booking.sameMinutesAs(entry)) {
        return false;
    }
    switch (booking.dating.value_or(WorkLogBooking::Dating::exact)) {
    case WorkLogBooking::Dating::exact:
        // A record written before it said how its tracker dates entries may be of either.
        return sameStart(entry, booking) || (!booking.dating && sameDay(entry, booking));
    case WorkLogBooking::Dating::day:
        return sameDay(entry, booking);
    }
    return false;
}

BookingRecovery::Verdict BookingRecovery::judge(const std::vector<WorkEntry>& listed,
                                                const WorkLogBooking& booking) {
    // A paged list repeats an entry made between two of its pages: it is still one entry.
    std::vector<WorkEntry> entries;
    QSet<QString> seen;
    for (const WorkEntry& entry : listed) {
        if (!seen.contains(entry.id)) {
            seen.insert(entry.id);
            entries.push_back(entry);
        }
    }
    if (booking.before) {
        // What was there is known: the booking is the one look-alike that is new. Its
        // stamps are not weighed (the clocks may be two, cached or apart), except that
        // one the clock places surely before the booking left, or after it could have
        // arrived, is asked about.
        std::vector<const WorkEntry*> added;
        for (const WorkEntry& entry : entries) {
            if (looksLike(entry, booking) && !listedBefore(entry, booking)) {
                added.push_back(&entry);
            }
        }
        if (added.empty()) {
            return Verdict{Verdict::Kind::notFound, std::nullopt};
        }
        const Standing only = standing(*added.front(), booking);
        const bool alone = added.size() == 1 && only != Standing::earlier && only != Standing::late;
        return Verdict{alone ? Verdict::Kind::saved : Verdict::Kind::uncertain, *added.front()};
    }
    std::optional<WorkEntry> arrived;
    std::optional<WorkEntry> unsure;
    int arrivals = 0;
    for (const WorkEntry& entry : entries) {
        if (!looksLike(entry, booking)) {
            continue;
        }
        switch (standing(entry, booking)) {
        case Standing::earlier:
            break;
        case Standing::arrived:
            ++arrivals;
            if (!arrived) {
                arrived = entry;
            }
            break;
        case Standing::unsure:
        case Standing::late:
            if (!unsure) {
                unsure = entry;
            }
            break;
        }
    }
    if (arrivals == 1 && !unsure) {
        return Verdict{Verdict::Kind::saved, arrived};
    }
    if (arrivals == 0 && !unsure) {
        return Verdict{Verdict::Kind::notFound, std::nullopt};
    }
    return Verdict{Verdict::Kind::uncertain, arrived ? arrived : unsure};
}

BookingRecovery::BookingRecovery(BookingRecords& records, ServiceFor serviceFor, QObject* parent)
    : QObject(parent), m_records(records), m_serviceFor(std::move(serviceFor)) {
    connect(&records, &BookingRecords::recordChanged, this, &BookingRecovery::recordChanged);
}

BookingRecovery::~BookingRecovery() = default;

int BookingRecovery::recheckDelayAfter(int failures) const {
    qint64 delay = m_recheckDelay;
    for (int i = 1; i < failures && delay < recheckDelayMost; ++i) {
        delay *= 2;
    }
    // Tests that shorten the first wait keep the doubling, not the real bound.
    return static_cast<int>(std::min<qint64>(delay, std::max(recheckDelayMost, m_recheckDelay)));
}

void BookingRecovery::start() {
    std::vector<QUuid> unknown;
    std::vector<QUuid> leaving;
    for (const BookingRecord& record : m_records.all()) {
        if (record.state == BookingRecord::State::unknown) {
            unknown.push_back(record.id);
        } else if (record.state == BookingRecord::State::leaving) {
            leaving.push_back(record.id);
        }
    }
    for (const QUuid& id : unknown) {
        lookUp(id);
    }
    for (const QUuid& id : leaving) {
        recordChanged(id);
    }
}

void BookingRecovery::lookUpNow(const QUuid& id) {
    lookUp(id);
}

void BookingRecovery::recordChanged(const QUuid& id) {
    const auto record = m_records.record(id);
    if (!record || record->isSettled() || record->state == BookingRecord::State::asked ||
        record->state == BookingRecord::State::returned) {
        // Settled, or the user decides now: nothing more to ask the tracker.
        forget(id);
        return;
    }
    if (record->state == BookingRecord::State::leaving) {
        // Its answer should end it; should none come, it is taken as unknown.
        if (!m_planned.contains(id)) {
            const quint64 plan = ++m_plans;
            m_planned.insert(id, plan);
            const qint64 wait = std::max<qint64>(0, leavingBound - m_records.sinceLeft(*record));
            m_records.environment().bootClock->callAfter(
                std::chrono::milliseconds(wait), this, [this, id, plan] {
                    if (m_planned.value(id) != plan) {
                        return;
                    }
                    m_planned.remove(id);
                    m_records.unseen(id, APIError::failure(APIError::Cause::TimedOut));
                });
        }
        return;
    }
    // Unknown: looked up at once the first time, then as planned; one that learnt something but
    // has no look-up planned (an entry it was to take turned out to be another booking's) is
    // asked again after the usual wait.
    if (isLookingUp(id) || m_waiting.contains(id)) {
        return;
    }
    if (record->lookUp == BookingRecord::LookUp::none && !record->lookedUpAt) {
        m_planned.remove(id);
        lookUp(id);
    } else if (!m_planned.contains(id) && record->lookUp == BookingRecord::LookUp::nothingListed) {
        planNext(*record, recheckDelayAfter(0), BookingRecord::LookUp::nothingListed, std::nullopt);
    }
}

void BookingRecovery::forget(const QUuid& id) {
    m_planned.remove(id);
    m_waiting.remove(id);
    if (auto running = m_running.find(id); running != m_running.end()) {
        Cancellable look = std::move(running->second);
        m_running.erase(running);
        look.cancel();
        stopped(id);
    }
    // A service is kept only for accounts with records still to ask about.
    for (auto it = m_services.begin(); it != m_services.end();) {
        it = m_records.hasOpen(it.key()) ? std::next(it) : m_services.erase(it);
    }
}

void BookingRecovery::lookUp(const QUuid& id) {
    const BookingRecord* record = m_records.peek(id);
    if (!record || record->state != BookingRecord::State::unknown || isLookingUp(id)) {
        return;
    }
    m_planned.remove(id);
    if (m_runningPerAccount.value(record->account) >= lookUpsAtOnce) {
        // The tracker is asked a few at a time: the rest wait their turn, in order.
        if (!m_waiting.contains(id)) {
            m_waiting.insert(id);
            m_queues[record->account].push_back(id);
        }
        return;
    }
    m_waiting.remove(id);
    std::shared_ptr<ProviderService> service = m_services.value(record->account);
    if (!service && m_serviceFor) {
        service = m_serviceFor(record->account);
        if (service) {
            m_services.insert(record->account, service);
        }
    }
    if (!service) {
        // The account is gone (or cannot be opened): nothing can be asked.
        fail(id, APIError::unauthorized());
        return;
    }
    const WorkLogBooking booking = record->booking;
    Issue task = record->task;
    task.id = booking.taskId;
    const QString account = record->account;
    // Every start the tracker can have given it, and no more: one page in the common case.
    const DateInterval around = WorkLogBooking::startsAround(booking.started);
    QPointer<BookingRecovery> self(this);
    ++m_runningPerAccount[account];
    m_accountOf.insert(id, account);
    emit lookingUp(id, true);
    m_running.emplace(id, service->fetchOwnWorkEntries(task, around)
                              .receiveOn(this)
                              .sink(
                                  [self, id](const std::vector<WorkEntry>& entries) {
                                      if (self) {
                                          self->lookedAt(id, entries);
                                      }
                                  },
                                  [self, id](const APIError& error) {
                                      if (self) {
                                          self->fail(id, error);
                                      }
                                  }));
}

void BookingRecovery::planNext(const BookingRecord& record, qint64 delay, BookingRecord::LookUp learnt,
                               const std::optional<APIError>& error) {
    const qint64 left = m_records.windowLeft(record);
    // The last look-up comes as the window ends: then it decides.
    const qint64 wait = std::min(delay, left + 1000);
    const quint64 plan = ++m_plans;
    m_planned.insert(record.id, plan);
    m_records.lookedUp(record.id, learnt, error, m_records.environment().currentTime().addMSecs(wait));
    const QUuid id = record.id;
    m_records.environment().bootClock->callAfter(std::chrono::milliseconds(wait), this, [this, id, plan] {
        if (m_planned.value(id) == plan) {
            lookUp(id);
        }
    });
}

void BookingRecovery::stopped(const QUuid& id) {
    const QString account = m_accountOf.take(id);
    if (auto running = m_runningPerAccount.find(account);
        running != m_runningPerAccount.end() && --*running <= 0) {
        m_runningPerAccount.erase(running);
    }
    emit lookingUp(id, false);
    // The next that waited for its turn goes (one whose record settled meanwhile is skipped).
    auto queue = m_queues.find(account);
    while (queue != m_queues.end() && !queue->empty() && m_runningPerAccount.value(account) < lookUpsAtOnce) {
        const QUuid next = queue->front();
        queue->pop_front();
        if (queue->empty()) {
            m_queues.erase(queue);
        }
        if (m_waiting.remove(next)) {
            lookUp(next);
        }
        queue = m_queues.find(account);
    }
}

std::optional<BookingRecord> BookingRecovery::lookUpEnded(const QUuid& id) {
    if (auto running = m_running.find(id); running != m_running.end()) {
        running->second.detach();
        m_running.erase(running);
        stopped(id);
    }
    const auto record = m_records.record(id);
    if (!record || record->state != BookingRecord::State::unknown) {
        return std::nullopt;
    }
    return record;
}

void BookingRecovery::fail(const QUuid& id, const APIError& error) {
    const auto record = lookUpEnded(id);
    if (!record) {
        return;
    }
    if (m_records.windowLeft(*record) <= 0) {
        // The window is over and still nothing can be learnt: the hold ends here.
        m_records.end(id, BookingRecord::Ending::notLearnt);
        return;
    }
    qint64 delay = recheckDelayAfter(record->lookUpFailures + 1);
    if (const auto retryAfter = error.retryAfter(); retryAfter && *retryAfter > 0) {
        // The tracker said when it takes requests again: asking sooner only fails again (and
        // the words would name a time the app does not keep).
        delay = std::max<qint64>(delay, std::min<qint64>(*retryAfter, 24 * 3600) * 1000);
    }
    planNext(*record, delay, BookingRecord::LookUp::failed, error);
}

std::optional<BookingRecord> BookingRecovery::rivalFor(const BookingRecord& record,
                                                       const WorkEntry& entry) const {
    // Only a booking of the entry's task and minutes can look like it; one asked about this
    // very entry books them too.
    for (const BookingRecord* candidate :
         m_records.lookAlikes(entry.issue.id, BookingRecords::minutesOf(entry.spentTimeSeconds))) {
        const BookingRecord& other = *candidate;
        if (other.id == record.id || other.account != record.account) {
            continue;
        }
        const bool open = other.isOpen() || other.state == BookingRecord::State::asked;
        if (!open) {
            continue;
        }
        // Asked about this very entry, or one it could be by its looks and its time.
        const bool askedAboutIt =
            other.state == BookingRecord::State::asked && other.question && other.question->id == entry.id;
        const bool couldBe = looksLike(entry, other.booking) && !listedBefore(entry, other.booking) &&
                             standing(entry, other.booking) != Standing::earlier;
        if (askedAboutIt || couldBe) {
            return other;
        }
    }
    return std::nullopt;
}

void BookingRecovery::lookedAt(const QUuid& id, const std::vector<WorkEntry>& entries) {
    const auto record = m_records.record(id);
    if (!record || record->state != BookingRecord::State::unknown) {
        lookUpEnded(id);
        return;
    }
    // An entry another booking claimed is that booking's, whether its record is still kept or not.
    std::vector<WorkEntry> free;
    for (const WorkEntry& entry : entries) {
        if (!m_records.claimOn(*record, entry.id)) {
            free.push_back(entry);
        }
    }
    const Verdict verdict = judge(free, record->booking);
    if (verdict.kind != Verdict::Kind::notFound && verdict.entry) {
        if (const auto rival = rivalFor(*record, *verdict.entry)) {
            lookUpEnded(id);
            if (rival->state == BookingRecord::State::leaving && m_records.windowLeft(*record) > 0) {
                // Its answer will say whose the entry is: asked again once it may have come.
                planNext(*record, recheckDelayAfter(0), BookingRecord::LookUp::nothingListed, std::nullopt);
                return;
            }
            // Nothing more will tell them apart: the user says which it is.
            m_records.ask(id, *verdict.entry, rival->id);
            return;
        }
    }
    finish(id, verdict);
}

void BookingRecovery::finish(const QUuid& id, const Verdict& verdict) {
    const auto record = lookUpEnded(id);
    if (!record) {
        return;
    }
    if (verdict.kind == Verdict::Kind::saved && !(verdict.entry && m_records.mustAsk(*record))) {
        m_records.found(id, verdict.entry ? std::optional(verdict.entry->id) : std::nullopt);
        return;
    }
    if (verdict.kind != Verdict::Kind::notFound && verdict.entry) {
        // The record stays until the user answers: quitting (or a crash) with the
        // question open asks it again at the next start. (A claim on the task that did not read
        // whole, or was left unread, may be on the entry found: it is asked about too.)
        m_records.ask(id, *verdict.entry);
        return;
    }
    if (m_records.windowLeft(*record) > 0) {
        // The tracker may not have taken it in yet.
        planNext(*record, recheckDelayAfter(0), BookingRecord::LookUp::nothingListed, std::nullopt);
        return;
    }
    m_records.end(id, BookingRecord::Ending::notListed);
}

} // namespace velmora
