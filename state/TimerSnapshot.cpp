#include "state/TimerSnapshot.h"

#include "platform/plist/PropertyList.h"
#include "state/BookingRecord.h"
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

constexpr std::array<TimerViewModel::State, 3> kStates{
    TimerViewModel::State::active, TimerViewModel::State::paused, TimerViewModel::State::cancelled};

using Decoded = Result<TimerSnapshot, QString>;

Decoded failure(const QString& text) {
    return Decoded::failure(text);
}

using SnapshotCoding::isNumber;

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

bool TimerSnapshot::isIdle() const {
    return !project && !task && state == TimerViewModel::State::cancelled && previousDuration == 0 &&
           !startedAt;
}

TimerSnapshot TimerSnapshot::withoutSeconds(double seconds, const QDateTime& now) const {
    if (!project || !task || !std::isfinite(seconds) || seconds <= 0) {
        return *this;
    }
    const double left = std::max(0.0, elapsed(now) - seconds);
    if (state != TimerViewModel::State::active && left < TimerViewModel::minimumBookable) {
        return TimerSnapshot{};
    }
    TimerSnapshot after = *this;
    after.previousDuration = left;
    if (after.startedAt) {
        after.startedAt = now;
    }
    return after;
}

std::optional<TimerSnapshot> TimerSnapshot::withSeconds(double seconds, const std::optional<Project>& project,
                                                        const Issue& task) const {
    if (!std::isfinite(seconds) || seconds <= 0) {
        return *this;
    }
    if (isIdle()) {
        if (!project) {
            return std::nullopt;
        }
        TimerSnapshot back;
        back.project = project;
        back.task = task;
        back.state = TimerViewModel::State::paused;
        back.previousDuration = seconds;
        return back;
    }
    if (!this->task || this->task->id != task.id) {
        return std::nullopt;
    }
    TimerSnapshot back = *this;
    back.previousDuration += seconds;
    return back;
}

QVariant TimerSnapshot::toSnapshot() const {
    QVariantMap map;
    map.insert(kProject, project ? SnapshotCoding::encode(*project) : PropertyList::null());
    map.insert(kTask, task ? SnapshotCoding::encode(*task) : PropertyList::null());
    map.insert(kState, QVariantMap{{stateName(state), QVariantMap{}}});
    map.insert(kPreviousDuration, previousDuration);
    map.insert(kStartedAt, startedAt ? QVariant(*startedAt) : PropertyList::null());
    return map;
}

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
        snapshot.booking = BookingRecord::decodeBooking(map.value(kBooking));
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
