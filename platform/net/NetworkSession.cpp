#include "platform/net/NetworkSession.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QThread>
#include <QThreadStorage>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora {

namespace {

// Access managers per thread, one for each set of trusted authorities. A manager keeps
// its connections open for reuse by host and port alone, and a reused connection makes
// no new certificate check: sessions that trust different authorities must never share
// one, or a connection opened by a trusting session would carry a strict session's
// requests to a server the strict session does not trust.
struct ThreadManagers {
    std::map<QByteArray, std::unique_ptr<QNetworkAccessManager>> byTrust;
};

// The main thread's managers are deleted while the application object is still there
// (their connections need it to close down quietly); any other thread's go with their
// thread.
ThreadManagers* mainThreadManagers = nullptr;

// Requests the main thread sends while they are held: each starts on release, unless it
// was cancelled meanwhile. Only the main thread holds or releases, and only its own
// requests wait.
bool mainThreadHolding = false;
std::vector<std::function<void()>>* heldStarts = nullptr;

bool onMainThread() {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// A held request as a cancellation from any thread may see it.
struct HeldStart {
    std::mutex mutex;
    bool cancelled = false;
    std::function<void()> cancel; // the started request's, once it started
};

void deleteMainThreadManagers() {
    // A network thread may still be in its thread-exit clean-up once its manager is gone;
    // the process's exit leaves the TLS state such a thread frees alone (TlsLibrary), so
    // nothing needs to wait for the system to let the thread go.
    delete std::exchange(mainThreadManagers, nullptr);
}

// The same authorities in any order give the same key.
QByteArray trustKey(const QList<QSslCertificate>& authorities) {
    QList<QByteArray> digests;
    digests.reserve(authorities.size());
    for (const auto& certificate : authorities) {
        digests.append(certificate.digest(QCryptographicHash::Sha256));
    }
    std::sort(digests.begin(), digests.end());
    digests.erase(std::unique(digests.begin(), digests.end()), digests.end());
    return digests.join();
}

QNetworkAccessManager* threadManager(const QList<QSslCertificate>& authorities) {
    ThreadManagers* managers = nullptr;
    const auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        if (!mainThreadManagers) {
            mainThreadManagers = new ThreadManagers;
            qAddPostRoutine(deleteMainThreadManagers);
        }
        managers = mainThreadManagers;
    } else {
        static QThreadStorage<ThreadManagers*> perThread;
        if (!perThread.hasLocalData()) {
            perThread.setLocalData(new ThreadManagers);
        }
        managers = perThread.localData();
    }
    auto& manager = managers->byTrust[trustKey(authorities)];
    if (!manager) {
        manager = std::make_unique<QNetworkAccessManager>();
    }
    return manager.get();
}

// The body of a request that must not be sent twice (POST, PATCH). Qt quietly sends
// a request again when the connection closes before the answer; for a booking that
// the server may already have applied, that would book twice. Once a byte of this
// body was read it cannot be rewound, so such a second send fails instead.
class OnceOnlyBody final : public QIODevice {
public:
    explicit OnceOnlyBody(QByteArray data) : m_data(std::move(data)) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() - m_read + QIODevice::bytesAvailable(); }
    bool atEnd() const override { return m_read >= m_data.size() && QIODevice::bytesAvailable() == 0; }
    bool reset() override { return m_read == 0 && QIODevice::bytesAvailable() == 0; }
    qint64 size() const override { return m_data.size(); }

protected:
    qint64 readData(char* out, qint64 max) override {
        const qint64 n = std::min<qint64>(max, m_data.size() - m_read);
        std::memcpy(out, m_data.constData() + m_read, static_cast<std::size_t>(n));
        m_read += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_read = 0;
};

// A line break (or NUL) in a header would end the header early: whatever follows it,
// say from a token that arrived by link, would go out as further headers or even as
// a second request on the same connection. Qt writes header values as they are.
bool headersAreSafe(const HttpHeaders& headers) {
    for (const auto& [name, value] : headers) {
        for (const QByteArray* text : {&name, &value}) {
            if (text->contains('\r') || text->contains('\n') || text->contains('\0')) {
                return false;
            }
        }
    }
    return true;
}

bool mayBeSentTwice(const QByteArray& method) {
    return method == "GET" || method == "HEAD" || method == "PUT" || method == "DELETE" ||
           method == "OPTIONS";
}

// The reply of one subscription, as far as a cancellation from any thread may see it.
struct ReplyState {
    std::mutex mutex;
    QNetworkReply* reply = nullptr; // cleared (under the mutex) before the reply is deleted
    bool timedOut = false;          // only touched on the reply's thread
    bool tooLarge = false;          // only touched on the reply's thread
};

bool isHttpAnswer(QNetworkReply::NetworkError error) {
    // Errors that Qt derives from the HTTP status itself; the answer came whole.
    const int code = static_cast<int>(error);
    return error == QNetworkReply::NoError || (code >= 201 && code <= 299) ||
           error == QNetworkReply::ProtocolInvalidOperationError || (code >= 401 && code <= 499);
}

TransportError transportError(QNetworkReply::NetworkError error, const QString& message, bool timedOut) {
    using Kind = TransportError::Kind;
    if (timedOut || error == QNetworkReply::TimeoutError || error == QNetworkReply::OperationCanceledError) {
        // A cancelled subscription never sees its outcome, so an abort that does reach
        // a subscriber was the transfer time-out.
        return {Kind::TimedOut, message, false};
    }
    if (error == QNetworkReply::SslHandshakeFailedError) {
        return {Kind::TlsFailure, message, true};
    }
    if (error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError) {
        return {Kind::ConnectionFailed, message, true};
    }
    if (error == QNetworkReply::ProtocolFailure || error == QNetworkReply::ProtocolUnknownError) {
        return {Kind::ProtocolFailure, message, false};
    }
    return {Kind::ConnectionFailed, message, false};
}

} // namespace

