#pragma once

#include <QString>

namespace velmora {

// The stored owner of an account: one row per account, linked to it (the account
// row holds it as its `user`). A text column that holds nothing reads as empty text.
struct ProviderUserEntity {
    QString externalId;
    QString avatar;
    QString name;

    friend bool operator==(const ProviderUserEntity&, const ProviderUserEntity&) = default;
};

} // namespace velmora
