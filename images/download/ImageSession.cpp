#include "images/download/ImageSession.h"

#include "images/core/ImageError.h"
#include "images/download/ImageAddressPolicy.h"
#include "images/download/ImageUrlCache.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/ProxyChoice.h"
#include "platform/net/Redirects.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/net/TransferThread.h"

#include <QDateTime>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace velmora::images {

namespace {

std::chrono::milliseconds msOf(double seconds) {
    return std::chrono::milliseconds(static_cast<qint64>(std::clamp(seconds, 0.001, 86400.0) * 1000));
}

ImageSession::UrlErrorCode urlErrorCode(TransferEnd::Cause cause) {
    using Cause = TransferEnd::Cause;
    switch (cause) {
    case Cause::TimedOut:
        return ImageSession::TimedOut;
    case Cause::NameNotFound:
        return ImageSession::CannotFindHost;
    case Cause::ConnectionRefused:
        return ImageSession::CannotConnectToHost;
    case Cause::ConnectionLost:
        return ImageSession::NetworkConnectionLost;
    case Cause::Unsupported:
        return ImageSession::UnsupportedURL;
    case Cause::BadUrl:
        return ImageSession::BadURL;
    case Cause::TlsRefused:
    case Cause::TlsBroken:
        return ImageSession::SecureConnectionFailed;
    case Cause::NotHttp:
        return ImageSession::BadServerResponse;
    case Cause::OutOfResources:
        // The network layer could not go on: out of descriptors or memory, among others.
        return ImageSession::CannotLoadFromNetwork;
    case Cause::None:
    case Cause::Other:
        break;
    }
    return ImageSession::Unknown;
}

ImageError urlError(ImageSession::UrlErrorCode code, const QString& message) {
    return ImageError(QString(ImageSession::urlErrorDomain), code, message);
}

} // namespace

// --- one transfer, as the transport hands its answer over --------------------------------
//
// Called on the network thread only. What is the avatar's own lives here: the URL cache (a
// fresh answer answers at once, a stale one with a validator is asked about), redirects (to
// any http or https URL, what opened one server's door never sent to another), a server's
// challenge answered by the delegate's credential, the body inflated and bounded as it
// arrives, and the delegate told of each step.
class ImageSession::Transfer final : public TransferReader {
public:
    Transfer(ImageSession* session, std::shared_ptr<ImageDataTask> task)
        : m_session(session), m_task(std::move(task)), m_request(m_task->originalRequest()) {}

    // The order of the hop to `m_request` as it stands now.
    TransferOrder order() const {
        const Configuration& configuration = m_session->m_configuration;
        TransferOrder order;
        order.url = m_request.url;
        order.method = m_request.method;
        order.body = m_request.body;
        bool acceptEncoding = false;
        for (const auto& [name, value] : m_request.headers) {
            acceptEncoding = acceptEncoding || name.compare("Accept-Encoding", Qt::CaseInsensitive) == 0;
            // "Name:" alone would remove libcurl's own header; "Name;" sends it empty.
            order.headerLines.push_back(value.isEmpty() ? name + ';' : name + ": " + value);
        }
        if (!acceptEncoding) {
            order.headerLines.push_back("Accept-Encoding: " + ContentDecoder::acceptedEncodings());
        }
        if (m_revalidating) {
            for (const auto& [name, value] : m_revalidating->response.headers) {
                if (name.compare("ETag", Qt::CaseInsensitive) == 0) {
                    order.headerLines.push_back("If-None-Match: " + value);
                } else if (name.compare("Last-Modified", Qt::CaseInsensitive) == 0) {
                    order.headerLines.push_back("If-Modified-Since: " + value);
                }
            }
        }
        const double total =
            m_request.timeoutSeconds > 0 ? m_request.timeoutSeconds : configuration.requestTimeoutSeconds;
        order.resourceTimeout = msOf(total);
        order.stallTimeout = msOf(m_request.stallTimeoutSeconds > 0 ? m_request.stallTimeoutSeconds
                                                                    : configuration.stallTimeoutSeconds);
        order.connectTimeout = msOf(configuration.connectTimeoutSeconds);
        order.headTimeout = msOf(std::min(configuration.headTimeoutSeconds, total));
        order.headTimeFromHopStart = true;
        order.headLimits = {configuration.maximumHeaderBytes, configuration.maximumHeaderLines};
        order.maxBodySize =
            m_request.maximumBodyBytes > 0 ? m_request.maximumBodyBytes : std::numeric_limits<qint64>::max();
        order.readBufferBytes = configuration.readBufferBytes;
        order.inflated = false; // inflated here, in bounded steps
        order.authorities = m_session->m_trust;
        order.environmentAuthorities = true;
        ProxyChoice proxy = ProxyChoice::forUrl(m_request.url);
        order.proxy = std::move(proxy.proxy);
        order.proxyUser = std::move(proxy.user);
        order.proxyPassword = std::move(proxy.password);
        order.proxyRefusal = std::move(proxy.refusal);
        if (m_credential) {
            order.credential = std::make_pair(m_credential->user.toUtf8(), m_credential->password.toUtf8());
        }
        order.cookies = m_request.handlesCookies;
        order.addresses = m_session->m_addresses;
        order.connections = m_session->m_connections;
        return order;
    }

