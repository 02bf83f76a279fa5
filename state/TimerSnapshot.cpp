#include "state/TimerSnapshot.h"

#include "core/time/AbstractWorkLogForm.h"
#include "platform/plist/PropertyList.h"
#include "state/SnapshotCoding.h"

#include <QVariantMap>

#include <algorithm>
#include <array>
#include <cmath>

namespace velmora {

namespace {

const QString kProject = QStringLiteral("project");
const QString kTask = QStringLiteral("task");
const QString kState = QStringLiteral("state");
const QString kPreviousDuration = QStringLiteral("previousDuration");
const QString kStartedAt = QStringLiteral("startedAt");
const QString kBooking = QStringLiteral("booking");
const QString kBookingTask = QStringLiteral("task");
const QString kBookingStarted = QStringLiteral("started");
const QString kBookingSeconds = QStringLiteral("seconds");
const QString kBookingDescription = QStringLiteral("description");
const QString kBookingDating = QStringLiteral("dating");
const QString kBookingSent = QStringLiteral("sent");
const QString kBookingSentMs = QStringLiteral("sentMs");
const QString kBookingTrackerClock = QStringLiteral("trackerClock");
const QString kBookingBefore = QStringLiteral("before");
const QString kClockLeast = QStringLiteral("least");
const QString kClockMost = QStringLiteral("most");
const QString kDatingExact = QStringLiteral("exact");
const QString kDatingDay = QStringLiteral("day");

constexpr std::array<TimerViewModel::State, 3> kStates{
    TimerViewModel::State::active, TimerViewModel::State::paused, TimerViewModel::State::cancelled};

using Decoded = Result<TimerSnapshot, QString>;

Decoded failure(const QString& text) {
    return Decoded::failure(text);
}

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

} // namespace

QString TimerSnapshot::stateName(TimerViewModel::State state) {
    switch (state) {
    case TimerViewModel::State::active:
        return QStringLiteral("active");
    case TimerViewModel::State::paused:
        return QStringLiteral("paused");
    case TimerViewModel::State::cancelled:
        break;
    }
    return QStringLiteral("cancelled");
}

double TimerSnapshot::elapsed(const QDateTime& now) const {
    const qint64 running =
        startedAt && startedAt->isValid() ? std::max<qint64>(startedAt->msecsTo(now), 0) : 0;
    return previousDuration + running / 1000.0;
}

QVariant TimerSnapshot::toSnapshot() const {
    QVariantMap map;
    map.insert(kProject, project ? SnapshotCoding::encode(*project) : PropertyList::null());
    map.insert(kTask, task ? SnapshotCoding::encode(*task) : PropertyList::null());
    map.insert(kState, QVariantMap{{stateName(state), QVariantMap{}}});
    map.insert(kPreviousDuration, previousDuration);
    map.insert(kStartedAt, startedAt ? QVariant(*startedAt) : PropertyList::null());
    if (booking) {
        QVariantMap record{{kBookingTask, booking->taskId},
                           {kBookingStarted, booking->started},
                           {kBookingSeconds, booking->seconds},
                           {kBookingDescription, booking->description}};
        if (booking->dating) {
            record.insert(kBookingDating,
                          *booking->dating == WorkLogBooking::Dating::day ? kDatingDay : kDatingExact);
        }
        if (booking->sent) {
            // The date form keeps whole seconds only (older versions read it); the
            // milliseconds decide which side of the moment an entry lies on.
            record.insert(kBookingSent, *booking->sent);
            if (!booking->sentToTheSecond) {
                record.insert(kBookingSentMs, booking->sent->toMSecsSinceEpoch());
            }
        }
        if (booking->trackerClock) {
            record.insert(kBookingTrackerClock, QVariantMap{{kClockLeast, booking->trackerClock->least},
                                                            {kClockMost, booking->trackerClock->most}});
        }
        if (booking->before) {
            QVariantList ids;
            for (const QString& id : *booking->before) {
                ids.append(id);
            }
            record.insert(kBookingBefore, ids);
        }
        map.insert(kBooking, record);
    }
    return map;
}

namespace {
std::optional<WorkLogBooking> decodeBooking(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    const QVariant task = map.value(kBookingTask);
    const QVariant started = map.value(kBookingStarted);
    const QVariant seconds = map.value(kBookingSeconds);
    const QVariant description = map.value(kBookingDescription);
    if (task.typeId() != QMetaType::QString || started.typeId() != QMetaType::QDateTime ||
        !started.toDateTime().isValid() || !isNumber(seconds) || !std::isfinite(seconds.toDouble()) ||
        std::abs(seconds.toDouble()) > 1e12 || description.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    WorkLogBooking booking{task.toString(), started.toDateTime(), static_cast<qint64>(seconds.toDouble()),
                           description.toString()};
    // Later additions: a record without them (or with a value that does not read) is
    // judged with less to go on, never dropped.
    const QVariant dating = map.value(kBookingDating);
    if (dating.typeId() == QMetaType::QString && dating.toString() == kDatingExact) {
        booking.dating = WorkLogBooking::Dating::exact;
    } else if (dating.typeId() == QMetaType::QString && dating.toString() == kDatingDay) {
        booking.dating = WorkLogBooking::Dating::day;
    }
    const QVariant sent = map.value(kBookingSent);
    const QVariant sentMs = map.value(kBookingSentMs);
    if (isNumber(sentMs) && std::isfinite(sentMs.toDouble()) && std::abs(sentMs.toDouble()) <= 1e15) {
        booking.sent = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(sentMs.toDouble()));
    } else if (sent.typeId() == QMetaType::QDateTime && sent.toDateTime().isValid()) {
        booking.sent = sent.toDateTime();
        booking.sentToTheSecond = true;
    }
    // Without it (or unreadable) the tracker's clock is unknown: the check then asks
    // rather than trusting a creation time.
    const QVariantMap clock = map.value(kBookingTrackerClock).toMap();
    const QVariant least = clock.value(kClockLeast);
    const QVariant most = clock.value(kClockMost);
    const auto plausible = [](const QVariant& value) {
        return isNumber(value) && std::isfinite(value.toDouble()) && std::abs(value.toDouble()) <= 1e12;
    };
    if (plausible(least) && plausible(most) && least.toDouble() <= most.toDouble()) {
        booking.trackerClock =
            ClockOffset{static_cast<qint64>(least.toDouble()), static_cast<qint64>(most.toDouble())};
    }
    // The entries there before it left. Only a list of ids that reads whole counts: a
    // list partly read would make a listed look-alike seem new.
    const QVariant before = map.value(kBookingBefore);
    if (before.typeId() == QMetaType::QVariantList || before.typeId() == QMetaType::QStringList) {
        const QVariantList ids = before.toList();
        std::vector<QString> listed;
        bool whole = ids.size() <= qsizetype(AbstractWorkLogForm::entriesBeforeKept);
        for (qsizetype i = 0; whole && i < ids.size(); ++i) {
            whole = ids.at(i).typeId() == QMetaType::QString;
            listed.push_back(ids.at(i).toString());
        }
        if (whole) {
            booking.before = std::move(listed);
        }
    }
    return booking;
}
} // namespace

Result<TimerSnapshot, QString> TimerSnapshot::decode(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return failure(QStringLiteral("A timer entry must be a dictionary."));
    }
    const QVariantMap map = stored.toMap();
    for (const auto& key : {kProject, kTask, kState, kPreviousDuration, kStartedAt}) {
        if (!map.contains(key)) {
            return failure(QStringLiteral("Missing key \"%1\".").arg(key));
        }
    }

