#pragma once

#include <QDateTime>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {

// The source of "now" wherever time decides behaviour (timer, rate limits, date
// ranges, cache expiry), so tests can set the time instead of waiting for it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;

    // Runs `work` on `context`'s thread once `delay` has passed on this clock; nothing
    // runs when `context` is gone by then. The wall clock uses a timer; a test clock
    // runs it when the test moves its time past the point.
    virtual void callAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work) {
        QTimer::singleShot(delay, context, std::move(work));
    }

    // The process-wide wall clock.
    static std::shared_ptr<Clock> system();
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

inline std::shared_ptr<Clock> Clock::system() {
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

// A clock that only moves when told to. Work scheduled with callAfter runs when the
// clock is moved to or past its time, in the order of those times, from within set()
// or advance() (queued instead when its context lives on another thread).
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1'700'000'000))
        : m_now(std::move(start)) {}

    QDateTime now() const override {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    void callAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work) override {
        std::lock_guard lock(m_mutex);
        m_scheduled.push_back({m_now.addMSecs(delay.count()), m_nextOrder++, context, std::move(work)});
    }
    void set(const QDateTime& now) {
        {
            std::lock_guard lock(m_mutex);
            m_now = now;
        }
        runDue();
    }
    void advance(qint64 msecs) {
        {
            std::lock_guard lock(m_mutex);
            m_now = m_now.addMSecs(msecs);
        }
        runDue();
    }
    // Work scheduled and not yet run.
    std::size_t scheduledCount() const {
        std::lock_guard lock(m_mutex);
        return m_scheduled.size();
    }

private:
    struct Scheduled {
        QDateTime due;
        quint64 order;
        QPointer<QObject> context;
        std::function<void()> work;
    };

    void runDue() {
        for (;;) {
            Scheduled next;
            {
                std::lock_guard lock(m_mutex);
                auto found = m_scheduled.end();
                for (auto it = m_scheduled.begin(); it != m_scheduled.end(); ++it) {
                    if (it->due <= m_now && (found == m_scheduled.end() || it->due < found->due ||
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

    mutable std::mutex m_mutex;
    QDateTime m_now;
    std::vector<Scheduled> m_scheduled;
    quint64 m_nextOrder = 0;
};

} // namespace velmora
