#pragma once

#include "state/TimerViewModel.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace velmora {

// Calls `tick` each time a running timer's elapsed time reaches a whole multiple of
// `unitSeconds`, which is when a clock text ending in that unit changes, and also at
// once whenever the timer changes state or duration. It wakes only for those moments
// (one scheduled call on the timer's clock at a time) and not at all while the timer
// does not run. Main thread only.
class ElapsedTicker : public QObject {
public:
    ElapsedTicker(TimerViewModel& timer, int unitSeconds, std::function<void()> tick,
                  QObject* parent = nullptr);

private:
    // Schedules the call at the next whole unit, dropping any earlier one.
    void schedule();
    void onScheduled(quint64 generation, long long unitIndex);
    long long unitIndex() const;

    QPointer<TimerViewModel> m_timer;
    int m_unitSeconds;
    std::function<void()> m_tick;
    // A call scheduled before the last change is stale when it comes.
    quint64 m_generation = 0;
};

} // namespace velmora