    bool begin(TransferOrder& order) override {
        if (m_task->isCancelled()) {
            return false;
        }
        if (!ImageSession::isFetchable(m_request.url)) {
            // Whatever changed the request (a modifier, a caller), a file:, data: or qrc: URL
            // never reads a local resource here.
            complete(urlError(UnsupportedURL, QStringLiteral("unsupported URL")), false);
            return false;
        }
        m_metrics.fetchStart = QDateTime::currentDateTimeUtc();
        if (m_request.cachePolicy != ImageRequest::CachePolicy::UseProtocolCachePolicy || m_request.method != "GET" ||
            m_request.body) {
            return true;
        }
        auto cached = m_session->m_urlCache->entry(m_request.url);
        if (!cached) {
            return true;
        }
        if (cached->fresh) {
            deliverCached(*cached);
            complete(m_error.value_or(ImageError()), true);
            return false;
        }
        if (cached->response.header("ETag") || cached->response.header("Last-Modified")) {
            m_revalidating = std::move(cached);
            order = this->order();
        }
        return true;
    }

    Verdict head(const ResponseHeadReader& head, TransferOrder& order) override {
        const int status = head.status();
        ImageResponse response;
        response.url = m_request.url;
        response.statusCode = status;
        response.httpVersion = head.version();
        response.headers = head.headers();
        if (isRedirectStatus(status) && response.header("Location")) {
            // A redirect's own head is not the answer, nor is its body wanted.
            return redirect(status, *response.header("Location"), order);
        }
        if (status == 304 && m_revalidating) {
            // Unchanged: the cached answer stands, under the head the server just confirmed.
            ImageUrlCache::Entry cached = std::move(*m_revalidating);
            m_revalidating.reset();
            m_session->m_urlCache->refresh(m_request.url, response);
            m_error = ImageError();
            deliverCached(cached);
            return Verdict::End;
        }
        m_revalidating.reset();
        if (status == 401 && wantsCredential(response)) {
            order = this->order();
            return Verdict::Again;
        }
        // Codings in several lines are one list, applied in turn.
        std::optional<QByteArray> encoding;
        for (const auto& [name, value] : response.headers) {
            if (name.compare("Content-Encoding", Qt::CaseInsensitive) == 0) {
                encoding = encoding ? *encoding + ", " + value : value;
            }
        }
        if (encoding) {
            if (!ContentDecoder::isReadable(*encoding)) {
                m_error = ImageError(QString(urlErrorDomain), BadServerResponse,
                                     QStringLiteral("The answer is encoded as %1, which was not asked for")
                                         .arg(QString::fromLatin1(encoding->left(64))));
                return Verdict::End;
            }
            m_decoder = ContentDecoder::forEncoding(*encoding);
            if (m_decoder) {
                // The length is the encoded one: of the decoded body nothing is known ahead.
                std::erase_if(response.headers, [](const auto& header) {
                    return header.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
                });
            }
        }
        m_headDelivered = true;
        if (m_task->storesInUrlCache() && m_request.method == "GET" && !m_request.body && status == 200) {
            m_cacheWriting = m_session->m_urlCache->prepare(response);
        }
        const Telling target = telling();
        if (!target) {
            return Verdict::Take;
        }
        bool allow = true;
        target->didReceiveResponse(*m_task, response, [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            // Refused: the rest is not read, and the end reads as cancelled.
            m_error = urlError(Cancelled, QStringLiteral("cancelled"));
            return Verdict::End;
        }
        return Verdict::Take;
    }

    bool body(const char* data, qsizetype size) override {
        if (m_error) {
            return false;
        }
        if (!m_decoder) {
            return take(data, size);
        }
        const auto result = m_decoder->feed(data, size, [&](const char* decoded, qsizetype length) {
            return take(decoded, length);
        });
        if (result == ContentDecoder::Result::Corrupt) {
            m_error = urlError(BadServerResponse, QStringLiteral("The compressed answer does not decompress"));
            return false;
        }
        return result == ContentDecoder::Result::Ok;
    }

    void end(const TransferEnd& end) override { complete(errorOf(end), true); }

private:
    // The delegate, for one call or a few in a row; none once the session was invalidated. The
    // session's delivery lock is held meanwhile, so an invalidation from another thread waits
    // for the call to end, and the delegate it let go is never called after.
    class Telling {
    public:
        explicit Telling(const ImageSession& session)
            : m_lock(session.m_delivery), m_delegate(session.delegate()) {}
        explicit operator bool() const { return m_delegate != nullptr; }
        ImageSessionDelegate* operator->() const { return m_delegate; }

    private:
        std::unique_lock<std::recursive_mutex> m_lock;
        ImageSessionDelegate* m_delegate;
    };

    Telling telling() const { return Telling(*m_session); }

    Verdict redirect(int status, const QByteArray& locationHeader, TransferOrder& order) {
        const Configuration& configuration = m_session->m_configuration;
        const QUrl from = m_request.url;
        const QUrl location = QUrl::fromEncoded(locationHeader);
        const QUrl to = from.resolved(location);
        if (++m_metrics.redirectCount > configuration.maximumRedirects) {
            m_error = urlError(TooManyRedirects, QStringLiteral("More than %1 redirects").arg(configuration.maximumRedirects));
            return Verdict::End;
        }
        if (!location.isValid() || !ImageSession::isFetchable(to)) {
            m_error = urlError(UnsupportedURL, QStringLiteral("Redirect to an unsupported URL refused"));
            return Verdict::End;
        }
        if (status == 303 || ((status == 301 || status == 302) && m_request.method == "POST")) {
            m_request.method = "GET";
            m_request.body.reset();
        }
        if (!isSameOrigin(from, to)) {
            // What opened the door of one server opens none of another.
            m_request.removeHeader("Authorization");
            m_request.removeHeader("Cookie");
            m_credential.reset();
        }
        // A revalidation's condition belongs to the URL asked first.
        m_revalidating.reset();
        m_request.url = to;
        order = this->order();
        return Verdict::Again;
    }

    bool wantsCredential(const ImageResponse& response) {
        const auto challenge = response.header("WWW-Authenticate");
        const Telling target = telling();
        if (!challenge || !challenge->trimmed().toLower().startsWith("basic") || !target) {
            return false;
        }
        const int failures = m_authenticationFailures++;
        const auto credential = target->credentialForChallenge(*m_task, failures);
        if (!credential) {
            return false;
        }
        m_credential = credential;
        return true;
    }

    // Hands decoded bytes on, unless they pass the bound.
    bool take(const char* data, qsizetype size) {
        const qint64 ceiling = m_request.maximumBodyBytes;
        if (ceiling > 0 && m_received + size > ceiling) {
            // Ended where its bytes arrive: nothing past the bound is handed on or waits.
            m_error = tooLarge(ceiling);
            return false;
        }
        m_received += size;
        const QByteArray chunk(data, size);
        if (m_cacheWriting && !m_cacheWriting->write(chunk)) {
            m_cacheWriting.reset();
        }
        if (const Telling target = telling()) {
            target->didReceiveData(*m_task, chunk);
        }
        return !m_error;
    }

    static ImageError tooLarge(qint64 ceiling) {
        return urlError(DataLengthExceedsMaximum, QStringLiteral("The answer is larger than %1 bytes").arg(ceiling));
    }

    void deliverCached(const ImageUrlCache::Entry& cached) {
        m_headDelivered = true;
        const Telling target = telling();
        if (!target) {
            return;
        }
        bool allow = true;
        target->didReceiveResponse(*m_task, cached.response, [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            m_error = urlError(Cancelled, QStringLiteral("cancelled"));
            return;
        }
        if (!cached.data.isEmpty()) {
            target->didReceiveData(*m_task, cached.data);
        }
    }

    ImageError errorOf(const TransferEnd& end) const {
        using Kind = TransferEnd::Kind;
        switch (end.kind) {
        case Kind::Done:
            if (m_decoder && !m_decoder->isComplete()) {
                return urlError(NetworkConnectionLost, QStringLiteral("The compressed answer ended before its own end"));
            }
            return ImageError();
        case Kind::EndedByReader:
            return m_error.value_or(ImageError());
        case Kind::Cancelled:
            return urlError(Cancelled, QStringLiteral("cancelled"));
        case Kind::TimedOut:
            return urlError(TimedOut, QStringLiteral("The request timed out: %1").arg(end.message));
        case Kind::HeadTooLarge:
        case Kind::HeadMalformed:
        case Kind::TrailersTooLarge:
            return urlError(BadServerResponse, end.message);
        case Kind::BodyTooLarge:
            return tooLarge(m_request.maximumBodyBytes);
        case Kind::AddressRefused:
            return urlError(AddressRefused, end.message);
        case Kind::ProxyRefused:
            return urlError(CannotConnectToHost, end.message);
        case Kind::OutOfResources:
        case Kind::Stopped:
            return urlError(CannotLoadFromNetwork, end.message);
        case Kind::Failed:
            if (m_error) {
                return *m_error;
            }
            if (!m_headDelivered && end.cause == TransferEnd::Cause::OutOfResources && end.requestSent) {
                // libcurl holds a head's line in a buffer of its own bound (100 KiB), and says no
                // more than "out of memory" when a line passes it.
                return urlError(BadServerResponse, QStringLiteral("The answer's head has a line past 100 KiB"));
            }
            return urlError(urlErrorCode(end.cause), end.message);
        }
        return urlError(Unknown, end.message);
    }

    void complete(const ImageError& error, bool collected) {
        if (m_cacheWriting) {
            m_cacheWriting->finish(error.isNull());
            m_cacheWriting.reset();
        }
        m_session->transferEnded(m_task->taskIdentifier());
        const Telling target = telling();
        if (!target) {
            return;
        }
        if (collected) {
            m_metrics.responseEnd = QDateTime::currentDateTimeUtc();
            target->didFinishCollectingMetrics(*m_task, m_metrics);
        }
        target->didComplete(*m_task, error);
    }

    ImageSession* m_session;
    std::shared_ptr<ImageDataTask> m_task;
    // The request of the hop under way, with the URL as the server named it.
    ImageRequest m_request;
    std::unique_ptr<ContentDecoder> m_decoder;
    // Set when this side ended the transfer: how it ends.
    std::optional<ImageError> m_error;
    bool m_headDelivered = false;
    qint64 m_received = 0;
    int m_authenticationFailures = 0;
    std::optional<ImageCredential> m_credential;
    // The URL cache's answer being checked with the server, and what goes into the cache.
    std::optional<ImageUrlCache::Entry> m_revalidating;
    std::unique_ptr<ImageUrlCache::Writing> m_cacheWriting;
    ImageTaskMetrics m_metrics;
};

// --- ImageSession ----------------------------------------------------------------

ImageSession::Place ImageSession::placeOf(const QHostAddress& address) {
    return placeOfAddress(address);
}

bool ImageSession::mayRedirect(Place start, Place to) {
    return AddressRule::mayFollow(start, to);
}

bool ImageSession::isFetchable(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

ImageSession::ImageSession(Configuration configuration, ImageSessionDelegate* delegate)
    : m_configuration(std::move(configuration)), m_delegate(delegate), m_link(std::make_shared<ImageSessionLink>()) {
    m_link->session = this;
    ConnectionUse use;
    use.perHost = std::max(1, m_configuration.connectionsPerHost);
    use.inAll = std::max(1, m_configuration.connections);
    use.hostsKeptAlive = std::max(0, m_configuration.hostsKeptAlive);
    use.idleAge = std::chrono::seconds(std::max(1, m_configuration.idleConnectionSeconds));
    use.cookies = true;
    m_connections = std::make_shared<const ConnectionUse>(use);
    m_addresses = imageAddressRule(m_configuration.placeOfAddress);
    const QList<QByteArray> extra =
        TrustStore::derOf(m_configuration.extraCaCertificates + SessionConfiguration::standard().extraCaCertificates);
    if (!extra.isEmpty()) {
        m_trust = TrustStore::of(extra);
    }
    QString folder = m_configuration.urlCacheDirectory;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/image-urls");
    }
    m_urlCache = std::make_shared<ImageUrlCache>(folder, m_configuration.urlCacheMaximumSize);
}

ImageSession::~ImageSession() {
    stop();
}

void ImageSession::stop() {
    {
        std::lock_guard lock(m_link->mutex);
        m_link->session = nullptr;
    }
    m_invalidated = true;
    {
        std::lock_guard lock(m_mutex);
        if (std::exchange(m_stopped, true)) {
            return;
        }
        m_transfers.clear();
    }
    TransferThread::instance().forget(m_connections.get());
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
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped) {
            return std::nullopt;
        }
    }
    auto entry = m_urlCache->entry(url);
    if (!entry) {
        return std::nullopt;
    }
    return CachedResponse{std::move(entry->response), std::move(entry->data)};
}

