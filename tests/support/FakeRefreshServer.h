#pragma once

#include "tests/support/FakeHttpsServer.h"

#include <QString>

#include <functional>
#include <map>
#include <optional>

namespace velmora::test {

// The maker's server as far as one tracker's accounts need it: "POST <path>" with
// {"refreshToken": ...} exchanges a refresh token for a new token pair. Each new
// access token is handed to `grant` (so the fake tracker accepts it, acting as the
// same user); a refresh token works once, as rotating refresh tokens do.
//
// `failWith` answers every refresh with a scripted response instead (401 for a
// refused refresh token, 500, a hang-up...).
class FakeRefreshServer {
public:
    using Grant = std::function<void(const QString& token, const QString& user)>;

    FakeRefreshServer(QString path, Grant grant);

    FakeHttpsServer& http() { return m_http; }
    QString hostAndPort() const { return m_http.hostAndPort(); }

    void addRefreshToken(const QString& refreshToken, const QString& user) {
        m_refreshTokens[refreshToken] = user;
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

    QString m_path;
    Grant m_grant;
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
