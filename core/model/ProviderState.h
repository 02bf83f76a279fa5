#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <optional>

namespace velmora {

// The state of an account; the raw text (the case name) is what the account store
// keeps. Only `operational` accounts are opened in the main window.
enum class ProviderState {
    operational,
    // No credentials in the keyring, or the tracker refused them for good.
    missingCredentials,
    // Nothing in this app sets it, but a stored account in this state is read and
    // treated like any account that is not operational.
    missingParameters,
};

inline constexpr std::array<ProviderState, 3> allProviderStates{
    ProviderState::operational, ProviderState::missingCredentials, ProviderState::missingParameters};

// "operational", "missingCredentials", "missingParameters".
QString rawText(ProviderState state);

// By exact, case-sensitive comparison; anything else is none.
std::optional<ProviderState> providerStateFromRawText(QStringView text);

inline std::size_t qHash(ProviderState state, std::size_t seed = 0) {
    return qHash(rawText(state), seed);
}

} // namespace velmora