    TimerSnapshot snapshot;
    if (const QVariant& project = map.value(kProject); !PropertyList::isNull(project)) {
        auto decoded = SnapshotCoding::decode<Project>(project);
        if (!decoded.ok()) {
            return failure(decoded.error());
        }
        snapshot.project = std::move(decoded).value();
    }
    if (const QVariant& task = map.value(kTask); !PropertyList::isNull(task)) {
        auto decoded = SnapshotCoding::decode<Issue>(task);
        if (!decoded.ok()) {
            return failure(decoded.error());
        }
        snapshot.task = std::move(decoded).value();
    }

    const QVariant state = map.value(kState);
    const QVariantMap stateMap = state.typeId() == QMetaType::QVariantMap ? state.toMap() : QVariantMap{};
    bool stateFound = false;
    if (stateMap.size() == 1) {
        for (const auto candidate : kStates) {
            if (stateMap.firstKey() == stateName(candidate) &&
                stateMap.first().typeId() == QMetaType::QVariantMap) {
                snapshot.state = candidate;
                stateFound = true;
            }
        }
    }
    if (!stateFound) {
        return failure(QStringLiteral("Invalid number of keys found, expected one."));
    }

    const QVariant duration = map.value(kPreviousDuration);
    if (!isNumber(duration) || !std::isfinite(duration.toDouble())) {
        return failure(QStringLiteral("\"previousDuration\" must be a number of seconds."));
    }
    snapshot.previousDuration = duration.toDouble();

    if (const QVariant& startedAt = map.value(kStartedAt); !PropertyList::isNull(startedAt)) {
        if (startedAt.typeId() != QMetaType::QDateTime || !startedAt.toDateTime().isValid()) {
            return failure(QStringLiteral("\"startedAt\" must be a date."));
        }
        snapshot.startedAt = startedAt.toDateTime().toLocalTime();
    }
    if (map.contains(kBooking)) {
        snapshot.booking = decodeBooking(map.value(kBooking));
    }
    return Decoded::success(std::move(snapshot));
}

std::optional<TimerSnapshot> TimerSnapshot::fromSnapshot(const QVariant& stored) {
    auto decoded = decode(stored);
    if (!decoded.ok()) {
        return std::nullopt;
    }
    return std::move(decoded).value();
}

} // namespace velmora
