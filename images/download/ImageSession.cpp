#include "images/download/ImageSession.h"

#include "images/core/ImageError.h"
#include "platform/net/SessionConfiguration.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDir>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <map>
#include <utility>

namespace velmora::images {

namespace {

int urlErrorCode(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::OperationCanceledError:
        return ImageSession::Cancelled;
    case QNetworkReply::TimeoutError:
        return ImageSession::TimedOut;
    case QNetworkReply::HostNotFoundError:
        return ImageSession::CannotFindHost;
    case QNetworkReply::ConnectionRefusedError:
        return ImageSession::CannotConnectToHost;
    case QNetworkReply::RemoteHostClosedError:
        return ImageSession::NetworkConnectionLost;
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
        return ImageSession::NotConnectedToInternet;
    case QNetworkReply::SslHandshakeFailedError:
        return ImageSession::SecureConnectionFailed;
    case QNetworkReply::ProtocolUnknownError:
        return ImageSession::UnsupportedURL;
    case QNetworkReply::ProtocolInvalidOperationError:
        return ImageSession::BadURL;
    case QNetworkReply::ContentNotFoundError:
        return ImageSession::FileDoesNotExist;
    case QNetworkReply::AuthenticationRequiredError:
        return ImageSession::UserAuthenticationRequired;
    case QNetworkReply::ProtocolFailure:
        return ImageSession::BadServerResponse;
    case QNetworkReply::UnknownNetworkError:
        // The network layer failed without saying how: out of descriptors or memory, among others.
        return ImageSession::CannotLoadFromNetwork;
    default:
        return ImageSession::Unknown;
    }
}

// The error QNetworkAccessManager reports for an answer of HTTP status `status`, or none for a
// status it takes for no error.
std::optional<QNetworkReply::NetworkError> errorOfStatus(int status) {
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        if (status >= 400 && status < 500) {
            return QNetworkReply::UnknownContentError;
        }
        if (status >= 500 && status < 600) {
            return QNetworkReply::UnknownServerError;
        }
        return std::nullopt;
    }
}

// QNetworkAccessManager reports 4xx and 5xx answers as errors; for image transfers every HTTP
// answer is a value whose status the delegate judges. Only the very error its status stands for
// is such an answer: a body that broke on its way (a stream that does not inflate, a connection
// lost) is an error whatever the status said.
bool isHttpStatusError(QNetworkReply* reply, QNetworkReply::NetworkError error) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() && errorOfStatus(status.toInt()) == error;
}

ImageResponse responseOf(QNetworkReply* reply, const QUrl& url) {
    ImageResponse response;
    response.url = url;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    response.statusCode = status.isValid() ? status.toInt() : 0;
    if (response.isHttp()) {
        const auto pairs = reply->rawHeaderPairs();
        for (const auto& [name, value] : pairs) {
            response.headers.emplace_back(name, value);
        }
        response.httpVersion =
            reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool() ? "HTTP/2" : "HTTP/1.1";
    }
    return response;
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(a.scheme() == QLatin1String("https") ? 443 : 80) ==
               b.port(b.scheme() == QLatin1String("https") ? 443 : 80);
}

int msOf(double seconds) {
    return static_cast<int>(std::clamp(seconds, 0.001, 86400.0) * 1000);
}

} // namespace

// --- the network thread's side -----------------------------------------------------
//
// Every hop of a transfer goes to an address the worker resolved and judged itself: a host name
// is looked up here, its addresses are judged by where they lead, and the request is sent to the
// one chosen (the URL's host replaced by the address, the name kept in the Host header and for
// the certificate's check), so the address connected to is the address judged, whatever the name
// resolves to a moment later. Redirects are followed here, not by Qt, each to an address no
// further inward than where the transfer started.

class ImageSession::Worker : public QObject {
public:
    Worker(ImageSession* session, ImageSession::Configuration configuration)
        : m_session(session), m_configuration(std::move(configuration)) {}

