#include "images/download/ImageSession.h"

#include "images/core/ImageError.h"
#include "platform/net/ConnectionReuse.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/Redirects.h"
#include "platform/net/ResponseHeadReader.h"
#include "platform/net/SessionConfiguration.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QNetworkCacheMetaData>
#include <QNetworkDiskCache>
#include <QNetworkRequest>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QThread>
#include <QTimeZone>
#include <QTimer>

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

namespace velmora::images {

namespace {

int msOf(double seconds) {
    return static_cast<int>(std::clamp(seconds, 0.001, 86400.0) * 1000);
}

long wholeSeconds(double seconds) {
    return static_cast<long>(std::ceil(std::clamp(seconds, 1.0, 86400.0)));
}

std::optional<QHostAddress> addressOf(const sockaddr* address) {
    if (!address) {
        return std::nullopt;
    }
    if (address->sa_family == AF_INET || address->sa_family == AF_INET6) {
        return QHostAddress(address);
    }
    return std::nullopt;
}

ImageSession::UrlErrorCode urlErrorCode(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return ImageSession::TimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
        return ImageSession::CannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return ImageSession::CannotConnectToHost;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return ImageSession::NetworkConnectionLost;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return ImageSession::UnsupportedURL;
    case CURLE_URL_MALFORMAT:
        return ImageSession::BadURL;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return ImageSession::SecureConnectionFailed;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
        return ImageSession::BadServerResponse;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
    case CURLE_AGAIN:
        // The network layer could not go on: out of descriptors or memory, among others.
        return ImageSession::CannotLoadFromNetwork;
    default:
        return ImageSession::Unknown;
    }
}

// The parts of libcurl a process sets up once, before any session uses it.
void setUpCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

struct ImageSessionCurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, ImageSessionCurlSlistDeleter>;

// --- the network thread's side -----------------------------------------------------
//
// Transfers run on libcurl's multi interface, driven by this thread's event loop (its sockets
// watched by socket notifiers, its time-outs by one timer), so the bounds below hold where the
// bytes are read, not above them: a head is read within bounds of bytes, lines and time; a
// transfer that receives nothing for its stall bound or crawls below a byte a second ends; idle
// connections are few and closed by this side after their age; a host holds a few connections
// and the session a bounded number in all; names are looked up by libcurl's threaded resolver,
// a thread per look-up, so a look-up that never answers holds only its own transfer. A transfer
// that goes wrong is removed from the multi handle at once, which closes its connection then and
// there: nothing waits in a queue behind other transfers' bytes.
//
// Every connection's address is judged before the connection is made (the socket hook refuses
// the local link and what is no place, and for a redirect anything further inward than where the
// transfer started) and again before the request goes out on it (the pre-request hook, which also
// sees connections kept from earlier transfers). Redirects are followed here, each by a new hop.

class ImageSession::Worker : public QObject {
public:
    Worker(ImageSession* session, ImageSession::Configuration configuration)
        : m_session(session), m_configuration(std::move(configuration)) {}

    ~Worker() override { closeMulti(); }

    void setUp() {
        QString folder = m_configuration.urlCacheDirectory;
        if (folder.isEmpty()) {
            folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                     QStringLiteral("/image-urls");
        }
        m_cache = new QNetworkDiskCache(this);
        m_cache->setCacheDirectory(folder);
        m_cache->setMaximumCacheSize(m_configuration.urlCacheMaximumSize);
        QList<QSslCertificate> extra = m_configuration.extraCaCertificates;
        extra += SessionConfiguration::processExtraCaCertificates();
        if (!extra.isEmpty()) {
            // libcurl takes one bundle: the system's authorities with the extra ones after them.
            for (const QSslCertificate& certificate : QSslConfiguration::systemCaCertificates() + extra) {
                m_caBundle += certificate.toPem();
            }
        }
        m_curlTimer = new QTimer(this);
        m_curlTimer->setSingleShot(true);
        connect(m_curlTimer, &QTimer::timeout, this, [this] { socketAction(CURL_SOCKET_TIMEOUT, 0); });
        m_idleSweep = new QTimer(this);
        m_idleSweep->setSingleShot(true);
        connect(m_idleSweep, &QTimer::timeout, this, [this] { closeIdleConnections(); });
        openMulti();
    }

