#include "platform/net/TransferThread.h"

#include "platform/net/ConnectionReuse.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/ProxyChoice.h"
#include "platform/net/Redirects.h"
#include "platform/net/ResponseHeadReader.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/net/TlsLibrary.h"

#include <QCoreApplication>

#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/tcp.h> // the count of bytes received, which glibc's header leaves out
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>

namespace velmora {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Redirects a tracker request that may go twice follows on its own server.
constexpr int redirectsBound = 20;
// Idle connections the multi handle keeps for all callers together; each caller keeps to its
// own hosts' share of them.
constexpr long idleConnectionsKept = 32;

// The tracker's use of connections: a host holds at most six (as browsers keep), all hosts
// together 48, and any host may keep one idle (a user has a few trackers).
std::shared_ptr<const ConnectionUse> trackerConnections() {
    // Never destroyed: the transfer thread may still ask for it as the process exits.
    static const auto* const use = [] {
        ConnectionUse trackers;
        trackers.hostsKeptAlive = trackers.inAll;
        return new std::shared_ptr<const ConnectionUse>(std::make_shared<const ConnectionUse>(trackers));
    }();
    return *use;
}

// Whatever the caller says, a write (any method but GET and HEAD) goes once.
bool sentOnce(const TransferOrder& order) {
    return !order.mayBeSentTwice || (order.method != "GET" && order.method != "HEAD");
}

long wholeMs(std::chrono::milliseconds ms) {
    return static_cast<long>(std::clamp<qint64>(ms.count(), 1, 86400000));
}

void setUpLibcurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        TlsLibrary::setUpLibcurl();
        // Registered after the TLS library set up its own clean-up at exit (when it was let to),
        // so the thread has stopped before that clean-up runs.
        std::atexit([] { TransferThread::instance().stop(); });
    });
}

TransferEnd::Cause causeOf(CURLcode code) {
    using Cause = TransferEnd::Cause;
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return Cause::TimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return Cause::NameNotFound;
    case CURLE_COULDNT_CONNECT:
        return Cause::ConnectionRefused;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return Cause::ConnectionLost;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return Cause::Unsupported;
    case CURLE_URL_MALFORMAT:
        return Cause::BadUrl;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return Cause::TlsRefused;
    case CURLE_SSL_CONNECT_ERROR:
        return Cause::TlsBroken;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
        return Cause::NotHttp;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
    case CURLE_AGAIN:
        return Cause::OutOfResources;
    default:
        return Cause::Other;
    }
}

// A tracker request's answer, kept whole and handed over at its end.
class ResponseCollector final : public TransferReader {
public:
    ResponseCollector(quint64 id, TransferThread::Done done) : m_id(id), m_done(std::move(done)) {}

    Verdict head(const ResponseHeadReader& head, TransferOrder& order) override {
        m_response = HttpResponse();
        m_response.statusCode = head.status();
        m_response.headers = head.headers();
        m_response.url = order.url;
        if (isRedirectStatus(m_response.statusCode) && m_response.header("Location") && order.mayBeSentTwice) {
            return redirect(head, order);
        }
        // Its codings are the transport's to inflate (or refuse).
        return Verdict::Take;
    }

    bool body(const char* data, qsizetype size) override {
        m_response.body.append(data, size);
        return true;
    }

    void end(const TransferEnd& end) override {
        if (end.kind == TransferEnd::Kind::Done) {
            m_done(m_id, TransferThread::Outcome::success(std::move(m_response)));
        } else if (end.kind == TransferEnd::Kind::EndedByReader && m_error) {
            m_done(m_id, TransferThread::Outcome::failure(*m_error));
        } else {
            m_done(m_id, TransferThread::Outcome::failure(failureOf(end)));
        }
    }

private:
    Verdict redirect(const ResponseHeadReader& head, TransferOrder& order) {
        using Kind = TransportError::Kind;
        const QUrl from = order.url;
        const QUrl to = from.resolved(QUrl::fromEncoded(m_response.header("Location").value_or(QByteArray())));
        if (++m_redirects > redirectsBound) {
            m_error = TransportError{Kind::ConnectionFailed, QStringLiteral("more than %1 redirects").arg(redirectsBound),
                                     false};
            return Verdict::End;
        }
        if (!to.isValid() || !isSameOrigin(from, to)) {
            // Headers such as "Authorization" never travel to another server.
            m_error = TransportError{Kind::ConnectionFailed, QStringLiteral("a redirect to another server refused"),
                                     false};
            return Verdict::End;
        }
        order.url = to;
        if (head.status() != 307 && head.status() != 308 && order.method != "HEAD") {
            order.method = "GET";
            order.body.reset();
        }
        return Verdict::Again;
    }

    static TransportError failureOf(const TransferEnd& end) {
        using Kind = TransportError::Kind;
        using End = TransferEnd::Kind;
        // Until the request went out on a connection, nothing of it reached the server.
        const bool neverSent = !end.requestSent;
        switch (end.kind) {
        case End::TimedOut:
            // Out of time in its queue, it never went.
            return {Kind::TimedOut, end.message, neverSent};
        case End::HeadTooLarge:
        case End::HeadMalformed:
        case End::TrailersTooLarge:
            return {Kind::ProtocolFailure, end.message, false};
        case End::BodyTooLarge:
            return {Kind::TooLarge, end.message, false};
        case End::Failed:
            break;
        default:
            return {Kind::ConnectionFailed, end.message, neverSent};
        }
        using Cause = TransferEnd::Cause;
        switch (end.cause) {
        case Cause::TimedOut:
            return {Kind::TimedOut, end.message, neverSent};
        case Cause::TlsRefused:
            return {Kind::TlsFailure, end.message, neverSent};
        case Cause::OutOfResources:
            if (end.requestSent && !end.headDone) {
                // What libcurl says when a line of the head passes its buffer's bound.
                return {Kind::ProtocolFailure, QStringLiteral("a line of the answer's head is too long"), false};
            }
            return {Kind::ConnectionFailed, end.message, neverSent};
        case Cause::NotHttp:
        case Cause::Unsupported:
            return {Kind::ProtocolFailure, end.message, false};
        default:
            return {Kind::ConnectionFailed, end.message, neverSent};
        }
    }

    quint64 m_id;
    TransferThread::Done m_done;
    HttpResponse m_response;
    std::optional<TransportError> m_error;
    int m_redirects = 0;
};

} // namespace

// --- the transfer thread's side ------------------------------------------------------

