#include "core/net/APIRequest.h"

#include "core/net/Configuration.h"
#include "core/net/ResponseCheck.h"
#include "core/net/ServerClock.h"

#include <QDateTime>

#include <chrono>

namespace velmora {

namespace {
constexpr std::chrono::seconds requestTimeout{60};
// Cache rules of each request: those of the protocol (the server's cache headers).
constexpr auto requestCachePolicy = QNetworkRequest::PreferNetwork;
} // namespace

APIError APIRequest::transportFailure(const TransportError& error) {
    const APIError failure = transportCause(error);
    return error.neverSent ? failure.asNeverSent() : failure;
}

APIError APIRequest::transportCause(const TransportError& error) {
    switch (error.kind) {
    case TransportError::Kind::TimedOut:
        return APIError::failure(APIError::Cause::TimedOut);
    case TransportError::Kind::TlsFailure:
        return APIError::failure(APIError::Cause::UntrustedCertificate);
    case TransportError::Kind::ConnectionFailed:
        return APIError::failure(APIError::Cause::Unreachable);
    case TransportError::Kind::ProtocolFailure:
    case TransportError::Kind::TooLarge:
        // An answer past the size cap is no record we can read.
        return APIError::failure(APIError::Cause::Unreadable);
    case TransportError::Kind::InvalidRequest:
        break;
    }
    return APIError::unknown();
}

QString APIRequest::clockHostOf(const QUrl& url) {
    return url.host().toLower() + QLatin1Char(':') + QString::number(url.port(443));
}

std::optional<ClockOffset> APIRequest::trackerClock() const {
    const QUrl base(QStringLiteral("https://") + m_baseUrl, QUrl::StrictMode);
    if (!base.isValid() || base.host().isEmpty()) {
        return std::nullopt;
    }
    return ServerClock::offset(clockHostOf(base), QDateTime::currentMSecsSinceEpoch());
}

APIRequest::APIRequest(QString baseUrl, DateDecodingStrategy dates)
    : m_baseUrl(std::move(baseUrl)), m_session(NetworkSession::create(sessionConfiguration())),
      m_decoder(dates) {}

SessionConfiguration APIRequest::sessionConfiguration(const std::optional<QString>& token) {
    auto configuration = SessionConfiguration::standard();
    configuration.requestTimeout = std::chrono::seconds(60);
    configuration.resourceTimeout = std::chrono::seconds(120);
    // Reload, letting the server confirm whatever a cache holds.
    configuration.cachePolicy = QNetworkRequest::PreferNetwork;
    if (token) {
        configuration.headers.emplace_back("Authorization", "Bearer " + token->toUtf8());
    }
    return configuration;
}

std::shared_ptr<APIRequest> APIRequest::jira(const QString& token, const QString& /*refreshToken*/,
                                             const QString& cloudId) {
    QString base = Configuration::jiraApiHost();
    if (!cloudId.isEmpty()) {
        base += QStringLiteral("/ex/jira/") + Endpoint::segment(cloudId);
    }
    auto request = std::make_shared<APIRequest>(base, DateDecodingStrategy::SecondsSince1970);
    request->setSession(NetworkSession::create(sessionConfiguration(token)));
    return request;
}

std::shared_ptr<APIRequest> APIRequest::asana(const QString& token, const QString& /*refreshToken*/,
                                              const QString& /*workspace*/) {
    auto request = std::make_shared<APIRequest>(Configuration::asanaApiHost() + QStringLiteral("/api/1.0"),
                                                DateDecodingStrategy::Iso8601WithFractionalSeconds);
    request->setSession(NetworkSession::create(sessionConfiguration(token)));
    return request;
}

std::shared_ptr<APIRequest> APIRequest::youTrack(const QString& token, const QString& baseUrl) {
    auto request = std::make_shared<APIRequest>(baseUrl, DateDecodingStrategy::SecondsSince1970);
    request->setSession(NetworkSession::create(sessionConfiguration(token)));
    return request;
}

std::optional<QUrl> APIRequest::usable(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty() || url.scheme().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

void APIRequest::openConnectionAhead() const {
    if (m_session) {
        m_session->openAheadFor(QUrl(QStringLiteral("https://") + m_baseUrl));
    }
}

std::optional<QUrl> APIRequest::url(const Endpoint& endpoint) const {
    const QString path = endpoint.path();
    // An id the tracker handed us could be "." or "..". Encoded or not, the URL would
    // fold it away and the request would reach another resource (a delete above all):
    // such a path is refused.
    for (const QString& segment : path.section(QLatin1Char('?'), 0, 0).split(QLatin1Char('/'))) {
        const QString decoded = QUrl::fromPercentEncoding(segment.toUtf8());
        if (decoded == QLatin1String(".") || decoded == QLatin1String("..")) {
            logError(Logger::network(),
                     QStringLiteral("[APIRequest] A path segment may not be a dot segment: ") + path);
            return std::nullopt;
        }
    }
    const QString text = QStringLiteral("https://") + m_baseUrl + QLatin1Char('/') + path;
    auto url = usable(QUrl(text, QUrl::StrictMode));
    if (!url) {
        logError(Logger::network(), QStringLiteral("[APIRequest] Not a valid URL: ") + text);
    }
    return url;
}

void APIRequest::logFailure(FailureLog log, const QString& description) {
    if (log == FailureLog::ApiLogging) {
        logError(Logger::apiLogging(),
                 QStringLiteral("[APIRequest] A parsing error occurred: ") + description);
    } else {
        logError(Logger::network(), description);
    }
}

Result<HttpRequest, APIError> APIRequest::makeRequest(const QUrl& url, HttpMethod method,
                                                      const std::optional<QueryItems>& queryItems,
                                                      const std::optional<nlohmann::json>& body) const {
    std::optional<Result<QByteArray, QString>> encoded;
    if (body) {
        encoded = encodeJsonBody(*body);
    }
    return buildRequest(usable(url), method, queryItems, encoded);
}

Result<HttpRequest, APIError>
APIRequest::buildRequest(const std::optional<QUrl>& url, HttpMethod method,
                         const std::optional<QueryItems>& queryItems,
                         const std::optional<Result<QByteArray, QString>>& body) const {
    using R = Result<HttpRequest, APIError>;
    if (!url) {
        return R::failure(APIError::unknown().asNeverSent());
    }
    HttpRequest request;
    request.url = *url;
    request.method = methodText(method);
    request.timeout = requestTimeout;
    request.cachePolicy = requestCachePolicy;
    if (queryItems) {
        // Even an empty list replaces the query the URL had.
        QUrl withQuery = request.url;
        if (queryItems->empty()) {
            withQuery.setQuery(QString());
        } else {
            withQuery.setQuery(encodedQuery(*queryItems), QUrl::StrictMode);
        }
        if (withQuery.isValid()) {
            request.url = withQuery;
        }
    }
    if (body) {
        if (!body->ok()) {
            // Sending the request without its body would do something other than
            // asked (a booking without its duration), so nothing is sent.
            qCDebug(Logger::network).noquote()
                << QStringLiteral("[Network] An error occurred while preparing form data: ") + body->error();
            return R::failure(APIError::unknown().asNeverSent());
        }
        request.setHeader("Content-Type", "application/json");
        request.body = body->value();
    }
    return R::success(std::move(request));
}

Publisher<QByteArray, APIError> APIRequest::send(const Result<HttpRequest, APIError>& request,
                                                 FailureLog log) const {
    using Out = Result<QByteArray, APIError>;
    if (!request.ok()) {
        return Publisher<QByteArray, APIError>::fail(request.error());
    }
    auto session = m_session;
    return Publisher<QByteArray, APIError>([session, request = request.value(),
                                            log](const SubscriptionPtr& subscription,
                                                 std::function<void(Out)> sink) {
        const QString host = request.url.host();
        const QString clockHost = clockHostOf(request.url);
        const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
        session->send(request).start(
            subscription, [sink, log, host, clockHost, sentMs](Result<HttpResponse, TransportError> outcome) {
                if (!outcome.ok()) {
                    logFailure(log, outcome.error().description());
                    sink(Out::failure(transportFailure(outcome.error()).withHost(host)));
                    return;
                }
                // Every answer, refusals too, tells the tracker's time; but only as it
                // comes from the tracker: a cache in front of it dates the answer it
                // stored, at some moment before.
                const auto age = outcome.value().header("Age");
                const auto date = outcome.value().header("Date");
                if (date && (!age || age->trimmed() == "0")) {
                    ServerClock::observe(clockHost, sentMs, QDateTime::currentMSecsSinceEpoch(), *date);
                }
                auto checked = validateResponse(outcome.value());
                if (!checked.ok()) {
                    sink(Out::failure(checked.error().withHost(host)));
                    return;
                }
                sink(std::move(checked));
            });
    });
}

} // namespace velmora