    void tearDown(bool cancelTasks) {
        Q_UNUSED(cancelTasks); // a transfer left running would go on unobserved: none is left
        m_delivering = false;
        auto transfers = std::move(m_transfers);
        m_transfers.clear();
        for (auto& [identifier, transfer] : transfers) {
            dropHop(*transfer);
        }
        closeMulti();
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
        if (!m_multi) {
            openMulti();
        }
        m_idleSweep->stop();
        const quint64 identifier = task->taskIdentifier();
        auto owned = std::make_unique<Transfer>();
        Transfer& transfer = *owned;
        m_transfers[identifier] = std::move(owned);
        transfer.worker = this;
        transfer.identifier = identifier;
        transfer.task = task;
        transfer.request = request;
        transfer.metrics.fetchStart = QDateTime::currentDateTimeUtc();
        const double total =
            request.timeoutSeconds > 0 ? request.timeoutSeconds : m_configuration.requestTimeoutSeconds;
        transfer.totalSeconds = total;
        transfer.stallSeconds = request.stallTimeoutSeconds > 0 ? request.stallTimeoutSeconds
                                                                : m_configuration.stallTimeoutSeconds;
        // The whole transfer has its deadline, however it trickles; apart from it, a transfer that
        // receives nothing for the stall bound ends at once, and a head must be whole within its
        // own bound.
        transfer.deadline = new QTimer(this);
        transfer.deadline->setSingleShot(true);
        connect(transfer.deadline, &QTimer::timeout, this,
                [this, identifier] { fail(identifier, TimedOut, QStringLiteral("The request timed out.")); });
        transfer.deadline->start(msOf(total));
        transfer.stall = new QTimer(this);
        transfer.stall->setSingleShot(true);
        transfer.stall->setInterval(msOf(transfer.stallSeconds));
        connect(transfer.stall, &QTimer::timeout, this, [this, identifier] {
            fail(identifier, TimedOut, QStringLiteral("The request timed out: nothing arrived for a while."));
        });
        transfer.headDeadline = new QTimer(this);
        transfer.headDeadline->setSingleShot(true);
        connect(transfer.headDeadline, &QTimer::timeout, this, [this, identifier] {
            fail(identifier, TimedOut,
                 QStringLiteral("The request timed out: the answer's head did not end."));
        });
        if (answerFromCache(transfer)) {
            return;
        }
        beginHop(identifier, request.url);
    }

    void cancel(quint64 identifier) {
        if (!m_transfers.contains(identifier)) {
            return;
        }
        end(identifier, ImageError(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled")));
    }

    std::optional<ImageSession::CachedResponse> cached(const QUrl& url) const {
        return cached(url, m_cache->metaData(url));
    }

    // The entry of `url` whose `metaData` was read already: reading it opens the entry's file.
    std::optional<ImageSession::CachedResponse> cached(const QUrl& url,
                                                       const QNetworkCacheMetaData& metaData) const {
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

    // Called by the pieces of libcurl that run on this thread.
    static int onSocket(CURL*, curl_socket_t socket, int what, void* self, void*);
    static int onTimer(CURLM*, long timeoutMs, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* transfer);
    static size_t onBody(char* data, size_t size, size_t count, void* transfer);
    static curl_socket_t onOpenSocket(void* transfer, curlsocktype purpose, curl_sockaddr* address);
    static int onPrerequest(void* transfer, char* connectedIp, char* localIp, int connectedPort,
                            int localPort);

private:
    struct Transfer {
        Worker* worker = nullptr;
        quint64 identifier = 0;
        std::shared_ptr<ImageDataTask> task;
        // The request of the hop under way, with the URL as the server named it.
        ImageRequest request;
        CURL* easy = nullptr;
        CurlSlist headerList;
        QTimer* deadline = nullptr;
        QTimer* stall = nullptr;
        QTimer* headDeadline = nullptr;
        double totalSeconds = 60;
        double stallSeconds = 5;
        // Where the first hop connected; none before it did.
        std::optional<Place> start;
        // Why an address of this hop was refused, when one was.
        QString refusal;
        // A socket could not be made for want of descriptors or memory.
        bool outOfResources = false;
        // libcurl's own words about a failure.
        std::array<char, CURL_ERROR_SIZE> curlError{};
        std::unique_ptr<ResponseHeadReader> head;
        std::unique_ptr<ContentDecoder> decoder;
        // Set by a hook when it ended the hop: how the transfer ends.
        std::optional<ImageError> endedBy;
        bool headDelivered = false;
        bool redirecting = false;
        bool refused = false;
        bool retryWithCredential = false;
        // The hop goes on a new connection: a kept one held bytes nobody asked for.
        bool freshConnection = false;
        ConnectionReuse reuse;
        qint64 received = 0;
        qint64 rawReceived = 0;
        qint64 trailerBytes = 0;
        int authenticationFailures = 0;
        std::optional<ImageCredential> credential;
        QString keptAliveHost;
        // The URL cache's answer being checked with the server, and what goes into the cache.
        std::optional<ImageSession::CachedResponse> revalidating;
        QIODevice* cacheDevice = nullptr;
        ImageTaskMetrics metrics;
    };

    struct Watch {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };

    ImageSessionDelegate* delegate() const { return m_delivering ? m_session->delegate() : nullptr; }

    Place placeOfAddress(const QHostAddress& address) const {
        return m_configuration.placeOfAddress ? m_configuration.placeOfAddress(address) : placeOf(address);
    }

    // Whether a hop of `transfer` may reach `address`, and if not why.
    std::optional<QString> refusalOf(const Transfer& transfer, const QHostAddress& address) const {
        const Place place = placeOfAddress(address);
        if (transfer.start) {
            if (!mayRedirect(*transfer.start, place)) {
                return QStringLiteral("Redirect refused: %1 leads further inward than the image's server")
                    .arg(transfer.request.url.host());
            }
            return std::nullopt;
        }
        if (place == Place::LinkLocal || place == Place::Unusable) {
            return QStringLiteral("Refused: %1 is on the local link").arg(transfer.request.url.host());
        }
        return std::nullopt;
    }

    // --- the multi handle ---

    void openMulti() {
        m_multi = curl_multi_init();
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Worker::onSocket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Worker::onTimer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                          long(std::max(1, m_configuration.connectionsPerHost)));
        curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS,
                          long(std::max(1, m_configuration.connections)));
        // Idle connections kept for later transfers: one per host that may keep one.
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, long(std::max(0, m_configuration.hostsKeptAlive)));
        m_share = curl_share_init();
        // Cookies as a browser keeps them, for the transfers that handle cookies.
        curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }

    void closeMulti() {
        for (auto& [socket, watch] : m_watches) {
            delete watch.read;
            delete watch.write;
        }
        m_watches.clear();
        if (m_multi) {
            curl_multi_cleanup(std::exchange(m_multi, nullptr));
        }
        if (m_share) {
            curl_share_cleanup(std::exchange(m_share, nullptr));
        }
        if (m_curlTimer) {
            m_curlTimer->stop();
        }
    }

    // With no transfer left the multi handle and every connection it keeps are let go: an idle
    // connection closes at its age from this side, whatever the server said about keeping it.
    void closeIdleConnections() {
        if (!m_transfers.empty()) {
            return;
        }
        closeMulti();
        m_keptAlive.clear();
    }

    void watch(curl_socket_t socket, int what) {
        Watch& watch = m_watches[socket];
        const bool wantsRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
        const bool wantsWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
        if (wantsRead && !watch.read) {
            watch.read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
            connect(watch.read, &QSocketNotifier::activated, this,
                    [this, socket] { socketAction(socket, CURL_CSELECT_IN); });
        }
        if (wantsWrite && !watch.write) {
            watch.write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
            connect(watch.write, &QSocketNotifier::activated, this,
                    [this, socket] { socketAction(socket, CURL_CSELECT_OUT); });
        }
        if (watch.read) {
            watch.read->setEnabled(wantsRead);
        }
        if (watch.write) {
            watch.write->setEnabled(wantsWrite);
        }
    }

    void unwatch(curl_socket_t socket) {
        const auto it = m_watches.find(socket);
        if (it == m_watches.end()) {
            return;
        }
        // The notifier may be the one whose signal runs now.
        for (QSocketNotifier* notifier : {it->second.read, it->second.write}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->disconnect(this);
                notifier->deleteLater();
            }
        }
        m_watches.erase(it);
    }

    void socketAction(curl_socket_t socket, int events) {
        if (!m_multi) {
            return;
        }
        int running = 0;
        curl_multi_socket_action(m_multi, socket, events, &running);
        readMessages();
    }

    void readMessages() {
        int left = 0;
        while (m_multi) {
            CURLMsg* message = curl_multi_info_read(m_multi, &left);
            if (!message) {
                break;
            }
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            const CURLcode result = message->data.result;
            if (transfer) {
                hopDone(*transfer, result);
            }
        }
    }

    // --- hops ---