    void setUp() {
        m_manager = new QNetworkAccessManager(this);
        // Redirects are followed by the transfer itself, which judges where each one leads.
        m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        QString folder = m_configuration.urlCacheDirectory;
        if (folder.isEmpty()) {
            folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                     QStringLiteral("/image-urls");
        }
        m_cache = new QNetworkDiskCache(this);
        m_cache->setCacheDirectory(folder);
        m_cache->setMaximumCacheSize(m_configuration.urlCacheMaximumSize);
        m_manager->setCache(m_cache);
        m_ssl = QSslConfiguration::defaultConfiguration();
        QList<QSslCertificate> extra = m_configuration.extraCaCertificates;
        extra += SessionConfiguration::processExtraCaCertificates();
        if (!extra.isEmpty()) {
            m_ssl.addCaCertificates(extra);
        }
        m_ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
        connect(m_manager, &QNetworkAccessManager::authenticationRequired, this,
                [this](QNetworkReply* reply, QAuthenticator* authenticator) {
                    authenticate(reply, authenticator);
                });
    }

    void tearDown(bool cancelTasks) {
        m_delivering = false;
        auto transfers = std::move(m_transfers);
        m_transfers.clear();
        m_replies.clear();
        for (auto& [identifier, transfer] : transfers) {
            if (transfer.lookup >= 0) {
                QHostInfo::abortHostLookup(transfer.lookup);
            }
            if (QNetworkReply* reply = transfer.reply) {
                reply->disconnect(this);
                if (cancelTasks) {
                    reply->abort();
                }
                reply->deleteLater();
            }
            delete transfer.deadline;
            delete transfer.stall;
        }
    }

    void stopDelivering() { m_delivering = false; }

    void start(const std::shared_ptr<ImageDataTask>& task) {
        if (task->isCancelled()) {
            return;
        }
        const ImageRequest& request = task->originalRequest();
        if (!ImageSession::isFetchable(request.url)) {
            // Whatever changed the request (a modifier, a caller), a file:, data: or qrc: URL
            // never reads a local resource here.
            if (ImageSessionDelegate* target = delegate()) {
                target->didComplete(*task, ImageError(QString(urlErrorDomain), UnsupportedURL,
                                                      QStringLiteral("unsupported URL")));
            }
            return;
        }
        const quint64 identifier = task->taskIdentifier();
        Transfer& transfer = m_transfers[identifier];
        transfer.task = task;
        transfer.request = request;
        transfer.metrics.fetchStart = QDateTime::currentDateTimeUtc();
        const double total =
            request.timeoutSeconds > 0 ? request.timeoutSeconds : m_configuration.requestTimeoutSeconds;
        const double stall = request.stallTimeoutSeconds > 0 ? request.stallTimeoutSeconds
                                                             : m_configuration.stallTimeoutSeconds;
        // The whole transfer has its deadline, however it trickles; apart from it, a transfer that
        // receives nothing for the stall bound ends at once.
        transfer.deadline = new QTimer(this);
        transfer.deadline->setSingleShot(true);
        connect(transfer.deadline, &QTimer::timeout, this,
                [this, identifier] { fail(identifier, TimedOut, QStringLiteral("The request timed out.")); });
        transfer.deadline->start(msOf(total));
        transfer.stall = new QTimer(this);
        transfer.stall->setSingleShot(true);
        transfer.stall->setInterval(msOf(stall));
        connect(transfer.stall, &QTimer::timeout, this, [this, identifier] {
            fail(identifier, TimedOut, QStringLiteral("The request timed out: nothing arrived for a while."));
        });
        transfer.stall->start();
        beginHop(identifier, request.url);
    }