class TransferThread::Carrier {
public:
    explicit Carrier(CURLM* multi) : m_multi(multi) {
        // Each caller's caps are held here, transfer by transfer; the multi handle only bounds
        // the idle connections it keeps for all of them.
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, idleConnectionsKept);
        current = this;
    }

    ~Carrier() {
        for (auto& [id, transfer] : m_transfers) {
            dropHop(*transfer);
        }
        m_transfers.clear();
        // The connections close (through this carrier's hook) while it is still here.
        curl_multi_cleanup(m_multi);
        for (auto& [use, client] : m_clients) {
            curl_share_cleanup(client.share);
        }
        current = nullptr;
    }

    Carrier(const Carrier&) = delete;
    Carrier& operator=(const Carrier&) = delete;

    void take(Command command) {
        switch (command.kind) {
        case Command::Kind::Cancel:
            if (m_transfers.contains(command.transfer)) {
                end(command.transfer, {TransferEnd::Kind::Cancelled, 0, QStringLiteral("cancelled")}, command.tell);
            }
            return;
        case Command::Kind::Forget:
            forget(command.use);
            command.forgotten->set_value();
            return;
        case Command::Kind::LookedUp:
            lookedUp(command.transfer, command.hop, *command.addresses);
            return;
        case Command::Kind::Start:
            break;
        }
        auto owned = std::make_unique<Transfer>();
        Transfer& transfer = *owned;
        transfer.id = command.transfer;
        transfer.carrier = this;
        transfer.order = std::move(*command.order);
        if (!transfer.order.connections) {
            transfer.order.connections = trackerConnections();
        }
        transfer.reader = std::move(command.reader);
        const auto now = SteadyClock::now();
        transfer.resourceDeadline = now + transfer.order.resourceTimeout;
        transfer.lastProgress = now;
        m_transfers.emplace(transfer.id, std::move(owned));
        if (!transfer.reader->begin(transfer.order)) {
            m_transfers.erase(transfer.id);
            return;
        }
        beginHop(transfer);
    }

    // Lets libcurl move what can move, then ends what finished or passed a bound.
    void work() {
        noteHeadsBegun();
        int running = 0;
        curl_multi_perform(m_multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            if (transfer) {
                hopDone(*transfer, message->data.result);
            }
        }
        const auto now = SteadyClock::now();
        std::vector<std::pair<quint64, QString>> late;
        for (const auto& [id, transfer] : m_transfers) {
            if (auto why = lateness(*transfer, now)) {
                late.emplace_back(id, std::move(*why));
            }
        }
        for (auto& [id, why] : late) {
            end(id, {TransferEnd::Kind::TimedOut, 0, why});
        }
        closeAgedConnections(now);
    }

    // How long the thread may sleep before a bound falls due (libcurl's own time-outs are its
    // business); at most a minute.
    int sleepMs() const {
        auto next = SteadyClock::time_point::max();
        for (const auto& [id, transfer] : m_transfers) {
            next = std::min(next, transfer->resourceDeadline);
            next = std::min(next, transfer->lastProgress + transfer->order.stallTimeout);
            if (transfer->headDeadline) {
                next = std::min(next, *transfer->headDeadline);
            }
        }
        for (const auto& [use, client] : m_clients) {
            for (const auto& [socket, idle] : client.idle) {
                next = std::min(next, idle.since + use->idleAge);
            }
        }
        if (next == SteadyClock::time_point::max()) {
            return 60000;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - SteadyClock::now()).count() + 1;
        return static_cast<int>(std::clamp<qint64>(wait, 0, 60000));
    }

    // Every transfer ends, told that the network is shutting down.
    void stopAll() {
        std::vector<quint64> ids;
        for (const auto& [id, transfer] : m_transfers) {
            ids.push_back(id);
            transfer->waiting = false;
        }
        for (auto& [use, client] : m_clients) {
            client.waiting.clear();
        }
        for (quint64 id : ids) {
            end(id, {TransferEnd::Kind::Stopped, 0, QStringLiteral("the network is shutting down")});
        }
    }

