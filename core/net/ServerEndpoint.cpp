#include "core/net/ServerEndpoint.h"

#include "core/model/Logger.h"
#include "core/net/Configuration.h"

namespace velmora {

QString ServerEndpoint::path() const {
    switch (m_case) {
    case JiraRedirect:
        return QStringLiteral("oauth/app/jira/redirect");
    case JiraRefresh:
        return QStringLiteral("oauth/app/jira/refresh");
    case AsanaRedirect:
        return QStringLiteral("oauth/app/asana/redirect");
    case AsanaRefresh:
        return QStringLiteral("oauth/app/asana/refresh");
    case Updates:
        return QStringLiteral("api/v1/app/updates");
    }
    return {};
}

QString ServerEndpoint::url(const Configuration& configuration) const {
    const auto host = configuration.value<QString>(Configuration::Key::ServerUrl);
    if (!host.ok()) {
        logError(Logger::network(),
                 QStringLiteral("[ServerEndpoint] An error occurred while reading the server host (") +
                     Configuration::rawKey(Configuration::Key::ServerUrl) + QStringLiteral("): ") +
                     Configuration::description(host.error()));
        return {};
    }
    const QString version = Configuration::shortVersion();
    if (version.isEmpty()) {
        qFatal("The application's short version is missing");
    }
    return QStringLiteral("https://") + host.value() + QLatin1Char('/') + path() +
           QStringLiteral("?appVersion=") + version;
}

} // namespace velmora
