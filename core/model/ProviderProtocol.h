#pragma once

#include "core/model/ProviderBase.h"
#include "platform/async/Result.h"
#include "platform/store/ProviderEntity.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <concepts>
#include <type_traits>

namespace velmora {

// The contracts that bind each tracker's account value with its parameters and
// credentials (JiraProvider, AsanaProvider, YouTrackProvider fulfil them).

// An account's tracker-specific settings: compared by value, coded as JSON (kept as
// text in the account row).
template <typename P>
concept ProviderParameters = std::equality_comparable<P> && std::default_initializable<P> &&
    requires(const P& value, P& target, nlohmann::ordered_json& out, const nlohmann::ordered_json& in) {
    to_json(out, value);
    from_json(in, target);
};

// An account's secrets: coded as JSON (the keyring item's content), named by the
// tracker's `identifier`, with every text empty in `empty()`.
template <typename C>
concept ProviderCredentials = std::equality_comparable<C> && std::default_initializable<C> &&
    requires(const C& value, C& target, nlohmann::ordered_json& out, const nlohmann::ordered_json& in) {
    { C::identifier() } -> std::convertible_to<QString>;
    { C::empty() } -> std::same_as<C>;
    to_json(out, value);
    from_json(in, target);
};

// An account value: the common fields of ProviderBase, the kind's parameters, and
// the way to and from its store row. Loading its credentials from the keyring is the
// account store's business (it marks the account when there are none).
template <typename P>
concept ProviderProtocol = std::derived_from<P, ProviderBase> && std::equality_comparable<P> &&
    ProviderParameters<typename P::Parameters> && ProviderCredentials<typename P::Credentials> &&
    requires(const P& provider, P& mutableProvider, const ProviderEntity& entity,
             typename P::Parameters parameters) {
    { P::providerType } -> std::convertible_to<ProviderType>;
    { provider.parameters() } -> std::same_as<const typename P::Parameters&>;
    mutableProvider.setParameters(parameters);
    { P::fromEntity(entity) } -> std::same_as<Result<P, QString>>;
    { provider.toEntity() } -> std::same_as<ProviderEntity>;
};

} // namespace velmora
