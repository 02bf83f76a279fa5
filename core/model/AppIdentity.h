#pragma once

#include <QString>
#include <QUuid>

namespace velmora {

// The application's bundle identifier: the subsystem of the loggers, the prefix of
// keyring items and of worker-queue names.
inline constexpr char bundleIdentifier[] = "app.velmora.Velmora";

// An account id as every store keys it (account row, keyring item, timer snapshot,
// the "defaultAccount" setting): the canonical upper-case UUID text without braces.
inline QString uuidText(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

} // namespace velmora
