#pragma once

#include "core/model/AsanaProvider.h"
#include "core/model/JiraProvider.h"
#include "core/model/ProviderProtocol.h"
#include "core/model/YouTrackProvider.h"
#include "platform/async/Result.h"
#include "platform/store/ProviderEntity.h"

#include <QString>
#include <QUuid>

#include <optional>
#include <variant>
#include <vector>

namespace velmora {

static_assert(ProviderProtocol<JiraProvider>);
static_assert(ProviderProtocol<AsanaProvider>);
static_assert(ProviderProtocol<YouTrackProvider>);

// Any account, whatever its tracker: what menus, the window manager, the state
// objects and the background job hold. `std::visit` (or `std::get_if`) reaches the
// concrete account when the tracker matters.
using AnyProvider = std::variant<JiraProvider, AsanaProvider, YouTrackProvider>;

// The common fields, for reading or changing.
const ProviderBase& providerBase(const AnyProvider& provider);
ProviderBase& providerBase(AnyProvider& provider);

inline const std::optional<QUuid>& providerId(const AnyProvider& provider) {
    return providerBase(provider).id();
}
inline const QString& providerName(const AnyProvider& provider) {
    return providerBase(provider).name();
}
inline ProviderType providerType(const AnyProvider& provider) {
    return providerBase(provider).type();
}
inline ProviderState providerState(const AnyProvider& provider) {
    return providerBase(provider).state();
}
inline const std::optional<ProviderUser>& providerUser(const AnyProvider& provider) {
    return providerBase(provider).user();
}

// The account of a stored row, of the kind its type text names. Fails with a text
// for the log when the row cannot be read (unknown kind or state, no id, parameters
// that do not decode).
Result<AnyProvider, QString> anyProviderFromEntity(const ProviderEntity& entity);

// The row that keeps the account (null id for an account not saved yet).
ProviderEntity toEntity(const AnyProvider& provider);

// The accounts of stored rows, in row order. A row that cannot be read is left out
// with a line in the "Data Manager" log: one damaged row never hides the others.
std::vector<AnyProvider> providersFromEntities(const std::vector<ProviderEntity>& entities);

} // namespace velmora
