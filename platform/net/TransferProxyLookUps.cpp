#include "platform/net/TransferCarrier.h"

#include "platform/net/ProxyChoice.h"

#include <netdb.h>
#include <sys/socket.h>

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora {

namespace {

// The look-ups of proxied targets, on a few threads of their own, in turn: a name that never
// answers holds one of them (its transfer ends at its connection's bound all the same), and a
// flood of requests through a proxy never starts a thread each.
class LookUps {
public:
    static constexpr int threads = 4;

    static LookUps& instance() {
        // Never destroyed: its threads live as long as the process, blocked in a look-up or waiting.
        static LookUps* const lookUps = new LookUps;
        return *lookUps;
    }

    void lookUp(QByteArray host, std::function<void(std::vector<QHostAddress>)> done) {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({std::move(host), std::move(done)});
        if (m_waiting == 0 && m_started < threads) {
            ++m_started;
            std::thread([this] { serve(); }).detach();
        } else {
            m_wake.notify_one();
        }
    }

private:
    struct Job {
        QByteArray host;
        std::function<void(std::vector<QHostAddress>)> done;
    };

    void serve() {
        pthread_setname_np(pthread_self(), "velmora-lookup");
        for (;;) {
            Job job;
            {
                std::unique_lock lock(m_mutex);
                ++m_waiting;
                m_wake.wait(lock, [this] { return !m_queue.empty(); });
                --m_waiting;
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            job.done(addressesOf(job.host));
        }
    }

    static std::vector<QHostAddress> addressesOf(const QByteArray& host) {
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
        return addresses;
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    int m_started = 0;
    int m_waiting = 0;
};

} // namespace

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
    const quint64 id = transfer.id;
    const int hop = transfer.hop;
    transfer.lookUpDeadline = SteadyClock::now() + std::min(order.connectTimeout, order.stallTimeout);
    LookUps::instance().lookUp(order.url.host().toUtf8(), [id, hop](std::vector<QHostAddress> addresses) {
        Command command;
        command.kind = Command::Kind::LookedUp;
        command.transfer = id;
        command.hop = hop;
        command.addresses = std::move(addresses);
        TransferThread::instance().post(std::move(command));
    });
    return false;
}

void TransferThread::Carrier::lookedUp(quint64 id, int hop, const std::vector<QHostAddress>& addresses) {
    const auto it = m_transfers.find(id);
    if (it != m_transfers.end() && it->second->hop == hop && !it->second->judged && !it->second->easy) {
        lookedUpNow(*it->second, addresses);
    }
}

void TransferThread::Carrier::lookedUpNow(Transfer& transfer, const std::vector<QHostAddress>& addresses) {
    transfer.lookUpDeadline.reset();
    if (addresses.empty()) {
        // A name this machine does not find, where only the proxy reaches out: judged by the
        // name alone (this machine's own names never go), and taken for the outside world,
        // which a redirect may not leave.
        const QString host = hostAsResolved(transfer.order.url.host());
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
