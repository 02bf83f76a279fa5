#pragma once

#include "core/storage/SnapshotManager.h"

#include <QString>
#include <QVariant>

#include <optional>
#include <vector>

namespace velmora {

// The projects an account has starred, kept in the snapshot's "starredProjects" map
// under the account's id (upper-case UUID text).
//
// Stored form: a dictionary with the one required key "projects", an array of
// project ids in the order they were starred.
struct StarredProjectsSnapshot {
    static constexpr SnapshotKind snapshotKind = SnapshotKind::StarredProjects;

    std::vector<QString> projects;

    QVariant toSnapshot() const;
    static std::optional<StarredProjectsSnapshot> fromSnapshot(const QVariant& stored);

    friend bool operator==(const StarredProjectsSnapshot&, const StarredProjectsSnapshot&) = default;
};

static_assert(Snapshotable<StarredProjectsSnapshot>);

} // namespace velmora
