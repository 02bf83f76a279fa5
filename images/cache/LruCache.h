#pragma once

#include <QHash>
#include <QString>

#include <atomic>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora::images {

namespace detail {
// Qt 6.4's string hash runs 256-bit AES instructions and returns without clearing the upper halves
// of the vector registers, so every 128-bit instruction after it pays a state-transition penalty:
// measured, a hit cost eight times a QCache lookup. Clearing them once after hashing removes that.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx"))) inline void clearUpperVectorStateWithAvx() {
    __builtin_ia32_vzeroupper();
}
inline void clearUpperVectorState() {
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) {
        clearUpperVectorStateWithAvx();
    }
}
#else
inline void clearUpperVectorState() {}
#endif

// Entries are looked up far more often than anything else happens, and every critical section is a
// few pointer moves: a lock that costs one atomic exchange beats a full mutex here.
class SpinLock {
public:
    void lock() {
        for (int spins = 0;; ++spins) {
            if (!m_locked.exchange(true, std::memory_order_acquire)) {
                return;
            }
            while (m_locked.load(std::memory_order_relaxed)) {
                if (++spins > 64) {
                    std::this_thread::yield();
                }
            }
        }
    }
    void unlock() { m_locked.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_locked{false};
};
} // namespace detail

// A thread-safe key-to-value store that keeps the most recently used entries within a total cost
// and a count (0 = no limit). Reading an entry makes it the most recent; when a limit is passed the
// least recent entries go first. Evicted values are released after the lock is let go, so a value
// whose destruction is costly never stalls other threads.
template <typename Value> class LruCache {
public:
    std::optional<Value> object(const QString& key) {
        std::lock_guard lock(m_mutex);
        const auto found = m_index.constFind(key);
        detail::clearUpperVectorState();
        if (found == m_index.constEnd()) {
            return std::nullopt;
        }
        if (found.value() != m_entries.begin()) {
            m_entries.splice(m_entries.begin(), m_entries, found.value());
        }
        return found.value()->value;
    }

    bool contains(const QString& key) const {
        std::lock_guard lock(m_mutex);
        return m_index.contains(key);
    }

    void insert(const QString& key, Value value, quint64 cost) {
        std::vector<Value> evicted;
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_index.constFind(key);
            if (found != m_index.constEnd()) {
                const auto entry = found.value();
                m_totalCost -= entry->cost;
                evicted.push_back(std::move(entry->value));
                entry->value = std::move(value);
                entry->cost = cost;
                m_totalCost += cost;
                m_entries.splice(m_entries.begin(), m_entries, entry);
            } else {
                m_entries.push_front(Entry{key, std::move(value), cost});
                m_index.insert(key, m_entries.begin());
                m_totalCost += cost;
            }
            trim(evicted);
        }
    }

    void remove(const QString& key) {
        std::optional<Value> removed;
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_index.constFind(key);
            if (found == m_index.constEnd()) {
                return;
            }
            const auto entry = found.value();
            m_index.erase(found);
            m_totalCost -= entry->cost;
            removed = std::move(entry->value);
            m_entries.erase(entry);
        }
    }

    void clear() {
        std::list<Entry> removed;
        {
            std::lock_guard lock(m_mutex);
            removed.swap(m_entries);
            m_index.clear();
            m_totalCost = 0;
        }
    }

    void setTotalCostLimit(quint64 limit) {
        std::vector<Value> evicted;
        std::lock_guard lock(m_mutex);
        m_totalCostLimit = limit;
        trim(evicted);
    }

    void setCountLimit(quint64 limit) {
        std::vector<Value> evicted;
        std::lock_guard lock(m_mutex);
        m_countLimit = limit;
        trim(evicted);
    }

    quint64 totalCostLimit() const {
        std::lock_guard lock(m_mutex);
        return m_totalCostLimit;
    }
    quint64 countLimit() const {
        std::lock_guard lock(m_mutex);
        return m_countLimit;
    }
    quint64 totalCost() const {
        std::lock_guard lock(m_mutex);
        return m_totalCost;
    }
    quint64 count() const {
        std::lock_guard lock(m_mutex);
        return m_entries.size();
    }

private:
    struct Entry {
        QString key;
        Value value;
        quint64 cost = 0;
    };

    bool overLimit() const {
        return (m_totalCostLimit != 0 && m_totalCost > m_totalCostLimit) ||
               (m_countLimit != 0 && m_entries.size() > m_countLimit);
    }

    // Called with the lock held; the caller releases `evicted` once it has let the lock go.
    void trim(std::vector<Value>& evicted) {
        while (!m_entries.empty() && overLimit()) {
            auto& last = m_entries.back();
            m_index.remove(last.key);
            m_totalCost -= last.cost;
            evicted.push_back(std::move(last.value));
            m_entries.pop_back();
        }
    }

    mutable detail::SpinLock m_mutex;
    std::list<Entry> m_entries; // most recent first
    QHash<QString, typename std::list<Entry>::iterator> m_index;
    quint64 m_totalCost = 0;
    quint64 m_totalCostLimit = 0;
    quint64 m_countLimit = 0;
};

} // namespace velmora::images
