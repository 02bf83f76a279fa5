#include "state/BookingRecovery.h"

#include "core/model/DateInterval.h"
#include "core/model/ProviderService.h"
#include "state/TimerViewModel.h"

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

BookingRecovery::Verdict BookingRecovery::judge(const std::vector<WorkEntry>& entries,
                                                const WorkLogBooking& booking) {
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

BookingRecovery::BookingRecovery(TimerViewModel& timer, QObject* parent) : QObject(parent), m_timer(&timer) {
    connect(&timer, &TimerViewModel::taskChanged, this, &BookingRecovery::timerTaskChanged);
    connect(&timer, &TimerViewModel::bookingNeedsCheck, this, &BookingRecovery::checkUnanswered);
    m_recheck.setSingleShot(true);
    connect(&m_recheck, &QTimer::timeout, this, [this] { check(m_service); });
}

void BookingRecovery::checkUnanswered() {
    if (!m_timer || !m_timer->recordedBooking()) {
        return;
    }
    m_unanswered = m_timer->recordedBooking();
    check(m_service);
}

void BookingRecovery::recheckLater() {
    m_recheck.start(m_recheckDelay);
}

BookingRecovery::~BookingRecovery() = default;

void BookingRecovery::check(const std::shared_ptr<ProviderService>& service) {
    if (service) {
        m_service = service;
    }
    // While the user is asked about it, the answer settles the record.
    if (!m_timer || !m_timer->recordedBooking() || !service || m_check ||
        m_asked == m_timer->recordedBooking()) {
        return;
    }
    const WorkLogBooking booking = *m_timer->recordedBooking();
    Issue task;
    task.id = booking.taskId;
    // Every start the tracker can have given it, and no more: one page in the common case.
    const DateInterval around = WorkLogBooking::startsAround(booking.started);
    QPointer<BookingRecovery> self(this);
    m_check = service->fetchOwnWorkEntries(task, around)
                  .receiveOn(this)
                  .sink(
                      [self, booking](const std::vector<WorkEntry>& entries) {
                          if (self) {
                              self->finish(booking, judge(entries, booking));
                          }
                      },
                      [self, booking](const APIError& error) {
                          if (self) {
                              self->fail(booking, error);
                          }
                      });
}

bool BookingRecovery::settle(const WorkLogBooking& booking) {
    if (m_check) {
        m_check->detach();
        m_check.reset();
    }
    // The timer moved on meanwhile (booked, reset): the record is no longer the one read.
    return m_timer && m_timer->recordedBooking() == booking;
}

void BookingRecovery::fail(const WorkLogBooking& booking, const APIError& error) {
    if (!settle(booking)) {
        return;
    }
    // Nothing was learnt: the record stays, so asking again (later, or at the next
    // start) still knows what to look for. The user hears of it once.
    recheckLater();
    if (m_toldFailure != booking) {
        m_toldFailure = booking;
        emit bookingCheckFailed(booking, error);
    }
}

void BookingRecovery::finish(const WorkLogBooking& booking, const Verdict& verdict) {
    if (!settle(booking)) {
        return;
    }
    if (verdict.kind == Verdict::Kind::saved) {
        // Only its seconds: the timer may have run on since (a check that could not
        // reach the tracker, and Later).
        m_timer->bookingFound(booking);
        return;
    }
    if (verdict.kind == Verdict::Kind::uncertain && verdict.entry) {
        // The record stays until the user answers: quitting (or a crash) with the
        // question open asks it again at the next start.
        m_asked = booking;
        emit bookingMayBe(booking, *verdict.entry);
        return;
    }
    if (m_unanswered == booking && booking.sent &&
        QDateTime::currentDateTime() < booking.sent->addSecs(arrivalWindow)) {
        // The tracker may not have taken in a booking whose answer timed out yet.
        recheckLater();
        return;
    }
    m_timer->forgetBooking();
    emit bookingMayNotHaveBeenSaved(booking);
}

void BookingRecovery::timerTaskChanged() {
    // Reset, or on to another task: what the timer holds now is none of the booking,
    // and an answer takes nothing off it.
    if (m_asked && m_timer && m_timer->recordedBooking() == m_asked) {
        m_timer->forgetBooking();
    }
    m_asked.reset();
}

void BookingRecovery::confirmSaved(const WorkLogBooking& booking) {
    if (!m_timer || m_asked != booking) {
        return;
    }
    m_asked.reset();
    // Only what was booked: time gathered while the question was open is time of its
    // own. The new time is on disk, and the record gone, before this returns.
    m_timer->bookingFound(booking);
}

void BookingRecovery::keepTime(const WorkLogBooking& booking) {
    if (!m_timer || m_asked != booking) {
        return;
    }
    m_asked.reset();
    m_timer->keepTimeOfBooking(booking);
}

} // namespace velmora