private:
    struct CurlSlistFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    struct Transfer {
        quint64 id = 0;
        Carrier* carrier = nullptr;
        // The hop under way: its URL, method and body as they are after any redirect.
        TransferOrder order;
        std::shared_ptr<TransferReader> reader;
        CURL* easy = nullptr;
        std::unique_ptr<curl_slist, CurlSlistFree> headerList;
        std::array<char, CURL_ERROR_SIZE> curlError{};
        std::optional<ResponseHeadReader> head;
        // Inflates the body of a caller that leaves that to the transport.
        std::unique_ptr<ContentDecoder> decoder;
        // Bytes of the answer's body as they came and as handed on, and of the request's body
        // handed to libcurl.
        qint64 bodyArrived = 0;
        qint64 bodyRead = 0;
        qint64 bodyOffset = 0;
        qint64 trailerBytes = 0;
        // The request went out on a connection (some hop's, some attempt's): it may have
        // reached the server.
        bool requestSent = false;
        // The request goes on a new connection: a kept one held bytes nobody asked for.
        bool freshConnection = false;
        ConnectionReuse reuse;
        bool headDone = false;
        // The reader asked for another hop.
        bool again = false;
        // Set by a callback that ended the hop: how the transfer ends.
        std::optional<TransferEnd> endedBy;
        // Where the first hop went, for the address rule; why an address was refused.
        std::optional<AddressPlace> start;
        QString refusal;
        bool outOfResources = false;
        // The hop's host holds one of the caller's places for it; the hop waits for one; the
        // hop's host keeps its connection; the hop's target was judged (through a proxy).
        QString host;
        bool placed = false;
        bool waiting = false;
        bool keptAlive = false;
        bool judged = false;
        int hop = 0;
        SteadyClock::time_point resourceDeadline;
        SteadyClock::time_point lastProgress;
        std::optional<SteadyClock::time_point> headDeadline;
        // Bytes the connection had received when the request went out (or an interim head
        // ended), over plain TCP: more than that, and the head has begun.
        std::optional<quint64> receivedBefore;
        curl_socket_t socket = CURL_SOCKET_BAD;
    };

    struct Idle {
        SteadyClock::time_point since;
        QByteArray route; // the connection's two ends
    };
    struct KeptAlive {
        int running = 0;
        SteadyClock::time_point lastUsed;
    };
    // What the transport holds for one caller.
    struct Client {
        CURLSH* share = nullptr;
        int running = 0;
        std::map<QString, int> runningTo;
        std::map<QString, KeptAlive> keptAlive;
        std::deque<quint64> waiting;
        std::map<curl_socket_t, Idle> idle;
    };

    // The head's time runs from its first byte, which libcurl tells of only once a whole line
    // came (a head at a byte a second took minutes). Over plain TCP the connection's count of
    // bytes received says it, looked at before libcurl reads them; over TLS the first record of
    // data does (onTlsMessage).
    void noteHeadsBegun() {
        for (const auto& [id, transfer] : m_transfers) {
            if (transfer->receivedBefore && !transfer->headDeadline &&
                bytesReceived(*transfer).value_or(0) > *transfer->receivedBefore) {
                headBegun(*transfer);
            }
        }
    }

    static void headBegun(Transfer& transfer) {
        transfer.receivedBefore.reset();
        if (!transfer.headDeadline && !transfer.headDone) {
            transfer.headDeadline =
                SteadyClock::now() + std::min(transfer.order.headTimeout, transfer.order.stallTimeout);
        }
    }

    // What the hop's connection has received so far, over plain TCP (over TLS to the server
    // its records are told apart by the TLS library's hook).
    static std::optional<quint64> bytesReceived(const Transfer& transfer) {
        if (transfer.socket == CURL_SOCKET_BAD) {
            return std::nullopt;
        }
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(transfer.socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
            size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
            return std::nullopt;
        }
        return quint64(info.tcpi_bytes_received);
    }

    // A record of the server's data arrived on a TLS connection: the head of the transfer that
    // waits for one on it has begun. Called by the TLS library on the transfer thread.
    static void onTlsMessage(int written, int version, int type, const void* bytes, size_t length, SSL* ssl, void*) {
        const auto* first = static_cast<const unsigned char*>(bytes);
        // TLS 1.3 hides every record's type (a session ticket comes as "data" too) but tells it
        // apart once decrypted; before 1.3 the record's own type says it.
        const bool data = !written && length >= 1 && first[0] == SSL3_RT_APPLICATION_DATA &&
                          (version >= TLS1_3_VERSION ? type == SSL3_RT_INNER_CONTENT_TYPE : type == SSL3_RT_HEADER);
        if (!data || !current) {
            return;
        }
        for (const auto& [id, transfer] : current->m_transfers) {
            curl_tlssessioninfo* tls = nullptr;
            if (transfer->easy && transfer->requestSent && !transfer->headDeadline && !transfer->headDone &&
                curl_easy_getinfo(transfer->easy, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls &&
                tls->internals == ssl) {
                headBegun(*transfer);
            }
        }
    }

    static std::optional<QString> lateness(const Transfer& transfer, SteadyClock::time_point now) {
        if (now >= transfer.resourceDeadline) {
            return QStringLiteral("the request did not end in time");
        }
        if (now - transfer.lastProgress >= transfer.order.stallTimeout) {
            return QStringLiteral("nothing arrived for a while");
        }
        if (transfer.headDeadline && now >= *transfer.headDeadline) {
            return QStringLiteral("the answer's head did not end");
        }
        return std::nullopt;
    }

    static QString hostOf(const QUrl& url) {
        return url.scheme().toLower() + QLatin1Char(':') + url.host().toLower() + QLatin1Char(':') +
               QString::number(url.port(-1));
    }

    static QByteArray route(const char* remote, long remotePort, long localPort) {
        return QByteArray(remote ? remote : "") + ' ' + QByteArray::number(qint64(remotePort)) + ' ' +
               QByteArray::number(qint64(localPort));
    }

    Client& clientOf(const Transfer& transfer) {
        const ConnectionUse* use = transfer.order.connections.get();
        auto it = m_clients.find(use);
        if (it == m_clients.end()) {
            it = m_clients.emplace(use, Client{}).first;
            m_uses[use] = transfer.order.connections;
            it->second.share = curl_share_init();
            // One thread uses the share: it needs no locks. TLS sessions are resumed by every
            // connection of the caller; cookies kept among the transfers that take part.
            curl_share_setopt(it->second.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            if (use->cookies) {
                curl_share_setopt(it->second.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
            }
        }
        return it->second;
    }

    // --- the caller's places ---

    // Takes a place for the hop's host, or queues the hop for one.
    bool place(Transfer& transfer) {
        Client& client = clientOf(transfer);
        const ConnectionUse& use = *transfer.order.connections;
        transfer.host = hostOf(transfer.order.url);
        if (client.running >= std::max(1, use.inAll) ||
            client.runningTo[transfer.host] >= std::max(1, use.perHost)) {
            if (!transfer.waiting) {
                transfer.waiting = true;
                client.waiting.push_back(transfer.id);
            }
            return false;
        }
        if (std::exchange(transfer.waiting, false)) {
            std::erase(client.waiting, transfer.id);
        }
        transfer.placed = true;
        ++client.running;
        ++client.runningTo[transfer.host];
        return true;
    }

    void unplace(Transfer& transfer) {
        const ConnectionUse* use = transfer.order.connections.get();
        Client& client = m_clients.at(use);
        if (transfer.waiting) {
            std::erase(client.waiting, transfer.id);
            transfer.waiting = false;
        }
        if (transfer.keptAlive) {
            transfer.keptAlive = false;
            if (const auto it = client.keptAlive.find(transfer.host); it != client.keptAlive.end()) {
                it->second.running = std::max(0, it->second.running - 1);
                it->second.lastUsed = SteadyClock::now();
            }
        }
        if (!transfer.placed) {
            return;
        }
        transfer.placed = false;
        --client.running;
        if (--client.runningTo[transfer.host] <= 0) {
            client.runningTo.erase(transfer.host);
        }
        m_admit.push_back(use);
    }

    // Starts the waiting hops that have a place now.
    void admit() {
        while (!m_admit.empty()) {
            const ConnectionUse* use = m_admit.front();
            m_admit.pop_front();
            const auto found = m_clients.find(use);
            if (found == m_clients.end()) {
                continue;
            }
            const std::deque<quint64> waiting = found->second.waiting;
            for (quint64 id : waiting) {
                const auto it = m_transfers.find(id);
                if (it != m_transfers.end() && it->second->waiting && !it->second->easy) {
                    beginHop(*it->second);
                }
            }
        }
    }

    // At most `hostsKeptAlive` hosts keep an idle connection: whether this hop's host is one.
    bool keepAlive(Transfer& transfer) {
        Client& client = clientOf(transfer);
        const ConnectionUse& use = *transfer.order.connections;
        const auto now = SteadyClock::now();
        std::erase_if(client.keptAlive, [&](const auto& entry) {
            return entry.second.running == 0 && now - entry.second.lastUsed > use.idleAge;
        });
        auto it = client.keptAlive.find(transfer.host);
        if (it == client.keptAlive.end() && int(client.keptAlive.size()) < use.hostsKeptAlive) {
            it = client.keptAlive.emplace(transfer.host, KeptAlive{}).first;
        }
        if (it == client.keptAlive.end()) {
            return false;
        }
        ++it->second.running;
        it->second.lastUsed = now;
        transfer.keptAlive = true;
        return true;
    }

    // An idle connection past its caller's age is shut here: the server sees it closed then,
    // and libcurl, finding it dead, never hands it another request.
    void closeAgedConnections(SteadyClock::time_point now) {
        for (auto& [use, client] : m_clients) {
            std::erase_if(client.idle, [&, use = use](const auto& entry) {
                if (now - entry.second.since < use->idleAge) {
                    return false;
                }
                ::shutdown(entry.first, SHUT_RDWR);
                return true;
            });
        }
        // A caller no transfer holds and that keeps no connection is let go.
        std::erase_if(m_clients, [&](auto& entry) {
            const Client& client = entry.second;
            if (client.running > 0 || !client.waiting.empty() || !client.idle.empty() ||
                entry.first == trackerConnections().get() || hasTransfers(entry.first)) {
                return false;
            }
            curl_share_cleanup(client.share);
            m_uses.erase(entry.first);
            return true;
        });
    }

    bool hasTransfers(const ConnectionUse* use) const {
        return std::any_of(m_transfers.begin(), m_transfers.end(),
                           [use](const auto& entry) { return entry.second->order.connections.get() == use; });
    }

    void forget(const ConnectionUse* use) {
        std::vector<quint64> ids;
        for (const auto& [id, transfer] : m_transfers) {
            if (transfer->order.connections.get() == use) {
                ids.push_back(id);
                // None of them starts as another ends.
                transfer->waiting = false;
            }
        }
        if (const auto it = m_clients.find(use); it != m_clients.end()) {
            it->second.waiting.clear();
        }
        for (quint64 id : ids) {
            end(id, {TransferEnd::Kind::Cancelled, 0, QStringLiteral("cancelled")}, false);
        }
        if (const auto it = m_clients.find(use); it != m_clients.end()) {
            for (const auto& [socket, idle] : it->second.idle) {
                ::shutdown(socket, SHUT_RDWR);
            }
            it->second.idle.clear();
        }
    }

    // --- hops ---

    // Through a proxy the connection goes to the proxy, which the user named: the target's own
    // addresses are judged before the proxy is asked, on a thread of their own.
    bool judgeThroughProxy(Transfer& transfer) {
        const TransferOrder& order = transfer.order;
        if (!order.addresses || order.proxy.isEmpty() || transfer.judged) {
            return true;
        }
        if (const auto literal = addressLiteral(order.url.host())) {
            lookedUpNow(transfer, {*literal});
            return false;
        }
        if (ProxyChoice::resolvesNames(order.proxy)) {
            // The proxy looks the name up: here it is judged by the name alone.
            lookedUpNow(transfer, {});
            return false;
        }
        const QByteArray host = order.url.host().toUtf8();
        const quint64 id = transfer.id;
        const int hop = transfer.hop;
        std::thread([host, id, hop] {
            std::vector<QHostAddress> addresses;
            addrinfo hints{};
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            if (::getaddrinfo(host.constData(), nullptr, &hints, &found) == 0) {
                for (addrinfo* each = found; each; each = each->ai_next) {
                    addresses.emplace_back(each->ai_addr);
                }
                ::freeaddrinfo(found);
            }
            Command command;
            command.kind = Command::Kind::LookedUp;
            command.transfer = id;
            command.hop = hop;
            command.addresses = std::move(addresses);
            TransferThread::instance().post(std::move(command));
        }).detach();
        return false;
    }

    void lookedUp(quint64 id, int hop, const std::vector<QHostAddress>& addresses) {
        const auto it = m_transfers.find(id);
        if (it != m_transfers.end() && it->second->hop == hop && !it->second->judged && !it->second->easy) {
            lookedUpNow(*it->second, addresses);
        }
    }

    void lookedUpNow(Transfer& transfer, const std::vector<QHostAddress>& addresses) {
        if (addresses.empty()) {
            // A name this machine does not find, where only the proxy reaches out: judged by the
            // name alone (this machine's own names never go), and taken for the outside world,
            // which a redirect may not leave.
            QString host = transfer.order.url.host().toLower();
            while (host.endsWith(QLatin1Char('.'))) {
                host.chop(1);
            }
            if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost"))) {
                end(transfer.id, {TransferEnd::Kind::AddressRefused, 0,
                                  QStringLiteral("Refused: %1 is this machine").arg(host)});
                return;
            }
            if (!transfer.start) {
                transfer.start = AddressPlace::Public;
            }
            transfer.judged = true;
            beginHop(transfer);
            return;
        }
        for (const QHostAddress& address : addresses) {
            if (auto refusal = transfer.order.addresses->refusal(transfer.start, address, transfer.order.url.host())) {
                end(transfer.id, {TransferEnd::Kind::AddressRefused, 0, *refusal});
                return;
            }
        }
        if (!transfer.start) {
            transfer.start = transfer.order.addresses->place(addresses.front());
        }
        transfer.judged = true;
        beginHop(transfer);
    }

    void beginHop(Transfer& transfer) {
        if (!transfer.order.proxyRefusal.isEmpty()) {
            end(transfer.id, {TransferEnd::Kind::ProxyRefused, 0, transfer.order.proxyRefusal});
            return;
        }
        if (requestHeadSize(transfer.order) > requestHeadBound) {
            // Never repeating the URL, which may hold a token.
            TransferEnd refused{TransferEnd::Kind::Failed, CURLE_URL_MALFORMAT,
                                QStringLiteral("the request's address and headers pass %1 bytes").arg(requestHeadBound)};
            refused.cause = TransferEnd::Cause::BadUrl;
            end(transfer.id, refused);
            return;
        }
        if (std::exchange(transfer.order.environmentAuthorities, false)) {
            // Read here, off the sender's thread: the file is kept while it stays the same.
            if (const QList<QByteArray> file = SessionConfiguration::environmentAuthorities(); !file.isEmpty()) {
                const QList<QByteArray> given =
                    transfer.order.authorities ? transfer.order.authorities->extra() : QList<QByteArray>();
                transfer.order.authorities = TrustStore::of(given + file);
            }
        }
        if (!transfer.placed && !place(transfer)) {
            return;
        }
        if (!judgeThroughProxy(transfer)) {
            return;
        }
        transfer.curlError.fill(0);
        transfer.head.emplace(transfer.order.headLimits);
        transfer.headDeadline.reset();
        transfer.receivedBefore.reset();
        transfer.socket = CURL_SOCKET_BAD;
        transfer.headDone = false;
        transfer.again = false;
        transfer.endedBy.reset();
        transfer.refusal.clear();
        transfer.outOfResources = false;
        transfer.decoder.reset();
        transfer.bodyArrived = 0;
        transfer.bodyRead = 0;
        transfer.bodyOffset = 0;
        transfer.trailerBytes = 0;
        const auto now = SteadyClock::now();
        transfer.lastProgress = now;
        if (transfer.order.headTimeFromHopStart) {
            transfer.headDeadline = now + std::min(transfer.order.headTimeout, transfer.order.resourceTimeout);
        }
        CURL* easy = setUpEasy(transfer);
        if (!easy) {
            end(transfer.id, {TransferEnd::Kind::Failed, CURLE_FAILED_INIT, QStringLiteral("no transfer could be made")});
            return;
        }
        transfer.easy = easy;
        if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
            end(transfer.id,
                {TransferEnd::Kind::Failed, CURLE_FAILED_INIT, QStringLiteral("no transfer could be started")});
        }
    }

    // The one place a hop's handle is set up, for every caller.
    CURL* setUpEasy(Transfer& transfer) {
        CURL* easy = curl_easy_init();
        if (!easy) {
            return nullptr;
        }
        const TransferOrder& order = transfer.order;
        Client& client = clientOf(transfer);
        const QByteArray url = order.url.toEncoded();
        curl_easy_setopt(easy, CURLOPT_URL, url.constData());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.curlError.data());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Leaving a transfer whose look-up has not answered never waits for the look-up's thread.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
        // One answer per connection, read as lines: the head's bounds are this side's.
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // No bundle read by libcurl: every connection takes the shared store of its trust (below).
        // A trust of extra authorities is told apart by a path nothing is read from, which
        // libcurl compares before it lets a connection carry a request.
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        const QByteArray trustTag = order.authorities && !order.authorities->tag().isEmpty()
                                        ? "/nonexistent/velmora-trust-" + order.authorities->tag()
                                        : QByteArray();
        curl_easy_setopt(easy, CURLOPT_CAPATH, trustTag.isEmpty() ? nullptr : trustTag.constData());
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Carrier::onSslContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_SHARE, client.share);
        curl_easy_setopt(easy, CURLOPT_PROXY, order.proxy.constData());
        if (!order.proxyUser.isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, order.proxyUser.constData());
            curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, order.proxyPassword.constData());
        }
        // A proxy's answer to CONNECT is libcurl's to read; only the server's heads come here.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        // The body comes as sent: a caller's codings are inflated here, in slices its bound can
        // stop, or by the caller itself.
        curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        if (order.credential) {
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
            curl_easy_setopt(easy, CURLOPT_USERNAME, order.credential->first.constData());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, order.credential->second.constData());
        }
        if (order.cookies) {
            curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
        }
        // Time below HTTP too: the whole transfer, its connection, and a floor of a byte a second
        // over the stall bound. This side's own clock ends them to the millisecond.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer.resourceDeadline -
                                                                                SteadyClock::now());
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, wholeMs(left));
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         wholeMs(std::min({left, order.stallTimeout, order.connectTimeout})));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(std::max<qint64>(1, (order.stallTimeout.count() + 999) / 1000)));
        // Idle connections: reused only while younger than the caller's bound.
        const ConnectionUse& use = *order.connections;
        curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, long(std::max<qint64>(1, use.idleAge.count())));
        if (order.readBufferBytes > 0) {
            curl_easy_setopt(easy, CURLOPT_BUFFERSIZE,
                             long(std::clamp<qint64>(order.readBufferBytes, 1024, CURL_MAX_READ_SIZE)));
        }
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Carrier::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Carrier::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Carrier::onOpenSocket);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Carrier::onCloseSocket);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Carrier::onPrerequest);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
        transfer.reuse.watch(easy);
        // A write's answer is its own only on a connection that carried nothing before it, and
        // none after it may take a late second answer to it. On a new connection libcurl never
        // sends it again either (it does so only for a kept one that closed unanswered).
        const bool once = sentOnce(order);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, long(transfer.freshConnection || once));
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, long(once));

        curl_slist* list = nullptr;
        bool askedCodings = false;
        for (const QByteArray& line : order.headerLines) {
            list = curl_slist_append(list, line.constData());
            askedCodings = askedCodings || line.toLower().startsWith("accept-encoding");
        }
        if (order.inflated && !askedCodings) {
            list = curl_slist_append(list,
                                     ("Accept-Encoding: " + ContentDecoder::acceptedEncodings()).constData());
        }
        // libcurl would ask the server to wait for a go before a large body; nobody waits here.
        list = curl_slist_append(list, "Expect:");
        if (!keepAlive(transfer)) {
            // A host past the few that keep a connection: closed by this side once answered.
            list = curl_slist_append(list, "Connection: close");
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }
        transfer.headerList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

        if (order.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (order.body) {
            // Read from here, never handed over whole: libcurl can send it again only by
            // seeking back to its start, which only a request that may go twice allows.
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(order.body->size()));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Carrier::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Carrier::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
            if (order.method != "POST") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
            }
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
            if (order.method != "GET") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, order.method.constData());
            }
        }
        return easy;
    }

    // Lets the hop's handle go: removed from the multi handle, which closes a connection that
    // is not done, at once. A connection the hop leaves idle is kept in mind, to be shut at
    // its age.
    void dropHop(Transfer& transfer, bool done = false) {
        if (CURL* easy = std::exchange(transfer.easy, nullptr)) {
            curl_socket_t socket = CURL_SOCKET_BAD;
            if (done && transfer.keptAlive &&
                curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD) {
                char* remote = nullptr;
                long remotePort = 0;
                long localPort = 0;
                curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &remote);
                curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &remotePort);
                curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &localPort);
                m_clients.at(transfer.order.connections.get()).idle[socket] =
                    Idle{SteadyClock::now(), route(remote, remotePort, localPort)};
            }
            curl_multi_remove_handle(m_multi, easy);
            curl_easy_cleanup(easy);
        }
        transfer.headerList.reset();
        transfer.headDeadline.reset();
        transfer.receivedBefore.reset();
        transfer.socket = CURL_SOCKET_BAD;
        if (m_clients.contains(transfer.order.connections.get())) {
            unplace(transfer);
        }
    }

    // Ends the transfer, telling its reader unless told not to.
    void end(quint64 id, TransferEnd how, bool tell = true) {
        auto node = m_transfers.extract(id);
        if (node.empty()) {
            return;
        }
        Transfer& transfer = *node.mapped();
        dropHop(transfer, how.kind == TransferEnd::Kind::Done);
        how.requestSent = how.requestSent || transfer.requestSent;
        how.headDone = transfer.headDone;
        if (tell) {
            transfer.reader->end(how);
        }
        admit();
    }

    void hopDone(Transfer& transfer, CURLcode result) {
        using Kind = TransferEnd::Kind;
        if (transfer.reuse.refusedConnection() && !transfer.freshConnection) {
            // Nothing of the request went out: it goes again, once, on a new connection.
            dropHop(transfer);
            transfer.freshConnection = true;
            beginHop(transfer);
            admit();
        } else if (transfer.endedBy) {
            end(transfer.id, *transfer.endedBy);
        } else if (transfer.again) {
            ++transfer.hop;
            transfer.judged = false;
            dropHop(transfer, true);
            beginHop(transfer);
            admit();
        } else if (result == CURLE_OK && transfer.headDone && transfer.decoder && transfer.bodyArrived > 0 &&
                   !transfer.decoder->isComplete()) {
            end(transfer.id, unreadableBody(QStringLiteral("the compressed answer ended before its own end")));
        } else if (result == CURLE_OK && transfer.headDone) {
            end(transfer.id, {Kind::Done, 0, QString()});
        } else if (result == CURLE_OK) {
            // An answer with no head (libcurl reads one before it is done).
            end(transfer.id, {Kind::HeadMalformed, 0, QStringLiteral("the server's answer had no head")});
        } else if (!transfer.refusal.isEmpty() && result == CURLE_COULDNT_CONNECT) {
            end(transfer.id, {Kind::AddressRefused, int(result), transfer.refusal});
        } else if (transfer.outOfResources) {
            end(transfer.id, {Kind::OutOfResources, int(result),
                              QStringLiteral("no connection could be made: out of descriptors or memory")});
        } else {
            const QString what = transfer.curlError[0] ? QString::fromUtf8(transfer.curlError.data())
                                                       : QString::fromUtf8(curl_easy_strerror(result));
            TransferEnd failed{Kind::Failed, int(result), what};
            failed.cause = causeOf(result);
            end(transfer.id, failed);
        }
    }

    // --- the head, the body and the request's body, as libcurl reads and writes them ---

    static size_t onHeader(char* data, size_t size, size_t count, void* context) {
        using Kind = TransferEnd::Kind;
        auto& transfer = *static_cast<Transfer*>(context);
        const size_t length = size * count;
        const auto now = SteadyClock::now();
        transfer.lastProgress = now;
        if (transfer.endedBy || transfer.again) {
            return 0;
        }
        const ResponseHeadReader::Limits& limits = transfer.order.headLimits;
        if (transfer.headDone) {
            // Trailers after a chunked body: counted against the head's bound, otherwise unread.
            transfer.trailerBytes += qint64(length);
            if (transfer.trailerBytes > limits.maximumBytes) {
                transfer.endedBy = TransferEnd{Kind::TrailersTooLarge, 0, QStringLiteral("the answer's trailers are too long")};
                return 0;
            }
            return length;
        }
        if (!transfer.headDeadline) {
            transfer.headDeadline = now + std::min(transfer.order.headTimeout, transfer.order.stallTimeout);
        }
        switch (transfer.head->addLine(QByteArrayView(data, qsizetype(length)))) {
        case ResponseHeadReader::Step::More:
            return length;
        case ResponseHeadReader::Step::InterimDone:
            // The final answer may take the server's time to come, as any answer may.
            if (!transfer.order.headTimeFromHopStart) {
                transfer.headDeadline.reset();
                transfer.receivedBefore = bytesReceived(transfer);
            }
            return length;
        case ResponseHeadReader::Step::TooLarge:
            transfer.endedBy = TransferEnd{Kind::HeadTooLarge, 0,
                                           QStringLiteral("the answer's head is longer than %1 bytes or %2 lines")
                                               .arg(limits.maximumBytes)
                                               .arg(limits.maximumLines)};
            return 0;
        case ResponseHeadReader::Step::Malformed:
            transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0, QStringLiteral("the answer's head is malformed")};
            return 0;
        case ResponseHeadReader::Step::Done:
            break;
        }
        transfer.headDeadline.reset();
        transfer.receivedBefore.reset();
        return headEnded(transfer) ? length : 0;
    }

    // A body that cannot be read as its coding says: the answer is no HTTP spoken here.
    static TransferEnd unreadableBody(const QString& why) {
        TransferEnd broken{TransferEnd::Kind::Failed, 0, why};
        broken.cause = TransferEnd::Cause::NotHttp;
        return broken;
    }

    // The body's coding, for a caller that leaves inflating to the transport: one it reads, or
    // the hop ends. Brotli and zstd frames may ask for windows of many megabytes, which a hostile
    // answer would have allocated for it, and are never asked for.
    static bool takeCoding(Transfer& transfer) {
        // Codings in several lines are one list, applied in turn (and more than one is never read).
        std::optional<QByteArray> codings;
        for (const auto& [name, value] : transfer.head->headers()) {
            if (name.compare("Content-Encoding", Qt::CaseInsensitive) == 0) {
                codings = codings ? *codings + ", " + value : value;
            }
        }
        if (!codings) {
            return true;
        }
        if (!ContentDecoder::isReadable(*codings)) {
            transfer.endedBy = unreadableBody(QStringLiteral("the answer is encoded as %1, which was not asked for")
                                                  .arg(QString::fromLatin1(codings->left(64))));
            return false;
        }
        transfer.decoder = ContentDecoder::forEncoding(*codings);
        return true;
    }

    // The final answer's head is whole: its length is judged, then its reader says what comes
    // next. False ends the hop.
    static bool headEnded(Transfer& transfer) {
        using Kind = TransferEnd::Kind;
        const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
        const bool bodyRead = transfer.order.method != "HEAD" && transfer.head->status() != 304 &&
                              !isRedirectStatus(transfer.head->status());
        // libcurl reads "chunked" alone; any other transfer coding ("identity" among them) it
        // would read to the connection's close, which may never come.
        std::optional<QByteArray> transferCodings;
        for (const auto& [name, value] : transfer.head->headers()) {
            if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
                transferCodings = transferCodings ? *transferCodings + ", " + value.trimmed() : value.trimmed();
            }
        }
        if (bodyRead && transferCodings && transferCodings->toLower() != "chunked") {
            transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0,
                                           QStringLiteral("the answer's transfer coding (%1) is not read here")
                                               .arg(QString::fromLatin1(transferCodings->left(64)))};
            return false;
        }
        for (const auto& [name, value] : transfer.head->headers()) {
            if (name.compare("Content-Length", Qt::CaseInsensitive) != 0 || !bodyRead) {
                continue;
            }
            bool ok = false;
            const qint64 announced = value.trimmed().toLongLong(&ok);
            if (!ok) {
                transfer.endedBy = TransferEnd{Kind::HeadMalformed, 0, QStringLiteral("the answer's length is no number")};
                return false;
            }
            if (announced > maxBody) {
                transfer.endedBy = TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
                return false;
            }
        }
        switch (transfer.reader->head(*transfer.head, transfer.order)) {
        case TransferReader::Verdict::Take:
            transfer.headDone = true;
            return transfer.order.inflated ? takeCoding(transfer) : true;
        case TransferReader::Verdict::Again:
            transfer.again = true;
            return false;
        case TransferReader::Verdict::End:
            transfer.endedBy = TransferEnd{Kind::EndedByReader, 0, QString()};
            return false;
        }
        return false;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context) {
        using Kind = TransferEnd::Kind;
        auto& transfer = *static_cast<Transfer*>(context);
        const size_t length = size * count;
        transfer.lastProgress = SteadyClock::now();
        if (transfer.endedBy || !transfer.headDone) {
            return 0;
        }
        const qint64 maxBody = std::max<qint64>(transfer.order.maxBodySize, 0);
        // Ended where its bytes arrive, as they came and as inflated: nothing past the bound is
        // kept or waits.
        const auto handOn = [&transfer, maxBody](const char* bytes, qsizetype size) {
            if (transfer.bodyRead + size > maxBody) {
                transfer.endedBy =
                    TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
                return false;
            }
            transfer.bodyRead += size;
            if (!transfer.reader->body(bytes, size)) {
                transfer.endedBy = TransferEnd{Kind::EndedByReader, 0, QString()};
                return false;
            }
            return true;
        };
        transfer.bodyArrived += qint64(length);
        if (!transfer.decoder) {
            return handOn(data, qsizetype(length)) ? length : 0;
        }
        if (transfer.bodyArrived > maxBody) {
            transfer.endedBy = TransferEnd{Kind::BodyTooLarge, 0, QStringLiteral("more than %1 bytes").arg(maxBody)};
            return 0;
        }
        if (transfer.decoder->feed(data, qsizetype(length), handOn) == ContentDecoder::Result::Corrupt &&
            !transfer.endedBy) {
            transfer.endedBy = unreadableBody(QStringLiteral("the compressed answer does not inflate"));
        }
        return transfer.endedBy ? 0 : length;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* context) {
        auto& transfer = *static_cast<Transfer*>(context);
        transfer.lastProgress = SteadyClock::now();
        const QByteArray& body = *transfer.order.body;
        const qint64 n = std::min<qint64>(qint64(size * count), body.size() - transfer.bodyOffset);
        if (n <= 0) {
            return 0;
        }
        std::memcpy(buffer, body.constData() + transfer.bodyOffset, size_t(n));
        transfer.bodyOffset += n;
        return size_t(n);
    }

    static int onSeek(void* context, curl_off_t offset, int origin) {
        auto& transfer = *static_cast<Transfer*>(context);
        if (sentOnce(transfer.order)) {
            // libcurl seeks back to send the body again on a new connection, after the one it
            // went out on closed without an answer: the server may have taken it.
            return CURL_SEEKFUNC_CANTSEEK;
        }
        if (origin != SEEK_SET || offset < 0 || offset > transfer.order.body->size()) {
            return CURL_SEEKFUNC_FAIL;
        }
        transfer.bodyOffset = qint64(offset);
        return CURL_SEEKFUNC_OK;
    }

    // --- connections ---

    // A new connection's address is judged before it is made (directly; a proxy the user
    // named is the user's business, its target was judged before).
    static curl_socket_t onOpenSocket(void* context, curlsocktype purpose, curl_sockaddr* address) {
        auto& transfer = *static_cast<Transfer*>(context);
        if (purpose != CURLSOCKTYPE_IPCXN || !address) {
            return CURL_SOCKET_BAD;
        }
        const TransferOrder& order = transfer.order;
        if (order.addresses && order.proxy.isEmpty()) {
            const auto family = address->addr.sa_family;
            const std::optional<QString> refusal =
                family == AF_INET || family == AF_INET6
                    ? order.addresses->refusal(transfer.start, QHostAddress(&address->addr), order.url.host())
                    : std::optional<QString>(QStringLiteral("Refused: no address"));
            if (refusal) {
                // libcurl tries the name's other addresses; when none is left the hop fails as refused.
                transfer.refusal = *refusal;
                return CURL_SOCKET_BAD;
            }
        }
        const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (socket == CURL_SOCKET_BAD && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            transfer.outOfResources = true;
        }
        return socket;
    }

    static int onCloseSocket(void* context, curl_socket_t socket) {
        auto& carrier = *static_cast<Carrier*>(context);
        for (auto& [use, client] : carrier.m_clients) {
            client.idle.erase(socket);
        }
        return ConnectionReuse::closeSocket(socket);
    }

    // The request goes out on a connection, new or kept from another transfer (whose address no
    // hook of this one saw).
    static int onPrerequest(void* context, char* connectedIp, char*, int connectedPort, int localPort) {
        auto& transfer = *static_cast<Transfer*>(context);
        if (!transfer.reuse.mayCarryRequest(connectedIp, connectedPort, localPort)) {
            return CURL_PREREQFUNC_ABORT;
        }
        const QByteArray used = route(connectedIp, connectedPort, localPort);
        for (auto& [use, client] : transfer.carrier->m_clients) {
            std::erase_if(client.idle, [&](const auto& entry) { return entry.second.route == used; });
        }
        const TransferOrder& order = transfer.order;
        if (order.addresses && order.proxy.isEmpty()) {
            const QHostAddress address(QString::fromLatin1(connectedIp));
            if (auto refusal = order.addresses->refusal(transfer.start, address, order.url.host())) {
                transfer.refusal = *refusal;
                transfer.endedBy = TransferEnd{TransferEnd::Kind::AddressRefused, 0, *refusal};
                return CURL_PREREQFUNC_ABORT;
            }
            if (!transfer.start) {
                transfer.start = order.addresses->place(address);
            }
        }
        // Connected: the look-up and the handshake are behind it.
        transfer.lastProgress = SteadyClock::now();
        transfer.requestSent = true;
        if (!transfer.headDeadline &&
            transfer.order.url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
            transfer.socket = ConnectionReuse::socketOf(connectedIp, connectedPort, localPort);
            transfer.receivedBefore = bytesReceived(transfer);
        }
        return CURL_PREREQFUNC_OK;
    }

    // Every TLS connection takes the one parsed store of its trust, and writes no secret anywhere.
    static CURLcode onSslContext(CURL*, void* context, void* transferContext) {
        auto* ssl = static_cast<SSL_CTX*>(context);
        const auto& transfer = *static_cast<Transfer*>(transferContext);
        SSL_CTX_set_keylog_callback(ssl, nullptr);
        SSL_CTX_set_msg_callback(ssl, &Carrier::onTlsMessage);
        const std::shared_ptr<const TrustStore> trust =
            transfer.order.authorities ? transfer.order.authorities : TrustStore::of({});
        SSL_CTX_set1_cert_store(ssl, static_cast<X509_STORE*>(trust->store()));
        return CURLE_OK;
    }

    // The carrier of the transfer thread, for the TLS library's hook, which is told no transfer.
    static inline Carrier* current = nullptr;
    CURLM* m_multi;
    std::map<quint64, std::unique_ptr<Transfer>> m_transfers;
    std::map<const ConnectionUse*, Client> m_clients;
    std::map<const ConnectionUse*, std::shared_ptr<const ConnectionUse>> m_uses;
    std::deque<const ConnectionUse*> m_admit;
};

