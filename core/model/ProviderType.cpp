#include "core/model/ProviderType.h"

namespace velmora {

QString rawText(ProviderType type) {
    switch (type) {
    case ProviderType::youTrack:
        return QStringLiteral("YouTrack");
    case ProviderType::jira:
        return QStringLiteral("Jira");
    case ProviderType::asana:
        return QStringLiteral("Asana");
    }
    return QString();
}

std::optional<ProviderType> providerTypeFromRawText(QStringView text) {
    for (const ProviderType type : allProviderTypes) {
        if (text == rawText(type)) {
            return type;
        }
    }
    return std::nullopt;
}

QString imageName(ProviderType type) {
    return rawText(type);
}

} // namespace velmora
