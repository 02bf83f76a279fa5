#pragma once

#include "core/net/Configuration.h"

#include <QString>

namespace velmora {

// The endpoints of the maker's own server: the start of the OAuth authorisation of
// Jira and Asana accounts (opened in the browser), their token refresh, and the
// software-update feed.
class ServerEndpoint {
public:
    enum Case { JiraRedirect, JiraRefresh, AsanaRedirect, AsanaRefresh, Updates };

    ServerEndpoint(Case endpoint) : m_case(endpoint) {} // NOLINT: an endpoint is its case

    Case endpoint() const { return m_case; }

    // "oauth/app/jira/refresh": no leading "/".
    QString path() const;

    // "https://" + the server host + "/" + path + "?appVersion=" + the short version,
    // the version as it is. The host comes from the configuration ("SERVER_URL"). When
    // it cannot be read the error is logged and the URL is empty, so the request fails
    // as a transport failure would; the app tells the user once at start-up.
    QString url(const Configuration& configuration = Configuration::application()) const;

    friend bool operator==(ServerEndpoint a, ServerEndpoint b) { return a.m_case == b.m_case; }

private:
    Case m_case;
};

} // namespace velmora
