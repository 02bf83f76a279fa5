#include "core/model/ProviderState.h"

namespace velmora {

QString rawText(ProviderState state) {
    switch (state) {
    case ProviderState::operational:
        return QStringLiteral("operational");
    case ProviderState::missingCredentials:
        return QStringLiteral("missingCredentials");
    case ProviderState::missingParameters:
        return QStringLiteral("missingParameters");
    }
    return QString();
}

std::optional<ProviderState> providerStateFromRawText(QStringView text) {
    for (const ProviderState state : allProviderStates) {
        if (text == rawText(state)) {
            return state;
        }
    }
    return std::nullopt;
}

} // namespace velmora
