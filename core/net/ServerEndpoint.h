#pragma once

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
    // the version as it is. The host comes from the configuration ("SERVER_URL"); a
    // build without one cannot talk to its server and stops here, naming the error.
    QString url() const;

    friend bool operator==(ServerEndpoint a, ServerEndpoint b) { return a.m_case == b.m_case; }

private:
    Case m_case;
};

} // namespace velmora
