#include "trackers/asana/AsanaRefreshCoordinator.h"

#include <optional>
#include <utility>

namespace velmora {

AsanaRefreshCoordinator& AsanaRefreshCoordinator::shared() {
    static AsanaRefreshCoordinator coordinator;
    return coordinator;
}

void AsanaRefreshCoordinator::reset() {
    std::lock_guard lock(m_mutex);
    m_exchanged.clear();
}

AsanaRefreshCoordinator::CredentialsPublisher
AsanaRefreshCoordinator::refresh(const QUuid& account, const QString& expiredToken,
                                 std::function<CredentialsPublisher()> exchange) {
    using Sink = std::function<void(Result<Credentials, APIError>)>;
    return CredentialsPublisher::create(
        [this, account, expiredToken, exchange](Sink sink) -> std::function<void()> {
            std::optional<Credentials> known;
            std::shared_ptr<Flight> flight;
            bool starts = false;
            std::uint64_t waiter = 0;
            {
                std::lock_guard lock(m_mutex);
                if (const auto it = m_exchanged.find(account);
                    it != m_exchanged.end() && it->second.fromToken == expiredToken) {
                    known = it->second.to;
                } else {
                    auto& slot = m_flights[account];
                    if (!slot) {
                        slot = std::make_shared<Flight>();
                        slot->fromToken = expiredToken;
                        starts = true;
                    }
                    flight = slot;
                    waiter = ++flight->nextWaiter;
                    flight->waiters.emplace(waiter, sink);
                }
            }
            if (known) {
                sink(Result<Credentials, APIError>::success(*known));
                return {};
            }
            if (starts) {
                Cancellable running =
                    exchange().subscribe([this, account, flight](Result<Credentials, APIError> result) {
                        finish(account, flight, std::move(result));
                    });
                std::lock_guard lock(m_mutex);
                if (flight->finished) {
                    running.detach();
                } else {
                    flight->running = std::move(running);
                }
            }
            std::weak_ptr<Flight> weakFlight = flight;
            return [this, weakFlight, waiter] {
                std::lock_guard lock(m_mutex);
                if (auto f = weakFlight.lock()) {
                    f->waiters.erase(waiter);
                }
            };
        });
}

void AsanaRefreshCoordinator::finish(const QUuid& account, const std::shared_ptr<Flight>& flight,
                                     Result<Credentials, APIError> result) {
    std::map<std::uint64_t, std::function<void(Result<Credentials, APIError>)>> waiters;
    Cancellable running;
    {
        std::lock_guard lock(m_mutex);
        flight->finished = true;
        if (const auto it = m_flights.find(account); it != m_flights.end() && it->second == flight) {
            m_flights.erase(it);
        }
        if (result.ok()) {
            m_exchanged[account] = Exchange{flight->fromToken, result.value()};
        }
        waiters.swap(flight->waiters);
        running = std::move(flight->running);
    }
    // The exchange has ended: let go of it without cancelling anything.
    running.detach();
    for (auto& [id, sink] : waiters) {
        sink(result);
    }
}

} // namespace velmora
