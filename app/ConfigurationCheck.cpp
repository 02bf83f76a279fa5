#include "app/ConfigurationCheck.h"

#include "core/model/AppIdentity.h"

#include <QUrl>

namespace velmora {

std::optional<Configuration::Error> ConfigurationCheck::serverUrlError(const Configuration& configuration) {
    const auto host = configuration.value<QString>(Configuration::Key::ServerUrl);
    if (!host.ok()) {
        return host.error();
    }
    const QString text = host.value().trimmed();
    if (text.isEmpty()) {
        return Configuration::Error::MissingKey;
    }
    const QUrl url(QStringLiteral("https://") + text, QUrl::StrictMode);
    // A scheme of its own, a query, spaces or an empty host make no usable server URL.
    if (text != host.value() || text.contains(QStringLiteral("://")) || !url.isValid() ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty()) {
        return Configuration::Error::InvalidValue;
    }
    return std::nullopt;
}

QString ConfigurationCheck::message(Configuration::Error error) {
    const QString key = Configuration::rawKey(Configuration::Key::ServerUrl);
    const QString what = error == Configuration::Error::MissingKey
                             ? QStringLiteral("The server address (%1) is missing from this build.").arg(key)
                             : QStringLiteral("The server address (%1) of this build is not valid.").arg(key);
    return what + QStringLiteral(" Signing in to Jira and Asana accounts will not work until it is set, "
                                 "for example with the environment variable VELMORA_SERVER_URL.");
}

const QLoggingCategory& ConfigurationCheck::category() {
    static const QByteArray name = QByteArray(bundleIdentifier) + ".Configuration";
    static const QLoggingCategory category(name.constData());
    return category;
}

} // namespace velmora