// --- TransferThread ------------------------------------------------------------------

TransferThread& TransferThread::instance() {
    // Never destroyed: the process's exit stops its thread, and nothing may outlive it.
    static TransferThread* const thread = new TransferThread;
    return *thread;
}

quint64 TransferThread::start(TransferOrder order, Done done) {
    const quint64 id = nextTransfer();
    startAs(id, std::move(order), std::make_shared<ResponseCollector>(id, std::move(done)));
    return id;
}

quint64 TransferThread::start(TransferOrder order, std::shared_ptr<TransferReader> reader) {
    const quint64 id = nextTransfer();
    startAs(id, std::move(order), std::move(reader));
    return id;
}

quint64 TransferThread::nextTransfer() {
    std::lock_guard lock(m_mutex);
    return m_nextTransfer++;
}

void TransferThread::startAs(quint64 id, TransferOrder order, std::shared_ptr<TransferReader> reader) {
    Command command;
    command.transfer = id;
    command.order = std::move(order);
    command.reader = std::move(reader);
    post(std::move(command));
}

void TransferThread::post(Command command) {
    setUpLibcurl();
    std::shared_ptr<TransferReader> refused;
    {
        std::lock_guard lock(m_mutex);
        if (command.kind == Command::Kind::Start && !m_stopping && !m_multi && !m_thread.joinable()) {
            CURLM* multi = curl_multi_init();
            if (multi) {
                m_multi = multi;
                m_thread = std::thread([this, multi] { run(multi); });
                m_threadId = m_thread.get_id();
                if (QCoreApplication::instance()) {
                    // The application's end stops the thread while the application is still
                    // there (a transfer's end may post to it).
                    qAddPostRoutine([] { TransferThread::instance().stop(); });
                }
            }
        }
        if (m_multi && !m_stopping) {
            m_commands.push_back(std::move(command));
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
            return;
        }
        if (command.kind == Command::Kind::Start) {
            refused = std::move(command.reader);
        }
    }
    if (command.forgotten) {
        command.forgotten->set_value();
    }
    if (refused) {
        // Stopping, or libcurl could not start: nothing was sent.
        refused->end({TransferEnd::Kind::Stopped, 0, QStringLiteral("the network is shutting down")});
    }
}