    void cancel(quint64 identifier) {
        const auto it = m_transfers.find(identifier);
        if (it == m_transfers.end()) {
            return;
        }
        ImageError cancelled(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled"));
        end(identifier, cancelled);
    }

    std::optional<ImageSession::CachedResponse> cached(const QUrl& url) const {
        const QNetworkCacheMetaData metaData = m_cache->metaData(url);
        if (!metaData.isValid()) {
            return std::nullopt;
        }
        std::unique_ptr<QIODevice> device(m_cache->data(url));
        if (!device) {
            return std::nullopt;
        }
        ImageSession::CachedResponse cached;
        cached.data = device->readAll();
        cached.response.url = url;
        cached.response.statusCode =
            metaData.attributes().value(QNetworkRequest::HttpStatusCodeAttribute, 200).toInt();
        for (const auto& [name, value] : metaData.rawHeaders()) {
            cached.response.headers.emplace_back(name, value);
        }
        return cached;
    }

private:
    struct Transfer {
        std::shared_ptr<ImageDataTask> task;
        // The request of the hop under way, with the URL as the server named it.
        ImageRequest request;
        QNetworkReply* reply = nullptr;
        int lookup = -1;
        QTimer* deadline = nullptr;
        QTimer* stall = nullptr;
        // Where the first hop connected; none before it did.
        std::optional<Place> start;
        QString keptAliveHost;
        bool redirecting = false;
        bool headDelivered = false;
        bool refused = false;
        qint64 received = 0;
        int authenticationFailures = 0;
        ImageTaskMetrics metrics;
    };

    ImageSessionDelegate* delegate() const { return m_delivering ? m_session->delegate() : nullptr; }

    Transfer* transferOf(QNetworkReply* reply) {
        const auto it = m_replies.find(reply);
        if (it == m_replies.end()) {
            return nullptr;
        }
        const auto transfer = m_transfers.find(it->second);
        return transfer == m_transfers.end() ? nullptr : &transfer->second;
    }

    Place placeOfAddress(const QHostAddress& address) const {
        return m_configuration.placeOfAddress ? m_configuration.placeOfAddress(address) : placeOf(address);
    }

    // Looks the hop's host up (unless it is an address already) and sends the hop to an address
    // it may go to.
    void beginHop(quint64 identifier, const QUrl& url) {
        Transfer& transfer = m_transfers.at(identifier);
        transfer.request.url = url;
        QHostAddress literal;
        if (literal.setAddress(url.host())) {
            send(identifier, {literal}, false);
            return;
        }
        transfer.lookup = QHostInfo::lookupHost(url.host(), this, [this, identifier](const QHostInfo& info) {
            const auto it = m_transfers.find(identifier);
            if (it == m_transfers.end() || it->second.lookup != info.lookupId()) {
                return;
            }
            it->second.lookup = -1;
            if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
                fail(identifier, CannotFindHost, info.errorString());
                return;
            }
            it->second.stall->start();
            send(identifier, info.addresses(), true);
        });
    }

    // The first of `addresses` the hop may go to (IPv4 first): anywhere for the first hop but the
    // local link and what is no place, for a redirect no further inward than the first hop went.
    std::optional<QHostAddress> chosenAddress(const Transfer& transfer,
                                              const QList<QHostAddress>& addresses) const {
        for (const bool ipv4 : {true, false}) {
            for (const QHostAddress& address : addresses) {
                if ((address.protocol() == QAbstractSocket::IPv4Protocol) != ipv4) {
                    continue;
                }
                const Place place = placeOfAddress(address);
                const bool allowed = transfer.start ? mayRedirect(*transfer.start, place)
                                                    : place != Place::LinkLocal && place != Place::Unusable;
                if (allowed) {
                    return address;
                }
            }
        }
        return std::nullopt;
    }

