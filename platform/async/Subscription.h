#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace velmora {

// The shared state of one subscribed operation chain. Every stage of the chain
// registers what must happen when the chain is cancelled (abort a network reply,
// stop a timer) and drops that hook once its own work is finished.
class Subscription {
public:
    using HookId = unsigned long;

    bool isCancelled() const {
        std::lock_guard lock(m_mutex);
        return m_cancelled;
    }

    // Runs `hook` on cancellation; at once when the chain is already cancelled.
    HookId onCancel(std::function<void()> hook) {
        {
            std::lock_guard lock(m_mutex);
            if (!m_cancelled) {
                const HookId id = ++m_nextId;
                m_hooks.emplace(id, std::move(hook));
                return id;
            }
        }
        hook();
        return 0;
    }

    void removeHook(HookId id) {
        std::lock_guard lock(m_mutex);
        m_hooks.erase(id);
    }

    void cancel() {
        std::map<HookId, std::function<void()>> hooks;
        {
            std::lock_guard lock(m_mutex);
            if (m_cancelled) {
                return;
            }
            m_cancelled = true;
            hooks.swap(m_hooks);
        }
        for (auto& [id, hook] : hooks) {
            hook();
        }
    }

private:
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    HookId m_nextId = 0;
    std::map<HookId, std::function<void()>> m_hooks;
};

using SubscriptionPtr = std::shared_ptr<Subscription>;

} // namespace velmora
