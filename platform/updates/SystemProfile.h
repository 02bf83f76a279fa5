#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace velmora {

// What an update check tells the server about this machine, as query items of the feed
// request: "osName", "osVersion", "cpuArchitecture" and "lang".
class SystemProfile {
public:
    SystemProfile() = delete;

    static QList<QPair<QString, QString>> queryItems();
};

} // namespace velmora
