#pragma once

#include "platform/async/ManualSchedule.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace velmora {

// A moment on the clock that counts from this machine's start, suspended time
// included: neither the user nor the network time service moves it. Moments of two
// boots (told apart by the boot's id) cannot be compared.
struct BootTime {
    QByteArray boot;
    qint64 msecs = 0;

    bool sameBoot(const BootTime& other) const { return !boot.isEmpty() && boot == other.boot; }
    friend bool operator==(const BootTime&, const BootTime&) = default;
};

// The source of boot-clock moments wherever a span must hold whatever the wall clock
// does (how long a booking may still arrive). Tests move a clock of their own.
class BootClock {
public:
    virtual ~BootClock() = default;
    virtual BootTime now() const = 0;

    // Runs `work` on `context`'s thread once `delay` has passed on this clock; nothing
    // runs when `context` is gone by then. The system's clock uses a timer, which the
    // wall clock does not move either.
    virtual void callAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work) {
        QTimer::singleShot(delay, context, std::move(work));
    }

    // CLOCK_BOOTTIME with the kernel's id of this boot.
    static std::shared_ptr<BootClock> system();
};

class SystemBootClock final : public BootClock {
public:
    BootTime now() const override {
        timespec spec{};
        ::clock_gettime(CLOCK_BOOTTIME, &spec);
        return BootTime{bootId(), static_cast<qint64>(spec.tv_sec) * 1000 + spec.tv_nsec / 1'000'000};
    }

    // The kernel's id of this boot, read once; without it (no /proc) a per-process one,
    // so a moment of another run is never taken for one of this boot.
    static QByteArray bootId() {
        static const QByteArray id = [] {
            QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
            QByteArray read;
            if (file.open(QIODevice::ReadOnly)) {
                read = file.read(64).trimmed();
            }
            if (read.isEmpty()) {
                read = "process-" + QByteArray::number(static_cast<qint64>(::time(nullptr))) + "-" +
                       QByteArray::number(reinterpret_cast<quintptr>(&file));
            }
            return read;
        }();
        return id;
    }
};

inline std::shared_ptr<BootClock> BootClock::system() {
    static const auto clock = std::make_shared<SystemBootClock>();
    return clock;
}

// A boot clock that moves only when told to, and can be made to start a new boot.
// Work scheduled with callAfter runs from within advance() once due; a new boot drops
// nothing (timers of a run that rebooted are of no concern to a test).
class ManualBootClock final : public BootClock {
public:
    explicit ManualBootClock(BootTime start = BootTime{"test-boot", 1'000'000}) : m_now(std::move(start)) {}

    BootTime now() const override {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    void callAfter(std::chrono::milliseconds delay, QObject* context, std::function<void()> work) override {
        m_scheduled.add(now().msecs + delay.count(), context, std::move(work));
    }
    void advance(qint64 msecs) {
        {
            std::lock_guard lock(m_mutex);
            m_now.msecs += msecs;
        }
        m_scheduled.runDue([this] { return now().msecs; });
    }
    // The machine started again: another boot, counting from `msecs`.
    void reboot(const QByteArray& boot, qint64 msecs = 60'000) {
        std::lock_guard lock(m_mutex);
        m_now = BootTime{boot, msecs};
    }
    std::size_t scheduledCount() const { return m_scheduled.count(); }

private:
    mutable std::mutex m_mutex;
    BootTime m_now;
    ManualSchedule m_scheduled;
};

} // namespace velmora