    void send(quint64 identifier, const QList<QHostAddress>& addresses, bool byName) {
        Transfer& transfer = m_transfers.at(identifier);
        const ImageRequest& request = transfer.request;
        const auto address = chosenAddress(transfer, addresses);
        if (!address) {
            fail(identifier, AddressRefused,
                 transfer.start
                     ? QStringLiteral("Redirect refused: %1 leads further inward than the image's server")
                           .arg(request.url.host())
                     : QStringLiteral("Refused: %1 is on the local link").arg(request.url.host()));
            return;
        }
        if (!transfer.start) {
            transfer.start = placeOfAddress(*address);
        }
        QUrl target = request.url;
        QNetworkRequest networkRequest;
        if (byName) {
            // Sent to the address judged; the server still sees, and its certificate is checked
            // against, the name.
            target.setHost(address->toString());
            QByteArray host = QUrl::toAce(request.url.host());
            if (request.url.port() != -1) {
                host += ':' + QByteArray::number(request.url.port());
            }
            networkRequest.setRawHeader("Host", host);
            networkRequest.setPeerVerifyName(request.url.host());
            // HTTP/2 names the server by the URL, which now holds the address.
            networkRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
            // The URL cache would keep the answer under the address, which other names share.
            networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                        QNetworkRequest::AlwaysNetwork);
            networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        } else {
            networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                        request.cachePolicy ==
                                                ImageRequest::CachePolicy::UseProtocolCachePolicy
                                            ? QNetworkRequest::PreferNetwork
                                            : QNetworkRequest::AlwaysNetwork);
            networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute,
                                        transfer.task->storesInUrlCache());
        }
        networkRequest.setUrl(target);
        for (const auto& [name, value] : request.headers) {
            if (!byName || name.compare("Host", Qt::CaseInsensitive) != 0) {
                networkRequest.setRawHeader(name, value);
            }
        }
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::ManualRedirectPolicy);
        if (!request.handlesCookies) {
            networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
            networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        }
        networkRequest.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute,
                                    request.usesHttpPipelining);
        keepAliveOrClose(transfer, networkRequest);
        switch (transfer.task->priority()) {
        case ImageDataTask::Priority::High:
            networkRequest.setPriority(QNetworkRequest::HighPriority);
            break;
        case ImageDataTask::Priority::Low:
            networkRequest.setPriority(QNetworkRequest::LowPriority);
            break;
        case ImageDataTask::Priority::Default:
            break;
        }
        networkRequest.setSslConfiguration(m_ssl);

        QNetworkReply* reply = nullptr;
        if (request.method == "GET" && !request.body) {
            reply = m_manager->get(networkRequest);
        } else {
            reply = m_manager->sendCustomRequest(networkRequest, request.method,
                                                 request.body.value_or(QByteArray()));
        }
        // Between two reads the reply holds at most this much; the server waits for the rest.
        reply->setReadBufferSize(std::max<qint64>(m_configuration.readBufferBytes, 1024));
        transfer.reply = reply;
        transfer.redirecting = false;
        m_replies[reply] = identifier;
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { headArrived(reply); });
        connect(reply, &QIODevice::readyRead, this, [this, reply] { dataArrived(reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
    }

    // At most `hostsKeptAlive` hosts keep an idle connection, each for `idleConnectionSeconds`: a
    // request to any other host asks for its connection to close once it is answered.
    void keepAliveOrClose(Transfer& transfer, QNetworkRequest& networkRequest) {
        const auto now = std::chrono::steady_clock::now();
        const auto idle = std::chrono::seconds(std::max(0, m_configuration.idleConnectionSeconds));
        std::erase_if(m_keptAlive, [&](const auto& entry) {
            return entry.second.running == 0 && now - entry.second.lastUsed > idle;
        });
        const QUrl& url = transfer.request.url;
        const QString host = url.scheme().toLower() + QLatin1Char(':') + url.host().toLower() +
                             QLatin1Char(':') + QString::number(url.port(-1));
        auto it = m_keptAlive.find(host);
        if (it == m_keptAlive.end() && int(m_keptAlive.size()) < m_configuration.hostsKeptAlive) {
            it = m_keptAlive.emplace(host, KeptAlive{}).first;
        }
        if (it == m_keptAlive.end()) {
            networkRequest.setRawHeader("Connection", "close");
            return;
        }
        ++it->second.running;
        it->second.lastUsed = now;
        transfer.keptAliveHost = host;
        networkRequest.setAttribute(QNetworkRequest::ConnectionCacheExpiryTimeoutSecondsAttribute,
                                    std::max(1, m_configuration.idleConnectionSeconds));
    }

    void releaseKeptAlive(Transfer& transfer) {
        if (transfer.keptAliveHost.isEmpty()) {
            return;
        }
        if (const auto it = m_keptAlive.find(transfer.keptAliveHost); it != m_keptAlive.end()) {
            it->second.running = std::max(0, it->second.running - 1);
            it->second.lastUsed = std::chrono::steady_clock::now();
        }
        transfer.keptAliveHost.clear();
    }

    // Lets the hop's reply go without a word from it.
    void dropReply(Transfer& transfer, bool abort) {
        releaseKeptAlive(transfer);
        QNetworkReply* reply = std::exchange(transfer.reply, nullptr);
        if (!reply) {
            return;
        }
        m_replies.erase(reply);
        reply->disconnect(this);
        if (abort) {
            reply->abort();
        }
        reply->deleteLater();
    }

    void fail(quint64 identifier, UrlErrorCode code, const QString& message) {
        end(identifier, ImageError(QString(urlErrorDomain), code, message));
    }

    // Ends the transfer at once with `error` (null: success) and tells the delegate.
    void end(quint64 identifier, const ImageError& error) {
        auto node = m_transfers.extract(identifier);
        if (node.empty()) {
            return;
        }
        Transfer transfer = std::move(node.mapped());
        if (transfer.lookup >= 0) {
            QHostInfo::abortHostLookup(transfer.lookup);
        }
        dropReply(transfer, true);
        delete transfer.deadline;
        delete transfer.stall;
        transfer.metrics.responseEnd = QDateTime::currentDateTimeUtc();
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        target->didFinishCollectingMetrics(*transfer.task, transfer.metrics);
        target->didComplete(*transfer.task, error);
    }

    void headArrived(QNetworkReply* reply) {
        Transfer* transfer = transferOf(reply);
        if (!transfer || transfer->headDelivered || transfer->refused) {
            return;
        }
        transfer->stall->start();
        // A redirect's own head is not the answer; the final one follows.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (isRedirectStatus(status) && reply->hasRawHeader("Location")) {
            transfer->redirecting = true;
            return;
        }
        transfer->headDelivered = true;
        const auto task = transfer->task;
        const quint64 identifier = task->taskIdentifier();
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        bool allow = true;
        target->didReceiveResponse(*task, responseOf(reply, transfer->request.url),
                                   [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            // Refused: whatever body still comes is dropped, and the end reads as cancelled.
            if (const auto again = m_transfers.find(identifier); again != m_transfers.end()) {
                again->second.refused = true;
            }
            QMetaObject::invokeMethod(
                this, [this, identifier] { cancel(identifier); }, Qt::QueuedConnection);
        }
    }

    void dataArrived(QNetworkReply* reply) {
        Transfer* transfer = transferOf(reply);
        if (!transfer) {
            return;
        }
        if (!transfer->headDelivered && !transfer->refused && !transfer->redirecting) {
            headArrived(reply);
            transfer = transferOf(reply);
            if (!transfer) {
                return;
            }
        }
        const QByteArray chunk = reply->readAll();
        transfer->stall->start();
        if (transfer->refused || transfer->redirecting || chunk.isEmpty()) {
            return;
        }
        const qint64 ceiling = transfer->request.maximumBodyBytes;
        if (ceiling > 0 && transfer->received + chunk.size() > ceiling) {
            // Ended where its bytes arrive: nothing past the bound is handed on or waits.
            fail(transfer->task->taskIdentifier(), DataLengthExceedsMaximum,
                 QStringLiteral("The answer is larger than %1 bytes").arg(ceiling));
            return;
        }
        transfer->received += chunk.size();
        const auto task = transfer->task;
        if (ImageSessionDelegate* target = delegate()) {
            target->didReceiveData(*task, chunk);
        }
    }

    void finished(QNetworkReply* reply) {
        Transfer* transfer = transferOf(reply);
        if (!transfer) {
            reply->deleteLater();
            return;
        }
        const quint64 identifier = transfer->task->taskIdentifier();
        const QNetworkReply::NetworkError networkError = reply->error();
        if (transfer->redirecting && networkError == QNetworkReply::NoError) {
            followRedirect(identifier, reply);
            return;
        }
        if (!transfer->refused) {
            if (!transfer->headDelivered && networkError == QNetworkReply::NoError) {
                headArrived(reply);
            }
            if (transferOf(reply) && reply->bytesAvailable() > 0) {
                dataArrived(reply);
            }
            transfer = transferOf(reply);
            if (!transfer) {
                return; // ended on the way (over the bound)
            }
        }
        ImageError error;
        if (transfer->refused) {
            error = ImageError(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled"));
        } else if (networkError == QNetworkReply::OperationCanceledError) {
            // Nothing but a time-out aborts a transfer that nobody cancelled.
            error = ImageError(QString(urlErrorDomain), TimedOut, QStringLiteral("The request timed out."));
        } else if (networkError != QNetworkReply::NoError && !isHttpStatusError(reply, networkError)) {
            error = ImageError(QString(urlErrorDomain), urlErrorCode(networkError), reply->errorString());
        }
        dropReply(*transfer, false);
        end(identifier, error);
    }

    void followRedirect(quint64 identifier, QNetworkReply* reply) {
        Transfer& transfer = m_transfers.at(identifier);
        const QUrl from = transfer.request.url;
        const QUrl location = QUrl::fromEncoded(reply->rawHeader("Location"));
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        dropReply(transfer, false);
        const QUrl to = from.resolved(location);
        if (++transfer.metrics.redirectCount > m_configuration.maximumRedirects) {
            fail(identifier, TooManyRedirects,
                 QStringLiteral("More than %1 redirects").arg(m_configuration.maximumRedirects));
            return;
        }
        if (!location.isValid() || !ImageSession::isFetchable(to)) {
            fail(identifier, UnsupportedURL, QStringLiteral("Redirect to an unsupported URL refused"));
            return;
        }
        ImageRequest& request = transfer.request;
        if (status == 303 || ((status == 301 || status == 302) && request.method == "POST")) {
            request.method = "GET";
            request.body.reset();
        }
        if (!sameOrigin(from, to)) {
            // What opened the door of one server opens none of another.
            request.removeHeader("Authorization");
            request.removeHeader("Cookie");
        }
        transfer.headDelivered = false;
        beginHop(identifier, to);
    }

    void authenticate(QNetworkReply* reply, QAuthenticator* authenticator) {
        Transfer* transfer = transferOf(reply);
        ImageSessionDelegate* target = delegate();
        if (!transfer || !target) {
            return;
        }
        auto task = transfer->task;
        const int failures = transfer->authenticationFailures++;
        if (const auto credential = target->credentialForChallenge(*task, failures)) {
            authenticator->setUser(credential->user);
            authenticator->setPassword(credential->password);
        }
    }

    struct KeptAlive {
        int running = 0;
        std::chrono::steady_clock::time_point lastUsed;
    };

    ImageSession* m_session;
    ImageSession::Configuration m_configuration;
    QNetworkAccessManager* m_manager = nullptr;
    QNetworkDiskCache* m_cache = nullptr;
    QSslConfiguration m_ssl;
    std::map<quint64, Transfer> m_transfers;
    std::map<QNetworkReply*, quint64> m_replies;
    std::map<QString, KeptAlive> m_keptAlive;
    bool m_delivering = true;
};

// --- ImageSession ----------------------------------------------------------------

namespace {

ImageSession::Place placeOfIpv4(quint32 a) {
    using Place = ImageSession::Place;
    const auto in = [a](quint32 network, int bits) { return (a >> (32 - bits)) == (network >> (32 - bits)); };
    if (in(0x7f000000, 8) || in(0x00000000, 8)) {
        return Place::Loopback; // 0.0.0.0 reaches this machine too
    }
    if (in(0xa9fe0000, 16)) {
        return Place::LinkLocal;
    }
    if (in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16) || in(0x64400000, 10)) {
        return Place::Private;
    }
    if (in(0xe0000000, 4) || in(0xf0000000, 4) || in(0xc0000000, 24) || in(0xc0000200, 24) ||
        in(0xc6120000, 15) || in(0xc6336400, 24) || in(0xcb007100, 24)) {
        return Place::Unusable; // multicast, reserved and broadcast, protocol assignments, tests
    }
    return Place::Public;
}

} // namespace

ImageSession::Place ImageSession::placeOf(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4); // an IPv4-mapped IPv6 address too
    if (isIpv4) {
        return placeOfIpv4(ipv4);
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol) {
        return Place::Unusable;
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    const auto v4At = [&](int offset) {
        return quint32(bytes[offset]) << 24 | quint32(bytes[offset + 1]) << 16 |
               quint32(bytes[offset + 2]) << 8 | quint32(bytes[offset + 3]);
    };
    if (address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv6)) {
        return Place::Loopback;
    }
    if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) {
        return Place::LinkLocal;
    }
    if ((bytes[0] & 0xfe) == 0xfc || (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0xc0)) {
        return Place::Private; // unique local, and the old site-local
    }
    // NAT64 and 6to4 carry an IPv4 address, which says where they lead.
    if (bytes[0] == 0x00 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b) {
        return placeOfIpv4(v4At(12));
    }
    if (bytes[0] == 0x20 && bytes[1] == 0x02) {
        return placeOfIpv4(v4At(2));
    }
    if (bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x0d && bytes[3] == 0xb8) {
        return Place::Unusable; // documentation
    }
    if ((bytes[0] & 0xe0) == 0x20) {
        return Place::Public; // global unicast
    }
    return Place::Unusable;
}

