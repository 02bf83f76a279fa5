#include "views/settings/SettingsPage.h"

namespace velmora {

QString SettingsPage::rawValue(Name name) {
    switch (name) {
    case Name::general:
        return QStringLiteral("General");
    case Name::timeTracking:
        return QStringLiteral("Time Tracking");
    case Name::accounts:
        return QStringLiteral("Accounts");
    }
    return {};
}

std::optional<SettingsPage::Name> SettingsPage::fromRawValue(const QString& text) {
    for (Name name : {Name::general, Name::timeTracking, Name::accounts}) {
        if (rawValue(name) == text)
            return name;
    }
    return std::nullopt;
}

const std::vector<SettingsPage>& SettingsPage::pages() {
    // The desktop's standard gray, orange and blue.
    static const std::vector<SettingsPage> list{
        {QUuid::createUuid(), Name::general, QColor(142, 142, 147), false, QString(), QStringLiteral("gear")},
        {QUuid::createUuid(), Name::timeTracking, QColor(255, 149, 0), false, QString(),
         QStringLiteral("clock")},
        {QUuid::createUuid(), Name::accounts, QColor(0, 122, 255), false, QString(), QStringLiteral("at")},
    };
    return list;
}

} // namespace velmora
