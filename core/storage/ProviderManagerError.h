#pragma once

#include "platform/keyring/KeyringError.h"

#include <QString>

#include <optional>

namespace velmora {

// Why a change of a stored account did not (fully) happen. The text is for the log,
// never shown as it is.
struct ProviderManagerError {
    enum class Kind {
        NotFound, // no stored account has that id
        Database, // the account store refused the change; nothing was changed
        Keyring,  // the keyring failed (see `keyring`)
    };
    Kind kind;
    QString message;
    std::optional<KeyringError> keyring;

    QString description() const { return message; }
};

} // namespace velmora