    void beginHop(quint64 identifier, const QUrl& url) {
        Transfer& transfer = *m_transfers.at(identifier);
        transfer.request.url = url;
        transfer.refusal.clear();
        transfer.outOfResources = false;
        transfer.curlError.fill(0);
        transfer.endedBy.reset();
        transfer.redirecting = false;
        transfer.retryWithCredential = false;
        transfer.headDelivered = false;
        transfer.received = 0;
        transfer.rawReceived = 0;
        transfer.trailerBytes = 0;
        transfer.decoder.reset();
        ResponseHeadReader::Limits limits;
        limits.maximumBytes = m_configuration.maximumHeaderBytes;
        limits.maximumLines = m_configuration.maximumHeaderLines;
        transfer.head = std::make_unique<ResponseHeadReader>(limits);
        transfer.stall->start();
        transfer.headDeadline->start(
            msOf(std::min(m_configuration.headTimeoutSeconds, transfer.totalSeconds)));

        const ImageRequest& request = transfer.request;
        CURL* easy = curl_easy_init();
        if (!easy) {
            fail(identifier, CannotLoadFromNetwork,
                 QStringLiteral("The network layer could not start a transfer"));
            return;
        }
        transfer.easy = easy;
        const QByteArray encodedUrl = url.toEncoded();
        curl_easy_setopt(easy, CURLOPT_URL, encodedUrl.constData());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.curlError.data());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // Neither a proxy from the environment nor signals: the address judged is the one reached.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Leaving a transfer whose look-up has not answered never waits for the look-up's thread.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_caBundle.isEmpty()) {
            curl_blob blob{m_caBundle.data(), size_t(m_caBundle.size()), CURL_BLOB_NOCOPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        }
        // Time: the whole transfer, its connection, and a floor of speed over the stall bound.
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(msOf(transfer.totalSeconds)));
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         long(msOf(std::min(m_configuration.connectTimeoutSeconds, transfer.totalSeconds))));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, wholeSeconds(transfer.stallSeconds));
        // Idle connections: reused only while younger than their bound.
        curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, long(std::max(1, m_configuration.idleConnectionSeconds)));
        // The most bytes read from the socket at once, so the most one call hands on.
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                         long(std::clamp<qint64>(m_configuration.readBufferBytes, 1024, CURL_MAX_READ_SIZE)));
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Worker::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Worker::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Worker::onOpenSocket);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Worker::onPrerequest);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
        transfer.reuse.watch(easy);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, long(transfer.freshConnection));
        if (request.handlesCookies) {
            curl_easy_setopt(easy, CURLOPT_SHARE, m_share);
            curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
        }
        if (transfer.credential) {
            const QByteArray user = transfer.credential->user.toUtf8();
            const QByteArray password = transfer.credential->password.toUtf8();
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
            curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
        }

        curl_slist* list = nullptr;
        bool acceptEncoding = false;
        for (const auto& [name, value] : request.headers) {
            if (name.compare("Accept-Encoding", Qt::CaseInsensitive) == 0) {
                acceptEncoding = true;
            }
            // "Name:" alone would remove libcurl's own header; "Name;" sends it empty.
            const QByteArray line = value.isEmpty() ? name + ';' : name + ": " + value;
            list = curl_slist_append(list, line.constData());
        }
        if (!acceptEncoding) {
            const QByteArray line = "Accept-Encoding: " + ContentDecoder::acceptedEncodings();
            list = curl_slist_append(list, line.constData());
        }
        // libcurl would ask the server to wait for a go before a body; nobody waits here.
        list = curl_slist_append(list, "Expect:");
        if (transfer.revalidating) {
            for (const auto& [name, value] : transfer.revalidating->response.headers) {
                if (name.compare("ETag", Qt::CaseInsensitive) == 0) {
                    list = curl_slist_append(list, ("If-None-Match: " + value).constData());
                } else if (name.compare("Last-Modified", Qt::CaseInsensitive) == 0) {
                    list = curl_slist_append(list, ("If-Modified-Since: " + value).constData());
                }
            }
        }
        if (!keepAlive(transfer)) {
            // A host past the few that keep a connection: closed by this side once answered.
            list = curl_slist_append(list, "Connection: close");
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }
        transfer.headerList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

        if (request.method == "GET" && !request.body) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            if (request.body) {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body->size()));
                curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body->constData());
            }
            if (request.method != "POST") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
            }
        }
        if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
            fail(identifier, CannotLoadFromNetwork,
                 QStringLiteral("The network layer could not start a transfer"));
        }
    }

    // At most `hostsKeptAlive` hosts keep an idle connection: whether this hop's host is one.
    bool keepAlive(Transfer& transfer) {
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
            return false;
        }
        ++it->second.running;
        it->second.lastUsed = now;
        transfer.keptAliveHost = host;
        return true;
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

    // Lets the hop's handle go: removed from the multi handle, which closes a connection that
    // is not done, at once.
    void dropHop(Transfer& transfer) {
        releaseKeptAlive(transfer);
        if (CURL* easy = std::exchange(transfer.easy, nullptr)) {
            if (m_multi) {
                curl_multi_remove_handle(m_multi, easy);
            }
            curl_easy_cleanup(easy);
        }
        transfer.headerList.reset();
        transfer.headDeadline->stop();
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
        std::unique_ptr<Transfer> transfer = std::move(node.mapped());
        dropHop(*transfer);
        finishCaching(*transfer, error.isNull());
        delete transfer->deadline;
        delete transfer->stall;
        delete transfer->headDeadline;
        transfer->metrics.responseEnd = QDateTime::currentDateTimeUtc();
        if (m_transfers.empty() && m_idleSweep) {
            m_idleSweep->start(std::max(1, m_configuration.idleConnectionSeconds) * 1000);
        }
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        target->didFinishCollectingMetrics(*transfer->task, transfer->metrics);
        target->didComplete(*transfer->task, error);
    }

    // A hop that libcurl finished, well or not.
    void hopDone(Transfer& transfer, CURLcode result) {
        const quint64 identifier = transfer.identifier;
        if (transfer.reuse.refusedConnection() && !transfer.freshConnection) {
            // Nothing of the request went out: it goes again, once, on a new connection.
            transfer.freshConnection = true;
            dropHop(transfer);
            beginHop(identifier, transfer.request.url);
            return;
        }
        if (transfer.endedBy) {
            const ImageError error = *transfer.endedBy;
            end(identifier, error);
            return;
        }
        if (transfer.redirecting) {
            followRedirect(transfer);
            return;
        }
        if (transfer.retryWithCredential) {
            dropHop(transfer);
            beginHop(identifier, transfer.request.url);
            return;
        }
        if (result != CURLE_OK) {
            if (!transfer.refusal.isEmpty() && result == CURLE_COULDNT_CONNECT) {
                fail(identifier, AddressRefused, transfer.refusal);
                return;
            }
            if (transfer.outOfResources) {
                fail(identifier, CannotLoadFromNetwork,
                     QStringLiteral("No connection could be made: out of descriptors or memory"));
                return;
            }
            const QString what = transfer.curlError[0] ? QString::fromUtf8(transfer.curlError.data())
                                                       : QString::fromUtf8(curl_easy_strerror(result));
            if (!transfer.headDelivered && result == CURLE_OUT_OF_MEMORY) {
                // libcurl holds a head's line in a buffer of its own bound (100 KiB), and says no
                // more than "out of memory" when a line passes it.
                fail(identifier, BadServerResponse,
                     QStringLiteral("The answer's head has a line past 100 KiB"));
                return;
            }
            fail(identifier, urlErrorCode(result), what);
            return;
        }
        if (!transfer.headDelivered) {
            // An answer with no head a transfer may take (libcurl reads one before it is done).
            fail(identifier, BadServerResponse, QStringLiteral("The server's answer had no head"));
            return;
        }
        if (transfer.decoder && !transfer.decoder->isComplete()) {
            fail(identifier, NetworkConnectionLost,
                 QStringLiteral("The compressed answer ended before its own end"));
            return;
        }
        end(identifier, ImageError());
    }

    void followRedirect(Transfer& transfer) {
        const quint64 identifier = transfer.identifier;
        const QUrl from = transfer.request.url;
        std::optional<QByteArray> locationHeader;
        for (const auto& [name, value] : transfer.head->headers()) {
            if (name.compare("Location", Qt::CaseInsensitive) == 0) {
                locationHeader = value;
            }
        }
        const int status = transfer.head->status();
        dropHop(transfer);
        const QUrl location = QUrl::fromEncoded(locationHeader.value_or(QByteArray()));
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
        if (!isSameOrigin(from, to)) {
            // What opened the door of one server opens none of another.
            request.removeHeader("Authorization");
            request.removeHeader("Cookie");
            transfer.credential.reset();
        }
        // A revalidation's condition belongs to the URL asked first.
        transfer.revalidating.reset();
        beginHop(identifier, to);
    }

    // --- the head and the body, as libcurl reads them ---

    size_t header(Transfer& transfer, const char* data, size_t length) {
        transfer.stall->start();
        if (transfer.endedBy) {
            return 0;
        }
        if (transfer.headDelivered) {
            // Trailers after a chunked body: counted against the head's bound, otherwise unread.
            transfer.trailerBytes += qint64(length);
            return transfer.trailerBytes <= m_configuration.maximumHeaderBytes ? length : 0;
        }
        switch (transfer.head->addLine(QByteArrayView(data, qsizetype(length)))) {
        case ResponseHeadReader::Step::More:
        case ResponseHeadReader::Step::InterimDone:
            return length;
        case ResponseHeadReader::Step::TooLarge:
            transfer.endedBy =
                ImageError(QString(urlErrorDomain), BadServerResponse,
                           QStringLiteral("The answer's head is longer than %1 bytes or %2 lines")
                               .arg(m_configuration.maximumHeaderBytes)
                               .arg(m_configuration.maximumHeaderLines));
            return 0;
        case ResponseHeadReader::Step::Malformed:
            transfer.endedBy = ImageError(QString(urlErrorDomain), BadServerResponse,
                                          QStringLiteral("The answer's head is malformed"));
            return 0;
        case ResponseHeadReader::Step::Done:
            break;
        }
        transfer.headDeadline->stop();
        return headEnded(transfer) ? length : 0;
    }

    // The final answer's head is whole: a redirect is followed, a challenge answered, anything
    // else handed to the delegate. False ends the hop.
    bool headEnded(Transfer& transfer) {
        const ResponseHeadReader& head = *transfer.head;
        const int status = head.status();
        ImageResponse response;
        response.url = transfer.request.url;
        response.statusCode = status;
        response.httpVersion = head.version();
        response.headers = head.headers();
        if (isRedirectStatus(status) && response.header("Location")) {
            // A redirect's own head is not the answer, nor is its body wanted.
            transfer.redirecting = true;
            return false;
        }
        if (status == 304 && transfer.revalidating) {
            // Unchanged: the cached answer stands, under the head the server just confirmed.
            ImageSession::CachedResponse cached = std::move(*transfer.revalidating);
            transfer.revalidating.reset();
            refreshCacheEntry(transfer, response);
            transfer.endedBy = ImageError();
            deliverCached(transfer, cached);
            return false;
        }
        transfer.revalidating.reset();
        if (status == 401 && wantsCredential(transfer, response)) {
            return false;
        }
        if (const auto encoding = response.header("Content-Encoding")) {
            if (!ContentDecoder::isReadable(*encoding)) {
                transfer.endedBy =
                    ImageError(QString(urlErrorDomain), BadServerResponse,
                               QStringLiteral("The answer is encoded as %1, which was not asked for")
                                   .arg(QString::fromLatin1(encoding->left(64))));
                return false;
            }
            transfer.decoder = ContentDecoder::forEncoding(*encoding);
            if (transfer.decoder) {
                // The length is the encoded one: of the decoded body nothing is known ahead.
                std::erase_if(response.headers, [](const auto& header) {
                    return header.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
                });
            }
        }
        transfer.headDelivered = true;
        prepareCaching(transfer, response);
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return true;
        }
        bool allow = true;
        target->didReceiveResponse(*transfer.task, response, [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            // Refused: the rest is not read, and the end reads as cancelled.
            transfer.refused = true;
            transfer.endedBy = ImageError(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled"));
            return false;
        }
        return true;
    }

    bool wantsCredential(Transfer& transfer, const ImageResponse& response) {
        const auto challenge = response.header("WWW-Authenticate");
        ImageSessionDelegate* target = delegate();
        if (!challenge || !challenge->trimmed().toLower().startsWith("basic") || !target) {
            return false;
        }
        const int failures = transfer.authenticationFailures++;
        const auto credential = target->credentialForChallenge(*transfer.task, failures);
        if (!credential) {
            return false;
        }
        transfer.credential = credential;
        transfer.retryWithCredential = true;
        return true;
    }

    size_t body(Transfer& transfer, const char* data, size_t length) {
        transfer.stall->start();
        if (transfer.endedBy || !transfer.headDelivered || transfer.refused) {
            return 0;
        }
        const qint64 ceiling = transfer.request.maximumBodyBytes;
        transfer.rawReceived += qint64(length);
        if (ceiling > 0 && transfer.rawReceived > ceiling) {
            tooLarge(transfer, ceiling);
            return 0;
        }
        if (!transfer.decoder) {
            return take(transfer, data, qsizetype(length)) ? length : 0;
        }
        const auto result =
            transfer.decoder->feed(data, qsizetype(length), [&](const char* decoded, qsizetype size) {
                return take(transfer, decoded, size);
            });
        if (result == ContentDecoder::Result::Corrupt) {
            transfer.endedBy = ImageError(QString(urlErrorDomain), BadServerResponse,
                                          QStringLiteral("The compressed answer does not decompress"));
            return 0;
        }
        return result == ContentDecoder::Result::Ok ? length : 0;
    }

    // Hands decoded bytes on, unless they pass the bound.
    bool take(Transfer& transfer, const char* data, qsizetype size) {
        const qint64 ceiling = transfer.request.maximumBodyBytes;
        if (ceiling > 0 && transfer.received + size > ceiling) {
            // Ended where its bytes arrive: nothing past the bound is handed on or waits.
            tooLarge(transfer, ceiling);
            return false;
        }
        transfer.received += size;
        const QByteArray chunk(data, size);
        if (transfer.cacheDevice && transfer.cacheDevice->write(chunk) != chunk.size()) {
            m_cache->remove(transfer.request.url);
            transfer.cacheDevice = nullptr;
        }
        if (ImageSessionDelegate* target = delegate()) {
            target->didReceiveData(*transfer.task, chunk);
        }
        return !transfer.endedBy;
    }

    void tooLarge(Transfer& transfer, qint64 ceiling) {
        transfer.endedBy = ImageError(QString(urlErrorDomain), DataLengthExceedsMaximum,
                                      QStringLiteral("The answer is larger than %1 bytes").arg(ceiling));
    }

    // --- the URL cache ---

    // A fresh answer in the URL cache answers at once; a stale one with a validator is asked
    // about (If-None-Match, If-Modified-Since) and stands if the server says it is unchanged.
    bool answerFromCache(Transfer& transfer) {
        const ImageRequest& request = transfer.request;
        if (request.cachePolicy != ImageRequest::CachePolicy::UseProtocolCachePolicy ||
            request.method != "GET" || request.body) {
            return false;
        }
        const QNetworkCacheMetaData metaData = m_cache->metaData(request.url);
        auto cached = this->cached(request.url, metaData);
        if (!cached) {
            return false;
        }
        const QDateTime expires = metaData.expirationDate();
        if (expires.isValid() && expires > QDateTime::currentDateTimeUtc()) {
            deliverCached(transfer, *cached);
            end(transfer.identifier, transfer.endedBy.value_or(ImageError()));
            return true;
        }
        if (cached->response.header("ETag") || cached->response.header("Last-Modified")) {
            transfer.revalidating = std::move(cached);
        }
        return false;
    }

    void deliverCached(Transfer& transfer, const ImageSession::CachedResponse& cached) {
        transfer.headDelivered = true;
        ImageSessionDelegate* target = delegate();
        if (!target) {
            return;
        }
        bool allow = true;
        target->didReceiveResponse(*transfer.task, cached.response,
                                   [&allow](bool allowed) { allow = allowed; });
        if (!allow) {
            transfer.refused = true;
            transfer.endedBy = ImageError(QString(urlErrorDomain), Cancelled, QStringLiteral("cancelled"));
            return;
        }
        if (!cached.data.isEmpty()) {
            target->didReceiveData(*transfer.task, cached.data);
        }
    }

    static QDateTime httpDate(const QByteArray& value) {
        // "Sun, 06 Nov 1994 08:49:37 GMT"
        QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(value.trimmed()),
                                                 QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
        date.setTimeSpec(Qt::UTC);
        return date;
    }

    static QNetworkCacheMetaData metaDataOf(const ImageResponse& response) {
        QNetworkCacheMetaData metaData;
        metaData.setUrl(response.url);
        QNetworkCacheMetaData::RawHeaderList headers;
        for (const auto& [name, value] : response.headers) {
            headers.append({name, value});
        }
        metaData.setRawHeaders(headers);
        QNetworkCacheMetaData::AttributesMap attributes;
        attributes.insert(QNetworkRequest::HttpStatusCodeAttribute, response.statusCode);
        metaData.setAttributes(attributes);
        const QByteArray control = response.header("Cache-Control").value_or(QByteArray()).toLower();
        const qsizetype maxAge = control.indexOf("max-age=");
        if (maxAge >= 0) {
            bool ok = false;
            const qint64 seconds = control.mid(maxAge + 8).split(',').value(0).trimmed().toLongLong(&ok);
            if (ok && seconds > 0 && seconds < 10ll * 365 * 24 * 3600) {
                metaData.setExpirationDate(QDateTime::currentDateTimeUtc().addSecs(seconds));
            }
        } else if (const auto expires = response.header("Expires")) {
            metaData.setExpirationDate(httpDate(*expires));
        }
        if (const auto modified = response.header("Last-Modified")) {
            metaData.setLastModified(httpDate(*modified));
        }
        const bool storable = !control.contains("no-store");
        metaData.setSaveToDisk(storable);
        return metaData;
    }

    // A 200 of a GET that may be kept opens its place in the URL cache; it is kept only when the
    // transfer ends well.
    void prepareCaching(Transfer& transfer, const ImageResponse& response) {
        if (!transfer.task->storesInUrlCache() || transfer.request.method != "GET" || transfer.request.body ||
            response.statusCode != 200) {
            return;
        }
        QNetworkCacheMetaData metaData = metaDataOf(response);
        if (!metaData.saveToDisk()) {
            return;
        }
        transfer.cacheDevice = m_cache->prepare(metaData);
    }

    void refreshCacheEntry(Transfer& transfer, const ImageResponse& notModified) {
        QNetworkCacheMetaData metaData = m_cache->metaData(transfer.request.url);
        if (!metaData.isValid()) {
            return;
        }
        const QNetworkCacheMetaData fresh = metaDataOf(notModified);
        if (fresh.expirationDate().isValid()) {
            metaData.setExpirationDate(fresh.expirationDate());
            m_cache->updateMetaData(metaData);
        }
    }

    void finishCaching(Transfer& transfer, bool whole) {
        QIODevice* device = std::exchange(transfer.cacheDevice, nullptr);
        if (!device) {
            return;
        }
        if (whole) {
            m_cache->insert(device);
        } else {
            // A cut or refused answer is never kept.
            m_cache->remove(transfer.request.url);
        }
    }

    struct KeptAlive {
        int running = 0;
        std::chrono::steady_clock::time_point lastUsed;
    };

    ImageSession* m_session;
    ImageSession::Configuration m_configuration;
    QNetworkDiskCache* m_cache = nullptr;
    QByteArray m_caBundle;
    CURLM* m_multi = nullptr;
    CURLSH* m_share = nullptr;
    QTimer* m_curlTimer = nullptr;
    QTimer* m_idleSweep = nullptr;
    std::map<curl_socket_t, Watch> m_watches;
    std::map<quint64, std::unique_ptr<Transfer>> m_transfers;
    std::map<QString, KeptAlive> m_keptAlive;
    bool m_delivering = true;
};

