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
// Earlier versions kept a booking of the timer's time that was on its way under a sixth
// key "booking" (the form BookingRecord::encodeBooking reads). It is read so that the
// booking records take it over (BookingRecords), never written; a record that does not
// read is left out rather than losing the timer.
struct TimerSnapshot {
    static constexpr SnapshotKind snapshotKind = SnapshotKind::Timers;

    std::optional<Project> project;
    std::optional<Issue> task;
    TimerViewModel::State state = TimerViewModel::State::cancelled;
    double previousDuration = 0;
    std::optional<QDateTime> startedAt;
    // A booking kept by an earlier version (see above); never written.
    std::optional<WorkLogBooking> booking;

    QVariant toSnapshot() const;
    // The stored entry, or why it cannot be read.
    static Result<TimerSnapshot, QString> decode(const QVariant& stored);
    static std::optional<TimerSnapshot> fromSnapshot(const QVariant& stored);

    // The seconds the timer holds at `now`: a running one counts on from its start.
    double elapsed(const QDateTime& now) const;
    // Whether it holds nothing (a new or reset timer): such a timer is not kept.
    bool isIdle() const;

    // The timer once a booking took `seconds` of its time at `now`: whatever it did since
    // the booking was typed is time of its own. A paused timer left with less than a
    // bookable minute is idle again; a running one counts on from what is left.
    TimerSnapshot withoutSeconds(double seconds, const QDateTime& now) const;
    // The timer with the `seconds` of a booking that was not saved back on it: added
    // to its time when it tracks `task`, or put on an idle timer, paused. Absent when it
    // tracks another task: that time is its own, and the seconds go elsewhere.
    std::optional<TimerSnapshot> withSeconds(double seconds, const std::optional<Project>& project,
                                             const Issue& task) const;

    // "active", "paused", "cancelled".
    static QString stateName(TimerViewModel::State state);

    friend bool operator==(const TimerSnapshot&, const TimerSnapshot&) = default;
};

static_assert(Snapshotable<TimerSnapshot>);

} // namespace velmora
