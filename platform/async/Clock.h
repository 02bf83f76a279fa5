#pragma once

#include <QDateTime>

#include <memory>
#include <mutex>

namespace velmora {

// The source of "now" wherever time decides behaviour (timer, rate limits, date
// ranges, cache expiry), so tests can set the time instead of waiting for it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;

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

// A clock that only moves when told to.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1'700'000'000)) : m_now(std::move(start)) {}

    QDateTime now() const override {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    void set(const QDateTime& now) {
        std::lock_guard lock(m_mutex);
        m_now = now;
    }
    void advance(qint64 msecs) {
        std::lock_guard lock(m_mutex);
        m_now = m_now.addMSecs(msecs);
    }

private:
    mutable std::mutex m_mutex;
    QDateTime m_now;
};

} // namespace velmora
