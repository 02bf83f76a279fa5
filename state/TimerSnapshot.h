#pragma once

#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/storage/SnapshotManager.h"
#include "core/time/WorkLogBooking.h"
#include "platform/async/Result.h"
#include "state/TimerViewModel.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <optional>

namespace velmora {

// The saved form of an account's timer, in the snapshot's "timers" map under the
// account's id.
//
// Stored form: a dictionary with the five keys "project", "task", "state",
// "previousDuration" and "startedAt", all required; an absent project, task or start
// is the property list's null marker. "state" is a dictionary with exactly one key,
// the state's name ("active", "paused", "cancelled"), holding an empty dictionary.
// While a booking of the timer's time is on its way, a sixth key "booking" holds it
// ("task", "started", "seconds", "description", and since later "dating" — "exact" or
// "day" —, "sent" and "trackerClock" — "least" and "most", milliseconds —, and later
// still "sentMs" — "sent" to the millisecond — and "before" — the ids of look-alike
// entries there before it left —, all optional); files without it read as before, and a
// record that does not read is left out rather than losing the timer.
struct TimerSnapshot {
    static constexpr SnapshotKind snapshotKind = SnapshotKind::Timers;

    std::optional<Project> project;
    std::optional<Issue> task;
    TimerViewModel::State state = TimerViewModel::State::cancelled;
    double previousDuration = 0;
    std::optional<QDateTime> startedAt;
    std::optional<WorkLogBooking> booking;

    QVariant toSnapshot() const;
    // The stored entry, or why it cannot be read.
    static Result<TimerSnapshot, QString> decode(const QVariant& stored);
    static std::optional<TimerSnapshot> fromSnapshot(const QVariant& stored);

    // The seconds the timer holds at `now`: a running one counts on from its start.
    double elapsed(const QDateTime& now) const;

    // "active", "paused", "cancelled".
    static QString stateName(TimerViewModel::State state);

    friend bool operator==(const TimerSnapshot&, const TimerSnapshot&) = default;
};

static_assert(Snapshotable<TimerSnapshot>);

} // namespace velmora
