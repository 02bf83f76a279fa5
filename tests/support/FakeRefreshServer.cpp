#include "tests/support/FakeRefreshServer.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace velmora::test {

FakeRefreshServer::FakeRefreshServer(QString path, Grant grant)
    : m_path(std::move(path)), m_grant(std::move(grant)) {
    m_http.onAny([this](const FakeRequest& request) {
        FakeResponse response = handle(request);
        if (m_latencyMs > 0 && response.delayMs == 0) {
            response.delayMs = m_latencyMs;
        }
        return response;
    });
}

FakeResponse FakeRefreshServer::handle(const FakeRequest& request) {
    if (request.method != "POST" || request.decodedPath() != m_path) {
        return FakeResponse::json("{}", 404);
    }
    if (m_failure) {
        return *m_failure;
    }
    const QJsonDocument document = QJsonDocument::fromJson(request.body);
    const QString refreshToken = document.object().value("refreshToken").toString();
    const auto it = m_refreshTokens.find(refreshToken);
    if (!document.isObject() || it == m_refreshTokens.end()) {
        return FakeResponse::json(R"({"error":"invalid_grant"})", 401);
    }
    const QString user = it->second;
    m_refreshTokens.erase(it);
    m_lastToken = QStringLiteral("token-%1").arg(m_next);
    m_lastRefreshToken = QStringLiteral("refresh-%1").arg(m_next);
    ++m_next;
    ++m_granted;
    m_refreshTokens[m_lastRefreshToken] = user;
    m_grant(m_lastToken, user);
    const QJsonObject answer{{"token", m_lastToken}, {"refreshToken", m_lastRefreshToken}};
    return FakeResponse::json(QJsonDocument(answer).toJson(QJsonDocument::Compact));
}

} // namespace velmora::test
