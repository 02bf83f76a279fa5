#pragma once

#include "core/net/Configuration.h"

#include <QLoggingCategory>
#include <QString>

#include <optional>

namespace velmora {

// Finds what is wrong with the configuration the app cannot work without: the host of
// the maker's server (sign-in of Jira and Asana accounts, token refresh, updates).
class ConfigurationCheck {
public:
    ConfigurationCheck() = delete;

    // What is wrong with "SERVER_URL": missing, or not a host (optionally with a path)
    // that makes an https URL. None when it is fine.
    static std::optional<Configuration::Error> serverUrlError(const Configuration& configuration);

    // The alert's text for the error.
    static QString message(Configuration::Error error);

    // "app.velmora.Velmora.Configuration".
    static const QLoggingCategory& category();
};

} // namespace velmora
