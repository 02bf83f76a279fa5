#include "platform/notifications/NotificationCenter.h"

#include <QPointer>

#include <map>
#include <mutex>
#include <vector>

namespace velmora {

struct NotificationCenter::State {
    struct Entry {
        QString name;
        std::shared_ptr<Observer> observer;
        bool hasContext = false;
        QPointer<QObject> context;
    };

    mutable std::mutex mutex;
    std::map<unsigned long, Entry> entries;
    unsigned long nextId = 0;
};

NotificationCenter::NotificationCenter() : m_state(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: tokens held by objects that outlive main() may still cancel.
    static auto* center = new NotificationCenter;
    return *center;
}

Cancellable NotificationCenter::addObserver(const QString& name, Observer observer) {
    return addObserver(name, nullptr, std::move(observer));
}

Cancellable NotificationCenter::addObserver(const QString& name, QObject* context, Observer observer) {
    if (!observer) {
        return Cancellable();
    }
    unsigned long id;
    {
        std::lock_guard lock(m_state->mutex);
        id = ++m_state->nextId;
        State::Entry entry;
        entry.name = name;
        entry.observer = std::make_shared<Observer>(std::move(observer));
        entry.hasContext = context != nullptr;
        entry.context = context;
        m_state->entries.emplace(id, std::move(entry));
    }
    std::weak_ptr<State> weak = m_state;
    return Cancellable([weak, id] {
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            state->entries.erase(id);
        }
    });
}

void NotificationCenter::post(const QString& name, std::any object) {
    const Notification notification{name, std::move(object)};
    std::vector<std::pair<unsigned long, std::shared_ptr<Observer>>> targets;
    {
        std::lock_guard lock(m_state->mutex);
        for (auto it = m_state->entries.begin(); it != m_state->entries.end();) {
            if (it->second.hasContext && !it->second.context) {
                it = m_state->entries.erase(it);
                continue;
            }
            if (it->second.name == name) {
                targets.emplace_back(it->first, it->second.observer);
            }
            ++it;
        }
    }
    for (const auto& [id, observer] : targets) {
        {
            std::lock_guard lock(m_state->mutex);
            const auto it = m_state->entries.find(id);
            // Removed by an earlier observer of this notice, or its context is gone.
            if (it == m_state->entries.end() || (it->second.hasContext && !it->second.context)) {
                continue;
            }
        }
        (*observer)(notification);
    }
}

std::size_t NotificationCenter::observerCount(const QString& name) const {
    std::lock_guard lock(m_state->mutex);
    std::size_t count = 0;
    for (const auto& [id, entry] : m_state->entries) {
        if (entry.name == name && (!entry.hasContext || entry.context)) {
            ++count;
        }
    }
    return count;
}

} // namespace velmora
