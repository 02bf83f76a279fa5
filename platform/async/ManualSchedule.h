#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora {

// The work a test clock holds until its time is moved past the moment it is due: each
// piece runs once, in the order of those moments (and of scheduling, for equal ones),
// on its context's thread, and not at all once the context is gone. Moments are plain
// milliseconds on whichever scale the clock keeps. Thread-safe.
class ManualSchedule {
public:
    void add(qint64 due, QObject* context, std::function<void()> work) {
        std::lock_guard lock(m_mutex);
        m_scheduled.push_back({due, m_nextOrder++, context, std::move(work)});
    }

    // Runs what is due at `now`, including what the work run schedules for then.
    void runDue(const std::function<qint64()>& now) {
        for (;;) {
            Scheduled next;
            {
                std::lock_guard lock(m_mutex);
                const qint64 current = now();
                auto found = m_scheduled.end();
                for (auto it = m_scheduled.begin(); it != m_scheduled.end(); ++it) {
                    if (it->due <= current && (found == m_scheduled.end() || it->due < found->due ||
                                               (it->due == found->due && it->order < found->order))) {
                        found = it;
                    }
                }
                if (found == m_scheduled.end()) {
                    return;
                }
                next = std::move(*found);
                m_scheduled.erase(found);
            }
            // Run without the lock: the work may read the clock or schedule more.
            if (next.context) {
                QMetaObject::invokeMethod(next.context.data(), std::move(next.work), Qt::AutoConnection);
            }
        }
    }

    std::size_t count() const {
        std::lock_guard lock(m_mutex);
        return m_scheduled.size();
    }

private:
    struct Scheduled {
        qint64 due = 0;
        quint64 order = 0;
        QPointer<QObject> context;
        std::function<void()> work;
    };

    mutable std::mutex m_mutex;
    std::vector<Scheduled> m_scheduled;
    quint64 m_nextOrder = 0;
};

} // namespace velmora
