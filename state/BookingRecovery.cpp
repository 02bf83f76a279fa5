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
    // Looks like it, but was made too late to be sure (or when is not known).
    unsure,
};

Standing standing(const WorkEntry& entry, const WorkLogBooking& booking) {
    // A start kept to the second is the booking's own: an earlier booking of the same
    // minutes started earlier.
    if (booking.dating != WorkLogBooking::Dating::day && sameStart(entry, booking)) {
        return Standing::arrived;
    }
    // Records of trackers that date by the day were made as the booking left: their
    // start is when it left.
    const QDateTime left = booking.sent.value_or(booking.started);
    if (!entry.created || !entry.created->isValid()) {
        return Standing::unsure;
    }
    const qint64 after = left.secsTo(*entry.created);
    if (after < -BookingRecovery::clockTolerance) {
        return Standing::earlier;
    }
    return after <= BookingRecovery::arrivalWindow ? Standing::arrived : Standing::unsure;
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

BookingRecovery::BookingRecovery(TimerViewModel& timer, QObject* parent) : QObject(parent), m_timer(&timer) {}

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
                      [self, booking](const APIError&) {
                          if (self) {
                              self->finish(booking, std::nullopt);
                          }
                      });
}

void BookingRecovery::finish(const WorkLogBooking& booking, const std::optional<Verdict>& verdict) {
    if (m_check) {
        m_check->detach();
        m_check.reset();
    }
    // The timer moved on meanwhile (booked, reset): the record is no longer the one read.
    if (!m_timer || m_timer->recordedBooking() != booking) {
        return;
    }
    if (verdict && verdict->kind == Verdict::Kind::saved) {
        m_timer->reset();
        return;
    }
    m_timer->forgetBooking();
    if (verdict && verdict->kind == Verdict::Kind::uncertain && verdict->entry) {
        emit bookingMayBe(booking, *verdict->entry);
        return;
    }
    emit bookingMayNotHaveBeenSaved(booking);
}

void BookingRecovery::confirmSaved(const WorkLogBooking& booking) {
    // As after a booking answered late: time gathered since (the timer runs again) is
    // time of its own.
    if (m_timer && m_timer->task() && m_timer->task()->id == booking.taskId &&
        m_timer->state() == TimerViewModel::State::paused) {
        m_timer->reset();
    }
}

} // namespace velmora
