#pragma once

#include "tests/support/FakeHttpsServer.h"
#include "tests/support/FakeJiraServer.h"

#include <QString>

#include <map>
#include <optional>

namespace velmora::test {

// The maker's server as far as Jira accounts need it: "POST /oauth/app/jira/refresh"
// exchanges a refresh token for a new token pair. The new access token is made known
// to the fake Jira (acting as the same user); a refresh token works once, as
// rotating refresh tokens do.
//
//   test::FakeJiraServer jira;
//   test::FakeJiraRefreshServer maker(jira);
//   maker.addRefreshToken("refresh-1", "acc-me");
//   qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
//
// `failWith` answers every refresh with a scripted response instead (401 for a
// refused refresh token, 500, a hang-up...).
class FakeJiraRefreshServer {
public:
    explicit FakeJiraRefreshServer(FakeJiraServer& jira);

    FakeHttpsServer& http() { return m_http; }
    QString hostAndPort() const { return m_http.hostAndPort(); }

    void addRefreshToken(const QString& refreshToken, const QString& accountId) {
        m_refreshTokens[refreshToken] = accountId;
    }
    void failWith(std::optional<FakeResponse> response) { m_failure = std::move(response); }
    // Every answer waits this long.
    void setLatency(int ms) { m_latencyMs = ms; }

    // Refresh requests received, and how many were granted.
    int refreshCount() const { return m_http.requestCount(); }
    int grantedCount() const { return m_granted; }
    // The pair handed out last: "token-N", "refresh-N".
    QString lastToken() const { return m_lastToken; }
    QString lastRefreshToken() const { return m_lastRefreshToken; }

private:
    FakeResponse handle(const FakeRequest& request);

    FakeJiraServer& m_jira;
    FakeHttpsServer m_http;
    std::map<QString, QString> m_refreshTokens;
    std::optional<FakeResponse> m_failure;
    int m_latencyMs = 0;
    int m_granted = 0;
    int m_next = 2;
    QString m_lastToken;
    QString m_lastRefreshToken;
};

} // namespace velmora::test