void ImageSession::invalidate(bool cancelTasks) {
    const bool already = m_invalidated.exchange(true);
    if (!TransferThread::instance().isCurrentThread()) {
        // A delegate call under way on the transport's thread ends first: once this returns, the
        // delegate may go.
        std::lock_guard told(m_delivery);
    }
    if (already || !cancelTasks) {
        return;
    }
    std::map<quint64, quint64> transfers;
    {
        std::lock_guard lock(m_mutex);
        transfers.swap(m_transfers);
    }
    for (const auto& [task, transfer] : transfers) {
        TransferThread::instance().cancel(transfer);
    }
}

void ImageSession::resume(const std::shared_ptr<ImageDataTask>& task) {
    if (m_invalidated) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_stopped) {
        return;
    }
    auto transfer = std::make_shared<Transfer>(this, task);
    m_transfers[task->taskIdentifier()] = TransferThread::instance().start(transfer->order(), transfer);
}

void ImageSession::cancel(quint64 taskIdentifier) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_transfers.find(taskIdentifier); it != m_transfers.end()) {
        TransferThread::instance().cancel(it->second, true);
    }
}

void ImageSession::transferEnded(quint64 taskIdentifier) {
    std::lock_guard lock(m_mutex);
    m_transfers.erase(taskIdentifier);
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
