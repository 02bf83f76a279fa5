#pragma once

#include "core/model/AppIdentity.h"
#include "core/model/Logger.h"
#include "core/model/ProviderProtocol.h"
#include "core/storage/CredentialsManager.h"
#include "platform/async/Result.h"

#include <QUuid>

namespace velmora {

// Marks the account `missingCredentials` in the account store and lets the shell choose
// the current account again (showing the window that fits). Main-thread work: called
// from another thread, it is handed to the main thread and returns at once.
void markMissingCredentials(const QUuid& id);

// The account's credentials from the keyring, for making its tracker service.
//
// An account without stored credentials (no item, or one that does not hold
// credentials of its kind) is marked `missingCredentials` (see above) and gets its
// kind's empty credentials, so the service it is made into fails and the user is asked
// to sign in again. A keyring that fails (locked, absent, not answering) is reported as
// an error instead and marks nothing: the credentials may well be there.
//
// The account must have been saved (have an id).
template <ProviderProtocol P>
Result<typename P::Credentials, KeyringError>
loadCredentials(const P& provider, CredentialsManager& manager = CredentialsManager::shared()) {
    using C = typename P::Credentials;
    using R = Result<C, KeyringError>;
    Q_ASSERT_X(provider.id().has_value(), "loadCredentials", "Provider credentials are not initialised");
    if (!provider.id()) {
        logError(Logger::keychain(),
                 QStringLiteral("[CredentialsManager] Provider credentials are not initialised"));
        return R::success(C::empty());
    }
    const QUuid id = *provider.id();
    auto loaded = manager.template load<C>(uuidText(id));
    if (!loaded.ok()) {
        return R::failure(loaded.error());
    }
    if (loaded.value()) {
        return R::success(*loaded.value());
    }
    markMissingCredentials(id);
    return R::success(C::empty());
}

} // namespace velmora
