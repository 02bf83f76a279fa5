#pragma once

#include "tests/support/FakeAsanaServer.h"
#include "tests/support/FakeHttpsServer.h"

#include <QString>

#include <map>
#include <optional>

namespace velmora::test {

// The maker's server as far as Asana accounts need it: "POST /oauth/app/asana/refresh"
// with {"refreshToken": ...} exchanges a refresh token for a new token pair. The new
// access token is made known to the fake Asana (acting as the same user); a refresh
// token works once, as rotating refresh tokens do.
//
//   test::FakeAsanaServer asana;
//   test::FakeAsanaRefreshServer maker(asana);
//   maker.addRefreshToken("refresh-1", "u1");
//   qputenv("VELMORA_SERVER_URL", maker.hostAndPort().toUtf8());
//
// `failWith` answers every refresh with a scripted response instead (401 for a
// refused refresh token, 500, a hang-up...).
class FakeAsanaRefreshServer {
public:
    explicit FakeAsanaRefreshServer(FakeAsanaServer& asana);

    FakeHttpsServer& http() { return m_http; }
    QString hostAndPort() const { return m_http.hostAndPort(); }

    void addRefreshToken(const QString& refreshToken, const QString& userGid) {
        m_refreshTokens[refreshToken] = userGid;
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

    FakeAsanaServer& m_asana;
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
