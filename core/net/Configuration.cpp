#include "core/net/Configuration.h"

#include "core/model/AppIdentity.h"
#include "core/net/BuildConfiguration.h"

#include <string_view>

namespace velmora {

static_assert(std::string_view(build::bundleIdentifier) == std::string_view(bundleIdentifier),
              "VELMORA_BUNDLE_IDENTIFIER must match the bundle identifier in core/model/AppIdentity.h");

namespace {
QString environmentOr(const char* variable, const QString& fallback) {
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? fallback : value;
}
} // namespace

QString Configuration::rawKey(Key key) {
    switch (key) {
    case Key::ServerUrl:
        return QStringLiteral("SERVER_URL");
    }
    return {};
}

Configuration Configuration::application() {
    QVariantMap entries;
    const QString server = environmentOr("VELMORA_SERVER_URL", QString::fromUtf8(build::serverUrl));
    if (!server.isEmpty()) {
        entries.insert(rawKey(Key::ServerUrl), server);
    }
    return Configuration(std::move(entries));
}

QString Configuration::description(Error error) {
    switch (error) {
    case Error::MissingKey:
        return QStringLiteral("missingKey");
    case Error::InvalidValue:
        return QStringLiteral("invalidValue");
    }
    return {};
}

QString Configuration::bundleIdentifier() {
    return QString::fromUtf8(build::bundleIdentifier);
}

QString Configuration::shortVersion() {
    return QString::fromUtf8(build::shortVersion);
}

QString Configuration::buildVersion() {
    return QString::fromUtf8(build::buildVersion);
}

QString Configuration::jiraApiHost() {
    return environmentOr("VELMORA_JIRA_API_HOST", QStringLiteral("api.atlassian.com"));
}

QString Configuration::asanaApiHost() {
    return environmentOr("VELMORA_ASANA_API_HOST", QStringLiteral("app.asana.com"));
}

} // namespace velmora
