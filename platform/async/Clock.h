#pragma once

#include "platform/async/ManualSchedule.h"

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
        m_scheduled.add(now().addMSecs(delay.count()).toMSecsSinceEpoch(), context, std::move(work));
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
    std::size_t scheduledCount() const { return m_scheduled.count(); }

private:
    void runDue() {
        m_scheduled.runDue([this] { return now().toMSecsSinceEpoch(); });
    }

    mutable std::mutex m_mutex;
    QDateTime m_now;
    ManualSchedule m_scheduled;
};

} // namespace velmora
