#pragma once

#include <QLoggingCategory>
#include <QString>

namespace velmora {

// The app's log categories, each named bundle identifier + "." + category, so a
// whole area can be switched on or off with QT_LOGGING_RULES.
class Logger {
public:
    Logger() = delete;

    static const QLoggingCategory& keychain();       // "Keychain"
    static const QLoggingCategory& network();        // "Network"
    static const QLoggingCategory& dataManager();    // "Data Manager"
    static const QLoggingCategory& apiLogging();     // "API Logging"
    static const QLoggingCategory& backgroundTask(); // "Background Task"
};

// Writes one line at error level (Qt's "critical") to `category`; nothing when that
// level is switched off. Lines read "[TypeName] What failed: " + the error's own text.
void logError(const QLoggingCategory& category, const QString& text);

} // namespace velmora
