#include "core/net/ServerEndpoint.h"

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

QString ServerEndpoint::url() const {
    const auto host = Configuration::application().value<QString>(Configuration::Key::ServerUrl);
    if (!host.ok()) {
        qFatal("The server host (%s) cannot be read: %s",
               qPrintable(Configuration::rawKey(Configuration::Key::ServerUrl)),
               qPrintable(Configuration::description(host.error())));
    }
    const QString version = Configuration::shortVersion();
    if (version.isEmpty()) {
        qFatal("The application's short version is missing");
    }
    return QStringLiteral("https://") + host.value() + QLatin1Char('/') + path() +
           QStringLiteral("?appVersion=") + version;
}

} // namespace velmora
