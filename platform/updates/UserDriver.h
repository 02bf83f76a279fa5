#pragma once

#include "platform/updates/AppcastItem.h"

#include <QString>

namespace velmora {

// What the updater shows the user. The standard one uses dialogs; tests record the calls.
class UserDriver {
public:
    virtual ~UserDriver() = default;

    // A newer version: its release notes and a way to its download page.
    virtual void showUpdateFound(const AppcastItem& item, const QString& currentVersion) = 0;
    // After a check the user asked for, when there is nothing newer.
    virtual void showUpdateNotFound(const QString& currentVersion) = 0;
    // After a check the user asked for, when the feed could not be fetched or read.
    virtual void showUpdaterError(const QString& message) = 0;
};

} // namespace velmora