std::shared_ptr<NetworkSession> NetworkSession::create(SessionConfiguration configuration) {
    return std::shared_ptr<NetworkSession>(new NetworkSession(std::move(configuration)));
}

void NetworkSession::holdMainThreadRequests() {
    if (!onMainThread()) {
        return;
    }
    mainThreadHolding = true;
}

void NetworkSession::releaseMainThreadRequests() {
    if (!onMainThread() || !mainThreadHolding) {
        return;
    }
    mainThreadHolding = false;
    std::unique_ptr<std::vector<std::function<void()>>> starts(std::exchange(heldStarts, nullptr));
    if (starts) {
        for (auto& start : *starts) {
            start();
        }
    }
}

Publisher<HttpResponse, TransportError> NetworkSession::send(HttpRequest request) const {
    using Out = Result<HttpResponse, TransportError>;
    auto self = shared_from_this();
    return Publisher<HttpResponse, TransportError>::create(
        [self, request = std::move(request)](std::function<void(Out)> sink) -> std::function<void()> {
            if (!mainThreadHolding || !onMainThread()) {
                return self->start(request, std::move(sink));
            }
            auto held = std::make_shared<HeldStart>();
            if (!heldStarts) {
                heldStarts = new std::vector<std::function<void()>>;
            }
            heldStarts->push_back([self, request, sink = std::move(sink), held]() mutable {
                std::lock_guard lock(held->mutex);
                if (!held->cancelled) {
                    held->cancel = self->start(request, std::move(sink));
                }
            });
            return [held] {
                std::function<void()> cancel;
                {
                    std::lock_guard lock(held->mutex);
                    held->cancelled = true;
                    cancel = std::move(held->cancel);
                }
                if (cancel) {
                    cancel();
                }
            };
        });
}

