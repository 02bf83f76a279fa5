#pragma once

#include "core/model/Hashing.h"

#include <QString>

#include <cstddef>
#include <functional>

namespace velmora {

// The tracker user who owns an account, as the account store keeps it.
struct ProviderUser {
    QString externalId;
    QString name;
    // The avatar image's address; empty when the tracker gave none.
    QString avatar;

    friend bool operator==(const ProviderUser&, const ProviderUser&) = default;
};

inline std::size_t qHash(const ProviderUser& user, std::size_t seed = 0) {
    return HashBuilder(seed).add(user.externalId).add(user.name).add(user.avatar).result();
}

} // namespace velmora

template <> struct std::hash<velmora::ProviderUser> {
    std::size_t operator()(const velmora::ProviderUser& user) const { return velmora::qHash(user); }
};
