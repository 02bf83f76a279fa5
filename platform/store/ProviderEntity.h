#pragma once

#include "platform/store/ProviderUserEntity.h"

#include <QString>
#include <QUuid>

#include <optional>

namespace velmora {

// One stored account, as the store keeps it: plain texts, no interpretation. The
// account values in core turn it into a typed account and back; a row that they
// cannot read (damaged, written by something else) stays a row here.
struct ProviderEntity {
    // Null only for a row whose stored id text is not a UUID.
    QUuid id;
    QString name;
    // The account's parameters as JSON text.
    QString parametersValue;
    // "operational", "missingCredentials" or "missingParameters".
    QString stateValue;
    // "YouTrack", "Jira" or "Asana".
    QString typeValue;
    // The linked owner row. When writing an existing account, an absent user leaves
    // the stored owner row as it is.
    std::optional<ProviderUserEntity> user;

    friend bool operator==(const ProviderEntity&, const ProviderEntity&) = default;
};

} // namespace velmora
