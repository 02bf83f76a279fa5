#include "platform/net/TransferCarrier.h"

#include "platform/net/SessionConfiguration.h"
#include "platform/net/TrustStore.h"

#include <sys/socket.h>

#include <algorithm>

namespace velmora {

namespace {

// Idle connections the multi handle keeps for all callers together; each caller keeps to its
// own hosts' share of them.
constexpr long idleConnectionsKept = 32;

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

} // namespace

// The tracker's use of connections: a host holds at most six (as browsers keep), all hosts
// together 48, and any host may keep one idle (a user has a few trackers) for as long as its
// server keeps it: the read after a pause (the sheet's, seconds after the timer's Stop) pays no
// new connection. Writes never go on a kept connection.
std::shared_ptr<const ConnectionUse> trackerConnections() {
    // Never destroyed: the transfer thread may still ask for it as the process exits.
    static const auto* const use = [] {
        ConnectionUse trackers;
        trackers.hostsKeptAlive = trackers.inAll;
        trackers.serverKeeps = ConnectionUse::ServerKeeps{};
        return new std::shared_ptr<const ConnectionUse>(std::make_shared<const ConnectionUse>(trackers));
    }();
    return *use;
}

TransferThread::Carrier::Carrier(CURLM* multi) : m_multi(multi) {
    // Each caller's caps are held here, transfer by transfer; the multi handle only bounds
    // the idle connections it keeps for all of them.
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, idleConnectionsKept);
    current = this;
}

TransferThread::Carrier::~Carrier() {
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

void TransferThread::Carrier::take(Command command) {
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
    transfer.ahead = transfer.order.openAheadOnly;
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

void TransferThread::Carrier::work() {
    closeAgedConnections(SteadyClock::now());
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
    pumpDirectTransfers();
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
}

int TransferThread::Carrier::sleepMs() const {
    auto next = SteadyClock::time_point::max();
    for (const auto& [id, transfer] : m_transfers) {
        next = std::min(next, transfer->resourceDeadline);
        next = std::min(next, transfer->lastProgress + transfer->order.stallTimeout);
        for (const auto& deadline : {transfer->headDeadline, transfer->lookUpDeadline}) {
            if (deadline) {
                next = std::min(next, *deadline);
            }
        }
    }
    for (const auto& [use, client] : m_clients) {
        for (const auto& [socket, idle] : client.idle) {
            next = std::min(next, idle.closesAt);
        }
    }
    if (next == SteadyClock::time_point::max()) {
        return 60000;
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - SteadyClock::now()).count() + 1;
    return static_cast<int>(std::clamp<qint64>(wait, 0, 60000));
}

void TransferThread::Carrier::stopAll() {
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

std::optional<QString> TransferThread::Carrier::lateness(const Transfer& transfer, SteadyClock::time_point now) {
    if (now >= transfer.resourceDeadline) {
        return QStringLiteral("the request did not end in time");
    }
    if (now - transfer.lastProgress >= transfer.order.stallTimeout) {
        return QStringLiteral("nothing arrived for a while");
    }
    if (transfer.headDeadline && now >= *transfer.headDeadline) {
        return QStringLiteral("the answer's head did not end");
    }
    if (transfer.lookUpDeadline && now >= *transfer.lookUpDeadline) {
        return QStringLiteral("the target's name was not found in time");
    }
    return std::nullopt;
}

QString TransferThread::Carrier::hostOf(const QUrl& url) {
    return url.scheme().toLower() + QLatin1Char(':') + url.host().toLower() + QLatin1Char(':') +
           QString::number(url.port(-1));
}

TransferThread::Carrier::Client& TransferThread::Carrier::clientOf(const Transfer& transfer) {
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

bool TransferThread::Carrier::place(Transfer& transfer) {
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

void TransferThread::Carrier::unplace(Transfer& transfer) {
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

void TransferThread::Carrier::admit() {
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

bool TransferThread::Carrier::hasTransfers(const ConnectionUse* use) const {
    return std::any_of(m_transfers.begin(), m_transfers.end(),
                       [use](const auto& entry) { return entry.second->order.connections.get() == use; });
}

void TransferThread::Carrier::forget(const ConnectionUse* use) {
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

void TransferThread::Carrier::beginHop(Transfer& transfer) {
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
    if (takeAhead(transfer)) {
        return;
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

void TransferThread::Carrier::dropHop(Transfer& transfer, bool done) {
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
            const HttpHeaders said = transfer.head ? transfer.head->headers() : HttpHeaders();
            m_clients.at(transfer.order.connections.get()).idle[socket] =
                Idle{SteadyClock::now() + transfer.order.connections->idleAgeAfter(said),
                     route(remote, remotePort, localPort)};
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

void TransferThread::Carrier::end(quint64 id, TransferEnd how, bool tell) {
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

void TransferThread::Carrier::hopDone(Transfer& transfer, CURLcode result) {
    if (transfer.ahead) {
        aheadConnected(transfer, result);
        return;
    }
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

} // namespace velmora