bool ImageSession::mayRedirect(Place start, Place to) {
    switch (start) {
    case Place::Public:
        return to == Place::Public;
    case Place::Private:
        return to == Place::Private || to == Place::Public;
    case Place::Loopback:
        return to == Place::Loopback;
    case Place::LinkLocal:
    case Place::Unusable:
        return false;
    }
    return false;
}

bool ImageSession::isTransient(const ImageError& error) {
    static constexpr int transient[] = {NotConnectedToInternet,
                                        Cancelled,
                                        TimedOut,
                                        -1018,
                                        -1020,
                                        CannotFindHost,
                                        CannotConnectToHost,
                                        NetworkConnectionLost,
                                        CannotLoadFromNetwork};
    return error.errorDomain() == QString(urlErrorDomain) &&
           std::find(std::begin(transient), std::end(transient), error.code()) != std::end(transient);
}

bool ImageSession::isFetchable(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

ImageSession::ImageSession(Configuration configuration, ImageSessionDelegate* delegate)
    : m_configuration(std::move(configuration)), m_delegate(delegate), m_thread(std::make_unique<QThread>()),
      m_link(std::make_shared<ImageSessionLink>()) {
    m_link->session = this;
    m_thread->setObjectName(QStringLiteral("velmora.images.ImageSession"));
    m_thread->start();
    m_worker = new Worker(this, m_configuration);
    m_worker->moveToThread(m_thread.get());
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->setUp(); }, Qt::BlockingQueuedConnection);
}