int ImageSession::Worker::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto* worker = static_cast<Worker*>(self);
    if (what == CURL_POLL_REMOVE) {
        worker->unwatch(socket);
    } else {
        worker->watch(socket, what);
    }
    return 0;
}

int ImageSession::Worker::onTimer(CURLM*, long timeoutMs, void* self) {
    auto* worker = static_cast<Worker*>(self);
    if (timeoutMs < 0) {
        worker->m_curlTimer->stop();
    } else {
        worker->m_curlTimer->start(int(std::min<long>(timeoutMs, 86400000)));
    }
    return 0;
}

size_t ImageSession::Worker::onHeader(char* data, size_t size, size_t count, void* transfer) {
    auto* t = static_cast<Transfer*>(transfer);
    return t->worker->header(*t, data, size * count);
}

size_t ImageSession::Worker::onBody(char* data, size_t size, size_t count, void* transfer) {
    auto* t = static_cast<Transfer*>(transfer);
    return t->worker->body(*t, data, size * count);
}

curl_socket_t ImageSession::Worker::onOpenSocket(void* transfer, curlsocktype purpose,
                                                 curl_sockaddr* address) {
    auto* t = static_cast<Transfer*>(transfer);
    if (purpose != CURLSOCKTYPE_IPCXN || !address) {
        return CURL_SOCKET_BAD;
    }
    const auto judged = addressOf(&address->addr);
    const std::optional<QString> refusal =
        judged ? t->worker->refusalOf(*t, *judged)
               : std::optional<QString>(QStringLiteral("Refused: no address"));
    if (refusal) {
        // libcurl tries the name's other addresses; when none is left the hop fails as refused.
        t->refusal = *refusal;
        return CURL_SOCKET_BAD;
    }
    const curl_socket_t socket =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket == CURL_SOCKET_BAD &&
        (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
        t->outOfResources = true;
    }
    return socket;
}

