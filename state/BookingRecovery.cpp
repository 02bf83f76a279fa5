#include "state/BookingRecovery.h"

#include "core/model/DateInterval.h"
#include "core/model/ProviderService.h"
#include "state/TimerViewModel.h"

#include <QTime>
#include <QTimeZone>

#include <cmath>

namespace velmora {

namespace {

bool sameMinutes(const WorkEntry& entry, const WorkLogBooking& booking) {
    return std::isfinite(entry.spentTimeSeconds) && std::abs(entry.spentTimeSeconds) < 1e12 &&
           std::llround(entry.spentTimeSeconds / 60.0) ==
               std::llround(static_cast<double>(booking.seconds) / 60.0);
}

bool sameStart(const WorkEntry& entry, const WorkLogBooking& booking) {
    return std::abs(entry.started.msecsTo(booking.started)) < 1000;
}

// The day the booking arrived, in the zone the tracker dates its entries in. A record
// that does not say how its tracker dates entries takes only entries dated at midnight
// for entries dated by the day: its start may be the work's own.
bool sameDay(const WorkEntry& entry, const WorkLogBooking& booking) {
    const QDateTime sent = booking.sent.value_or(booking.started).toTimeZone(entry.started.timeZone());
    return (booking.dating || entry.started.time() == QTime(0, 0)) && entry.started.date() == sent.date() &&
           entry.description.value_or(QString()) == booking.description;
}

// Where an entry stands against the booking.
enum class Standing {
    // Made before the booking left: another booking.
    earlier,
    // Can be the booking.
    arrived,
    // Looks like it, but the app cannot tell: made so close to the moment the booking
    // left that it may be an earlier one, or too late to be sure, or when (or on which
    // clock) is not known.
    unsure,
};

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
        return Standing::unsure;
    }
    const qint64 made = left.msecsTo(*entry.created);
    const ClockOffset& clock = *booking.trackerClock;
    // On the tracker's clock the booking left between these two moments.
    const qint64 leftEarliest = clock.least - BookingRecovery::stampSlack;
    const qint64 leftLatest = clock.most + BookingRecovery::stampSlack;
    if (made < leftEarliest) {
        return Standing::earlier;
    }
    if (made < leftLatest) {
        return Standing::unsure;
    }
    return made <= leftLatest + BookingRecovery::arrivalWindow * 1000 ? Standing::arrived : Standing::unsure;
}

} // namespace

bool BookingRecovery::looksLike(const WorkEntry& entry, const WorkLogBooking& booking) {
    if (entry.issue.id != booking.taskId || !entry.started.isValid() || !booking.started.isValid() ||
        !sameMinutes(entry, booking)) {
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
}

BookingRecovery::~BookingRecovery() = default;

void BookingRecovery::check(const std::shared_ptr<ProviderService>& service) {
    if (!m_timer || !m_timer->recordedBooking() || !service || m_check) {
        return;
    }
    const WorkLogBooking booking = *m_timer->recordedBooking();
    Issue task;
    task.id = booking.taskId;
    const DateInterval around{booking.started.addDays(-1), booking.started.addDays(1)};
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
    // Nothing was learnt: the record stays, so asking again (now or at the next start)
    // still knows what to look for.
    emit bookingCheckFailed(booking, error);
}

void BookingRecovery::finish(const WorkLogBooking& booking, const Verdict& verdict) {
    if (!settle(booking)) {
        return;
    }
    if (verdict.kind == Verdict::Kind::saved) {
        m_timer->reset();
        return;
    }
    m_timer->forgetBooking();
    if (verdict.kind == Verdict::Kind::uncertain && verdict.entry) {
        m_asked = booking;
        emit bookingMayBe(booking, *verdict.entry);
        return;
    }
    emit bookingMayNotHaveBeenSaved(booking);
}

void BookingRecovery::timerTaskChanged() {
    // Reset, or on to another task: what the timer holds now is none of the booking.
    m_asked.reset();
}

void BookingRecovery::confirmSaved(const WorkLogBooking& booking) {
    if (!m_timer || m_asked != booking) {
        return;
    }
    m_asked.reset();
    // Only what was booked: time gathered while the question was open is time of its own.
    m_timer->takeOff(static_cast<double>(booking.seconds));
}

} // namespace velmora
