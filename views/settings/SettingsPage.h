#pragma once

#include <QColor>
#include <QString>
#include <QUuid>

#include <optional>
#include <vector>

namespace velmora {

// One entry of the settings window's page list.
struct SettingsPage {
    // The raw value is the row title and the window title.
    enum class Name { general, timeTracking, accounts };

    static QString rawValue(Name name);
    // None for any text that is not a raw value.
    static std::optional<Name> fromRawValue(const QString& text);

    QUuid id;
    Name name = Name::general;
    std::optional<QColor> baseColor; // behind the row icon
    bool isSetting = false;
    QString settingName;
    QString icon; // the symbol drawn in the row icon: "gear", "clock", "at"

    // The three pages, in list order, made once.
    static const std::vector<SettingsPage>& pages();

    friend bool operator==(const SettingsPage& a, const SettingsPage& b) {
        return a.id == b.id && a.name == b.name && a.baseColor == b.baseColor && a.isSetting == b.isSetting &&
               a.settingName == b.settingName && a.icon == b.icon;
    }
};

} // namespace velmora
