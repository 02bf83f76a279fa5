#pragma once

#include "core/model/APIError.h"
#include "core/model/AsanaProvider.h"
#include "platform/async/Cancellable.h"
#include "platform/async/Publisher.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace velmora {

// Makes sure an Asana account exchanges its refresh token once, however many of its
// requests meet an expired token at the same time and however many services of the
// account exist (every state object makes its own).
//
// The maker's server rotates refresh tokens: a second exchange of the same token
// would be refused and cost the user the account, so concurrent askers share one
// exchange, a late asker whose token was already exchanged gets the pair it was
// exchanged for, and an exchange runs to its end even when everyone who asked has
// gone (its new pair must still reach the keyring).
class AsanaRefreshCoordinator {
public:
    using Credentials = AsanaProvider::Credentials;
    using CredentialsPublisher = Publisher<Credentials, APIError>;

    static AsanaRefreshCoordinator& shared();

    // Decided when subscribed: the pair `expiredToken` was already exchanged for; or
    // the outcome of the account's exchange under way; or the outcome of `exchange`,
    // started now and shared with everyone who asks before it ends.
    CredentialsPublisher refresh(const QUuid& account, const QString& expiredToken,
                                 std::function<CredentialsPublisher()> exchange);

    // Forgets every finished exchange (tests).
    void reset();

private:
    struct Flight {
        QString fromToken;
        std::map<std::uint64_t, std::function<void(Result<Credentials, APIError>)>> waiters;
        std::uint64_t nextWaiter = 0;
        Cancellable running;
        bool finished = false;
    };
    struct Exchange {
        QString fromToken;
        Credentials to;
    };

    void finish(const QUuid& account, const std::shared_ptr<Flight>& flight,
                Result<Credentials, APIError> result);

    std::mutex m_mutex;
    std::map<QUuid, std::shared_ptr<Flight>> m_flights;
    std::map<QUuid, Exchange> m_exchanged;
};

} // namespace velmora
