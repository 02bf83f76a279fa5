#include "platform/net/TransferCarrier.h"

#include <sys/socket.h>

#include <cerrno>

namespace velmora {

std::chrono::milliseconds ConnectionUse::idleAgeAfter(const HttpHeaders& headers) const {
    if (!serverKeeps) {
        return idleAge;
    }
    // "timeout=N" among the parameters of each Keep-Alive line; the shortest said counts.
    std::optional<qint64> said;
    for (const auto& [name, value] : headers) {
        if (name.trimmed().compare("Keep-Alive", Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const QByteArray& parameter : value.split(',')) {
            const qsizetype equals = parameter.indexOf('=');
            bool number = false;
            const qint64 seconds = parameter.mid(equals + 1).trimmed().toLongLong(&number);
            if (equals > 0 && number && seconds >= 0 &&
                parameter.left(equals).trimmed().compare("timeout", Qt::CaseInsensitive) == 0) {
                said = std::min(said.value_or(seconds), seconds);
            }
        }
    }
    if (!said) {
        return std::min(serverKeeps->unsaid, serverKeeps->most);
    }
    // A second short of the server's time: its close and this side's next read do not cross.
    const qint64 most = serverKeeps->most.count();
    return std::chrono::seconds(std::max<qint64>(0, std::min(*said, most + 1) - 1));
}

QByteArray TransferThread::Carrier::route(const char* remote, long remotePort, long localPort) {
    return QByteArray(remote ? remote : "") + ' ' + QByteArray::number(qint64(remotePort)) + ' ' +
           QByteArray::number(qint64(localPort));
}

bool TransferThread::Carrier::keepAlive(Transfer& transfer) {
    Client& client = clientOf(transfer);
    const ConnectionUse& use = *transfer.order.connections;
    const auto now = SteadyClock::now();
    std::erase_if(client.keptAlive, [&](const auto& entry) {
        return entry.second.running == 0 && now - entry.second.lastUsed > use.longestIdleAge();
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

void TransferThread::Carrier::closeAgedConnections(SteadyClock::time_point now) {
    for (auto& [use, client] : m_clients) {
        std::erase_if(client.idle, [&](const auto& entry) {
            if (now < entry.second.closesAt) {
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

curl_socket_t TransferThread::Carrier::onOpenSocket(void* context, curlsocktype purpose, curl_sockaddr* address) {
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

int TransferThread::Carrier::onCloseSocket(void* context, curl_socket_t socket) {
    auto& carrier = *static_cast<Carrier*>(context);
    for (auto& [use, client] : carrier.m_clients) {
        client.idle.erase(socket);
    }
    return ConnectionReuse::closeSocket(socket);
}

int TransferThread::Carrier::onPrerequest(void* context, char* connectedIp, char*, int connectedPort, int localPort) {
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

} // namespace velmora
