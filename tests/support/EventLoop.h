#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include "tests/support/TimeScale.h"

#include <functional>

namespace velmora::test {

// Spins the event loop until `done` holds or the time runs out; says which. The time is
// stretched by the run's time scale: waiting longer for an event that comes costs nothing.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(scaledMs(timeoutMs));
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        if (!done()) {
            QThread::msleep(1);
        }
    }
    return true;
}

// Lets queued deliveries run without waiting for anything in particular.
inline void drainEvents(int rounds = 5) {
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents();
    }
}

} // namespace velmora::test
