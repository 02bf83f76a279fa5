#pragma once

#include "platform/async/Result.h"
#include "platform/keyring/KeyringError.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace velmora {

// A store of one secret per account name. The secret itself is only ever in the value;
// `kind` is a plain, non-secret label kept beside it (which tracker the secret is for).
// Calls are synchronous and safe from any thread.
class Keyring {
public:
    virtual ~Keyring() = default;

    // The account's secret; none when the keyring has no item for it.
    virtual Result<std::optional<QByteArray>, KeyringError> load(const QString& account) = 0;
    // Creates the account's item or overwrites it in place. Never deletes first, so a
    // failed store leaves the previous secret as it was.
    virtual Result<Void, KeyringError> store(const QString& account, const QString& kind,
                                             const QByteArray& secret) = 0;
    // True when an item was removed, false when there was none.
    virtual Result<bool, KeyringError> remove(const QString& account) = 0;
    // Starts, without waiting for it, what every call needs first (a keyring service's
    // connection), so the first call that follows is quicker; given an account, its item
    // is read ahead too, and the next load, if it is that account's, takes what was read
    // (any other call sets it aside). Nothing by default.
    virtual void connectAhead(const QString& account = {}) { (void)account; }
    // Sets aside what was read ahead and not yet taken, so the secret is not kept.
    virtual void forgetAhead() {}
};

} // namespace velmora