void TransferThread::cancel(quint64 transfer, bool tell) {
    std::lock_guard lock(m_mutex);
    if (!m_multi) {
        return;
    }
    Command command;
    command.kind = Command::Kind::Cancel;
    command.transfer = transfer;
    command.tell = tell;
    m_commands.push_back(std::move(command));
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

void TransferThread::forget(const ConnectionUse* use) {
    Command command;
    command.kind = Command::Kind::Forget;
    command.use = use;
    command.forgotten = std::make_shared<std::promise<void>>();
    std::future<void> forgotten = command.forgotten->get_future();
    bool here = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_multi) {
            return;
        }
        here = std::this_thread::get_id() == m_threadId;
        m_commands.push_back(std::move(command));
        curl_multi_wakeup(static_cast<CURLM*>(m_multi));
    }
    // On the transfer thread itself (the last holder of a session let go in a transfer's end),
    // the thread takes the command once this call is back; waiting for it here would wait for ever.
    if (!here) {
        forgotten.wait();
    }
}

bool TransferThread::isCurrentThread() const {
    // By the thread's id, which stays until the thread has ended: a stop takes the thread's
    // handle away before it ends, while the thread still runs transfers' ends.
    std::lock_guard lock(m_mutex);
    return std::this_thread::get_id() == m_threadId;
}