ImageSession::~ImageSession() {
    stop();
}

void ImageSession::stop() {
    {
        std::lock_guard lock(m_link->mutex);
        m_link->session = nullptr;
    }
    invalidate(true);
    Worker* worker = nullptr;
    {
        std::unique_lock lock(m_workerLock);
        worker = std::exchange(m_worker, nullptr);
    }
    if (!worker) {
        return;
    }
    QMetaObject::invokeMethod(
        worker,
        [worker] {
            worker->tearDown(true);
            delete worker;
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

ImageSessionDelegate* ImageSession::delegate() const {
    return m_invalidated ? nullptr : m_delegate.load();
}

std::shared_ptr<ImageDataTask> ImageSession::dataTask(const ImageRequest& request, bool storesInUrlCache) {
    if (m_invalidated) {
        return nullptr;
    }
    return std::make_shared<ImageDataTask>(m_link, m_nextIdentifier++, request, storesInUrlCache);
}

std::optional<ImageSession::CachedResponse> ImageSession::cachedResponse(const QUrl& url) const {
    std::optional<CachedResponse> result;
    if (QThread::currentThread() == m_thread.get()) {
        // The worker goes on this very thread, so it is still here.
        return m_worker ? m_worker->cached(url) : std::nullopt;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return result;
    }
    QMetaObject::invokeMethod(
        m_worker, [&, worker = m_worker] { result = worker->cached(url); }, Qt::BlockingQueuedConnection);
    return result;
}

void ImageSession::invalidate(bool cancelTasks) {
    if (m_invalidated.exchange(true)) {
        return;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, cancelTasks] {
        if (cancelTasks) {
            worker->tearDown(true);
        } else {
            worker->stopDelivering();
        }
    });
}

void ImageSession::resume(const std::shared_ptr<ImageDataTask>& task) {
    if (m_invalidated) {
        return;
    }
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, task] { worker->start(task); });
}

void ImageSession::cancel(quint64 taskIdentifier) {
    std::shared_lock lock(m_workerLock);
    if (!m_worker) {
        return;
    }
    QMetaObject::invokeMethod(m_worker,
                              [worker = m_worker, taskIdentifier] { worker->cancel(taskIdentifier); });
}

// --- ImageDataTask -----------------------------------------------------------------

ImageDataTask::ImageDataTask(std::shared_ptr<ImageSessionLink> link, quint64 identifier, ImageRequest request,
                             bool storesInUrlCache)
    : m_link(std::move(link)), m_identifier(identifier), m_request(std::move(request)),
      m_storesInUrlCache(storesInUrlCache) {}

void ImageDataTask::resume() {
    if (m_resumed.exchange(true)) {
        return;
    }
    std::lock_guard lock(m_link->mutex);
    if (m_link->session) {
        m_link->session->resume(shared_from_this());
    }
}

void ImageDataTask::cancel() {
    m_cancelled = true;
    std::lock_guard lock(m_link->mutex);
    if (m_link->session) {
        m_link->session->cancel(m_identifier);
    }
}

} // namespace velmora::images
