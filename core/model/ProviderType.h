#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <optional>

namespace velmora {

// The tracker kind of an account. The raw text is what the account store keeps;
// the order is the order of `allProviderTypes`.
enum class ProviderType { youTrack, jira, asana };

inline constexpr std::array<ProviderType, 3> allProviderTypes{ProviderType::youTrack, ProviderType::jira,
                                                              ProviderType::asana};

// "YouTrack", "Jira", "Asana".
QString rawText(ProviderType type);

// By exact, case-sensitive comparison with the raw texts; anything else is none.
std::optional<ProviderType> providerTypeFromRawText(QStringView text);

// The name of the tracker's logo among the app's images (the raw text).
QString imageName(ProviderType type);

inline std::size_t qHash(ProviderType type, std::size_t seed = 0) {
    return qHash(rawText(type), seed);
}

} // namespace velmora
