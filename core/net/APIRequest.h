#pragma once

#include "core/model/APIError.h"
#include "core/model/ClockOffset.h"
#include "core/model/Endpoint.h"
#include "core/model/Logger.h"
#include "core/net/DateDecodingStrategy.h"
#include "core/net/HttpMethod.h"
#include "core/net/JsonBody.h"
#include "core/net/JsonDecoder.h"
#include "core/net/QueryItems.h"
#include "platform/async/Publisher.h"
#include "platform/net/HttpRequest.h"
#include "platform/net/NetworkSession.h"

#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace velmora {

// The HTTP client of one tracker service: a base address (host and path prefix,
// without scheme), a session and a decoder with the tracker's date strategy.
//
// Every operation is a cold publisher that completes once with its value or an
// APIError; nothing is sent until it is subscribed, and each subscription sends
// anew. The URL and the request are built when the operation is made, so a later
// change of the base address does not reach it. Failures: the status check of
// ResponseCheck.h first (an error status never reaches the decoder); a transport
// failure, a time-out or a body that does not decode is logged and becomes
// `unknown` with its cause (Unreachable, TimedOut, UntrustedCertificate, Unreadable)
// and the host; a URL that does not parse or a request body that cannot be encoded
// fails with `unknown` without sending anything. Nothing is retried here.
//
// Decoding form:   request->perform<JiraUserDTO>(JiraEndpoint::myself(), HttpMethod::Get)
// With a body:     request->perform<Void>(endpoint, HttpMethod::Post, std::nullopt, workItemDTO)
// Empty form:      request->perform<Void>(endpoint, HttpMethod::Delete)   (the body is not read)
// Absolute URL:    request->perform<Credentials>(QUrl(ServerEndpoint(...).url()), HttpMethod::Post,
//                                                 std::nullopt, nlohmann::json{{"refreshToken", token}})
//
// Results are delivered on the thread that subscribed (it needs a Qt event loop);
// consumers move them to the main thread themselves.
class APIRequest {
public:
    APIRequest(QString baseUrl, DateDecodingStrategy dates);

    // Jira Cloud: the vendor's API host, followed by "/ex/jira/" + the cloud id when
    // there is one. Dates are seconds since 1970. The refresh token is not used.
    static std::shared_ptr<APIRequest> jira(const QString& token, const QString& refreshToken,
                                            const QString& cloudId);
    // Asana: its API host + "/api/1.0", ISO 8601 dates with fractional seconds. The
    // refresh token and workspace are not used.
    static std::shared_ptr<APIRequest> asana(const QString& token, const QString& refreshToken,
                                             const QString& workspace);
    // YouTrack: the account's base URL exactly as stored (no scheme), seconds since 1970.
    static std::shared_ptr<APIRequest> youTrack(const QString& token, const QString& baseUrl);

    // The settings of every client's session; with a token, plus "Authorization":
    // "Bearer " + token and nothing else.
    static SessionConfiguration sessionConfiguration(const std::optional<QString>& token = std::nullopt);

    const QString& baseUrl() const { return m_baseUrl; }
    void setBaseUrl(const QString& baseUrl) { m_baseUrl = baseUrl; }
    const std::shared_ptr<NetworkSession>& session() const { return m_session; }
    void setSession(std::shared_ptr<NetworkSession> session) { m_session = std::move(session); }
    const JsonDecoder& decoder() const { return m_decoder; }
    // A write to the tracker is coming: its connection is opened now (NetworkSession::openAheadFor).
    void openConnectionAhead() const;

    // How far the tracker's clock runs from this machine's, as its recent answers (to
    // any client of the same host) tell; absent when none told.
    std::optional<ClockOffset> trackerClock() const;

    // "https://" + base address + "/" + the endpoint's path, joined as text and parsed
    // strictly; absent when that is no usable URL (a base address typed by a user).
    std::optional<QUrl> url(const Endpoint& endpoint) const;

    // The request for `url`: the method, a 60 s time-out, the protocol's cache rules;
    // query items (even an empty list) replace any query the URL had; a body is sent
    // as JSON with "Content-Type: application/json". A body that cannot be encoded
    // fails with `unknown`.
    Result<HttpRequest, APIError> makeRequest(const QUrl& url, HttpMethod method,
                                              const std::optional<QueryItems>& queryItems = std::nullopt,
                                              const std::optional<nlohmann::json>& body = std::nullopt) const;

    template <typename T = Void>
    Publisher<T, APIError> perform(const Endpoint& endpoint, HttpMethod method,
                                   const std::optional<QueryItems>& queryItems = std::nullopt) const {
        return decodeAs<T>(
            send(buildRequest(url(endpoint), method, queryItems, std::nullopt), failureLog<T>()));
    }

    template <typename T = Void, typename B>
    Publisher<T, APIError> perform(const Endpoint& endpoint, HttpMethod method,
                                   const std::optional<QueryItems>& queryItems, const B& body) const {
        return decodeAs<T>(
            send(buildRequest(url(endpoint), method, queryItems, encodeJsonBody(body)), failureLog<T>()));
    }

    template <typename T>
    Publisher<T, APIError> perform(const QUrl& url, HttpMethod method,
                                   const std::optional<QueryItems>& queryItems = std::nullopt) const {
        return decodeAs<T>(
            send(buildRequest(usable(url), method, queryItems, std::nullopt), failureLog<T>()));
    }

    template <typename T, typename B>
    Publisher<T, APIError> perform(const QUrl& url, HttpMethod method,
                                   const std::optional<QueryItems>& queryItems, const B& body) const {
        return decodeAs<T>(
            send(buildRequest(usable(url), method, queryItems, encodeJsonBody(body)), failureLog<T>()));
    }

private:
    // Where a failure that becomes `unknown` is logged: the decoding forms log to
    // "Network", the empty form (body not read) to "API Logging".
    enum class FailureLog { Network, ApiLogging };
    template <typename T> static constexpr FailureLog failureLog() {
        return std::is_same_v<T, Void> ? FailureLog::ApiLogging : FailureLog::Network;
    }

    static std::optional<QUrl> usable(const QUrl& url);
    // The host whose clock answers of `url` tell: name and port.
    static QString clockHostOf(const QUrl& url);
    static APIError transportFailure(const TransportError& error);
    static APIError transportCause(const TransportError& error);
    static void logFailure(FailureLog log, const QString& description);
    Result<HttpRequest, APIError> buildRequest(const std::optional<QUrl>& url, HttpMethod method,
                                               const std::optional<QueryItems>& queryItems,
                                               const std::optional<Result<QByteArray, QString>>& body) const;
    Publisher<QByteArray, APIError> send(const Result<HttpRequest, APIError>& request, FailureLog log) const;

    template <typename T> Publisher<T, APIError> decodeAs(Publisher<QByteArray, APIError> data) const {
        if constexpr (std::is_same_v<T, Void>) {
            return data.map([](const QByteArray&) { return Void{}; });
        } else {
            return data.tryMap([decoder = m_decoder](const QByteArray& bytes) -> Result<T, APIError> {
                auto decoded = decoder.template decode<T>(bytes);
                if (!decoded.ok()) {
                    logFailure(FailureLog::Network, decoded.error());
                    return Result<T, APIError>::failure(APIError::failure(APIError::Cause::Unreadable));
                }
                return Result<T, APIError>::success(std::move(decoded).value());
            });
        }
    }

    QString m_baseUrl;
    std::shared_ptr<NetworkSession> m_session;
    JsonDecoder m_decoder;
};

} // namespace velmora
