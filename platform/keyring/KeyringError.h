#pragma once

#include <QString>

namespace velmora {

// Why a keyring call failed. None of these means "there are no credentials": the
// caller must not treat an unreachable keyring like an empty one.
struct KeyringError {
    enum class Kind {
        Unavailable, // no Secret Service on the bus, or no default keyring
        Locked,      // the keyring (or the item) is locked
        TimedOut,    // the keyring did not answer within the time bound
        Failed,      // any other failure of the service
    };
    Kind kind = Kind::Failed;
    QString message;

    QString description() const { return message; }
    friend bool operator==(const KeyringError&, const KeyringError&) = default;
};

} // namespace velmora
