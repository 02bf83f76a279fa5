#include "core/model/Logger.h"

#include "core/model/AppIdentity.h"

#include <QByteArray>

namespace velmora {

namespace {
// QLoggingCategory keeps the pointer to its name, so the name lives beside it.
struct Category {
    explicit Category(const char* suffix)
        : name(QByteArray(bundleIdentifier) + '.' + suffix), category(name.constData()) {}
    QByteArray name;
    QLoggingCategory category;
};
} // namespace

const QLoggingCategory& Logger::keychain() {
    static const Category c("Keychain");
    return c.category;
}

const QLoggingCategory& Logger::network() {
    static const Category c("Network");
    return c.category;
}

const QLoggingCategory& Logger::dataManager() {
    static const Category c("Data Manager");
    return c.category;
}

const QLoggingCategory& Logger::apiLogging() {
    static const Category c("API Logging");
    return c.category;
}

const QLoggingCategory& Logger::backgroundTask() {
    static const Category c("Background Task");
    return c.category;
}

void logError(const QLoggingCategory& category, const QString& text) {
    if (category.isCriticalEnabled()) {
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).critical("%s", qUtf8Printable(text));
    }
}

} // namespace velmora