std::function<void()>
NetworkSession::start(const HttpRequest& request,
                      std::function<void(Result<HttpResponse, TransportError>)> sink) const {
    using Out = Result<HttpResponse, TransportError>;
    auto self = shared_from_this();
    {
        {
            const auto& config = self->m_configuration;
            if (!request.url.isValid() || request.url.host().isEmpty()) {
                sink(Out::failure({TransportError::Kind::InvalidRequest, request.url.toString(), true}));
                return {};
            }
            if (!headersAreSafe(config.headers) || !headersAreSafe(request.headers)) {
                // The message never repeats the header: it may hold a token.
                sink(Out::failure({TransportError::Kind::InvalidRequest,
                                   QStringLiteral("a header holds a line break"), true}));
                return {};
            }

            QNetworkRequest qrequest(request.url);
            for (const auto& [name, value] : config.headers) {
                qrequest.setRawHeader(name, value);
            }
            for (const auto& [name, value] : request.headers) {
                qrequest.setRawHeader(name, value);
            }
            auto timeout = config.requestTimeout;
            if (request.timeout) {
                timeout = std::min(timeout, *request.timeout);
            }
            auto resourceTimeout = config.resourceTimeout;
            if (const auto cap = SessionConfiguration::processTimeoutCap()) {
                timeout = std::min(timeout, *cap);
                resourceTimeout = std::min(resourceTimeout, *cap);
            }
            qrequest.setTransferTimeout(static_cast<int>(std::clamp<qint64>(timeout.count(), 1, INT_MAX)));
            qrequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                  request.cachePolicy.value_or(config.cachePolicy));
            // A request that must not be sent twice (a booking's POST) is never followed
            // elsewhere: following a 302 or 303 repeats it as a GET, whose answer (a
            // sign-in page, say) would stand for the booking's. Its redirect comes back as
            // the answer it is.
            qrequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                  mayBeSentTwice(request.method) ? QNetworkRequest::SameOriginRedirectPolicy
                                                                 : QNetworkRequest::ManualRedirectPolicy);
            // An access manager is shared by the sessions of its thread, so a cookie
            // kept for one account would travel with another's requests; the trackers
            // authenticate by header alone.
            qrequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
            qrequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
            const QList<QSslCertificate> authorities =
                config.extraCaCertificates + SessionConfiguration::environmentCaCertificates();
            auto ssl = QSslConfiguration::defaultConfiguration();
            if (!authorities.isEmpty()) {
                ssl.addCaCertificates(authorities);
            }
            ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
            qrequest.setSslConfiguration(ssl);

            auto* manager = threadManager(authorities);
            QNetworkReply* reply = nullptr;
            if (request.method == "GET" && !request.body) {
                reply = manager->get(qrequest);
            } else if (request.body && !mayBeSentTwice(request.method)) {
                qrequest.setHeader(QNetworkRequest::ContentLengthHeader, request.body->size());
                qrequest.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
                auto* body = new OnceOnlyBody(*request.body);
                reply = manager->sendCustomRequest(qrequest, request.method, body);
                body->setParent(reply);
            } else if (request.body) {
                reply = manager->sendCustomRequest(qrequest, request.method, *request.body);
            } else {
                reply = manager->sendCustomRequest(qrequest, request.method);
            }

            auto state = std::make_shared<ReplyState>();
            state->reply = reply;

            auto* overall = new QTimer(reply);
            overall->setSingleShot(true);
            QObject::connect(overall, &QTimer::timeout, reply, [state, reply] {
                state->timedOut = true;
                reply->abort();
            });
            overall->start(static_cast<int>(std::clamp<qint64>(resourceTimeout.count(), 1, INT_MAX)));

            // The body is judged by what it announces and by what arrived so far, so a
            // body without a length is stopped as soon as it grows past the limit.
            const qint64 maxBody = std::max<qint64>(request.maxBodySize.value_or(config.maxBodySize), 0);
            const bool hasBody = request.method != "HEAD";
            auto checkSize = [state, reply, maxBody, hasBody] {
                const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
                if (state->tooLarge || state->timedOut) {
                    return;
                }
                if ((hasBody && announced.isValid() && announced.toLongLong() > maxBody) ||
                    reply->bytesAvailable() > maxBody) {
                    state->tooLarge = true;
                    reply->abort();
                }
            };
            QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
            QObject::connect(reply, &QNetworkReply::readyRead, reply, checkSize);

            QObject::connect(reply, &QNetworkReply::finished, reply, [state, reply, sink, self, maxBody] {
                {
                    std::lock_guard lock(state->mutex);
                    state->reply = nullptr;
                }
                reply->deleteLater();
                if (state->tooLarge || reply->bytesAvailable() > maxBody) {
                    sink(Out::failure({TransportError::Kind::TooLarge,
                                       QStringLiteral("more than %1 bytes").arg(maxBody), false}));
                    return;
                }
                const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                const auto error = reply->error();
                if (!state->timedOut && status.isValid() && status.toInt() > 0 && isHttpAnswer(error)) {
                    HttpResponse response;
                    response.statusCode = status.toInt();
                    for (const auto& [name, value] : reply->rawHeaderPairs()) {
                        response.headers.emplace_back(name, value);
                    }
                    response.body = reply->readAll();
                    response.url = reply->url();
                    sink(Out::success(std::move(response)));
                    return;
                }
                sink(Out::failure(transportError(error, reply->errorString(), state->timedOut)));
            });

            return [state] {
                QNetworkReply* reply = nullptr;
                {
                    std::lock_guard lock(state->mutex);
                    reply = state->reply;
                    if (!reply) {
                        return;
                    }
                    if (reply->thread() != QThread::currentThread()) {
                        // The reply may only be touched on its own thread; it is still
                        // alive here (it is cleared under this lock before deletion), and
                        // a queued call to a deleted object is simply dropped.
                        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
                        return;
                    }
                }
                reply->abort();
            };
        }
    }
}

} // namespace velmora
