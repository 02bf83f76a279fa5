#include "state/FilterSnapshot.h"

#include "platform/plist/PropertyList.h"
#include "state/SnapshotCoding.h"

#include <QVariantMap>

namespace velmora {

namespace {
const QString kFilterState = QStringLiteral("state");
const QString kAssignee = QStringLiteral("assignee");
} // namespace

QVariant FilterSnapshot::toSnapshot() const {
    QVariantMap map;
    if (state) {
        map.insert(kFilterState, SnapshotCoding::encode(*state));
    }
    if (assignee) {
        map.insert(kAssignee, SnapshotCoding::encode(*assignee));
    }
    return map;
}

std::optional<FilterSnapshot> FilterSnapshot::fromSnapshot(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    FilterSnapshot snapshot;
    if (const QVariant state = map.value(kFilterState); state.isValid() && !PropertyList::isNull(state)) {
        auto decoded = SnapshotCoding::decode<Issue::State>(state);
        if (!decoded.ok()) {
            return std::nullopt;
        }
        snapshot.state = std::move(decoded).value();
    }
    if (const QVariant assignee = map.value(kAssignee);
        assignee.isValid() && !PropertyList::isNull(assignee)) {
        auto decoded = SnapshotCoding::decode<User>(assignee);
        if (!decoded.ok()) {
            return std::nullopt;
        }
        snapshot.assignee = std::move(decoded).value();
    }
    return snapshot;
}

} // namespace velmora