void TransferThread::stop() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable()) {
            return;
        }
        m_stopping = true;
        if (m_multi) {
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
        }
        thread = std::move(m_thread);
    }
    thread.join();
    std::lock_guard lock(m_mutex);
    m_stopping = false;
    m_threadId = {};
}

void TransferThread::run(void* handle) {
    pthread_setname_np(pthread_self(), "velmora-net");
    auto* multi = static_cast<CURLM*>(handle);
    Carrier carrier(multi);
    for (;;) {
        std::vector<Command> commands;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            stopping = m_stopping;
            if (stopping) {
                // No wake-up reaches the handle from now on.
                m_multi = nullptr;
            }
            commands.swap(m_commands);
        }
        for (Command& command : commands) {
            if (stopping && command.kind == Command::Kind::Start) {
                command.reader->end({TransferEnd::Kind::Stopped, 0, QStringLiteral("the network is shutting down")});
            } else if (stopping && command.forgotten) {
                command.forgotten->set_value();
            } else if (!stopping) {
                carrier.take(std::move(command));
            }
        }
        if (stopping) {
            carrier.stopAll();
            break;
        }
        carrier.work();
        curl_multi_poll(multi, nullptr, 0, carrier.sleepMs(), nullptr);
    }
}

} // namespace velmora
