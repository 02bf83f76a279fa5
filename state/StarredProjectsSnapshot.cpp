#include "state/StarredProjectsSnapshot.h"

#include <QVariantList>
#include <QVariantMap>

namespace velmora {

namespace {
const QString kProjects = QStringLiteral("projects");
} // namespace

QVariant StarredProjectsSnapshot::toSnapshot() const {
    QVariantList ids;
    ids.reserve(static_cast<qsizetype>(projects.size()));
    for (const auto& id : projects) {
        ids.push_back(id);
    }
    return QVariantMap{{kProjects, ids}};
}

std::optional<StarredProjectsSnapshot> StarredProjectsSnapshot::fromSnapshot(const QVariant& stored) {
    if (stored.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap map = stored.toMap();
    const QVariant ids = map.value(kProjects);
    if (ids.typeId() != QMetaType::QVariantList && ids.typeId() != QMetaType::QStringList) {
        return std::nullopt;
    }
    StarredProjectsSnapshot snapshot;
    for (const auto& id : ids.toList()) {
        if (id.typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        snapshot.projects.push_back(id.toString());
    }
    return snapshot;
}

} // namespace velmora