int ImageSession::Worker::onPrerequest(void* transfer, char* connectedIp, char*, int connectedPort,
                                       int localPort) {
    auto* t = static_cast<Transfer*>(transfer);
    if (!t->reuse.mayCarryRequest(connectedIp, connectedPort, localPort)) {
        return CURL_PREREQFUNC_ABORT;
    }
    // The connection may be one kept from another transfer, whose address no hook of this one saw.
    const QHostAddress address(QString::fromLatin1(connectedIp));
    if (const auto refusal = t->worker->refusalOf(*t, address)) {
        t->refusal = *refusal;
        t->endedBy = ImageError(QString(urlErrorDomain), AddressRefused, *refusal);
        return CURL_PREREQFUNC_ABORT;
    }
    if (!t->start) {
        t->start = t->worker->placeOfAddress(address);
    }
    // Connected: the look-up and the handshake are behind it.
    t->stall->start();
    return CURL_PREREQFUNC_OK;
}

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

bool ImageSession::isFetchable(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

ImageSession::ImageSession(Configuration configuration, ImageSessionDelegate* delegate)
    : m_configuration(std::move(configuration)), m_delegate(delegate), m_thread(std::make_unique<QThread>()),
      m_link(std::make_shared<ImageSessionLink>()) {
    setUpCurlOnce();
    m_link->session = this;
    m_thread->setObjectName(QStringLiteral("velmora.images.ImageSession"));
    m_worker = new Worker(this, m_configuration);
    m_worker->moveToThread(m_thread.get());
    // The worker is set up as its thread starts and taken apart as it ends, on that thread, by
    // signals called directly rather than by events: once the application object is being
    // destroyed Qt delivers no event to any thread, and a session that goes then (its last holder
    // an answer queued for the main thread that never ran) would leave its worker, its transfers
    // and its connections behind.
    QObject::connect(
        m_thread.get(), &QThread::started, m_worker, [worker = m_worker] { worker->setUp(); },
        Qt::DirectConnection);
    QObject::connect(
        m_thread.get(), &QThread::finished, m_worker,
        [worker = m_worker] {
            worker->tearDown(true);
            delete worker;
        },
        Qt::DirectConnection);
    m_thread->start();
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
    // The thread tears the worker down as it ends (see the constructor).
    m_thread->quit();
    m_thread->wait();
}

bool ImageSession::isCurrentThread() const {
    return QThread::currentThread() == m_thread.get();
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
