#include "platform/net/TransferCarrier.h"

#include "platform/net/ProxyChoice.h"

#include <netdb.h>
#include <sys/socket.h>

#include <thread>

namespace velmora {

bool TransferThread::Carrier::judgeThroughProxy(Transfer& transfer) {
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

void TransferThread::Carrier::lookedUp(quint64 id, int hop, const std::vector<QHostAddress>& addresses) {
    const auto it = m_transfers.find(id);
    if (it != m_transfers.end() && it->second->hop == hop && !it->second->judged && !it->second->easy) {
        lookedUpNow(*it->second, addresses);
    }
}

void TransferThread::Carrier::lookedUpNow(Transfer& transfer, const std::vector<QHostAddress>& addresses) {
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

} // namespace velmora
