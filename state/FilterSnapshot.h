#pragma once

#include "core/model/Issue.h"
#include "core/model/User.h"
#include "core/storage/SnapshotManager.h"

#include <QString>
#include <QVariant>

#include <optional>

namespace velmora {

// The task filter a project's list had when it was last left, kept in the
// snapshot's "filters" map under key(project id).
//
// Stored form: a dictionary with the optional keys "state" (an Issue::State record)
// and "assignee" (a User record); an absent filter is left out.
struct FilterSnapshot {
    static constexpr SnapshotKind snapshotKind = SnapshotKind::Filters;

    std::optional<Issue::State> state;
    std::optional<User> assignee;

    // The project's id followed by "-filters".
    static QString key(const QString& projectId) { return projectId + QStringLiteral("-filters"); }

    QVariant toSnapshot() const;
    static std::optional<FilterSnapshot> fromSnapshot(const QVariant& stored);

    friend bool operator==(const FilterSnapshot&, const FilterSnapshot&) = default;
};

static_assert(Snapshotable<FilterSnapshot>);

} // namespace velmora
