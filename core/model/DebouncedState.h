#pragma once

#include "platform/async/Cancellable.h"
#include "platform/async/Result.h"
#include "platform/async/Stream.h"

#include <QTimer>

#include <chrono>
#include <memory>
#include <utility>

namespace velmora {

// View state that keeps two copies of one value: `currentValue`, as the view last
// wrote it, and `debouncedValue`, which follows it only once it has stayed unchanged
// for `delay`. A view writes the first on every user action and reacts to the
// second, so a burst of actions leads to one reaction (the calendar, with 0.3 s).
//
// Every write of `currentValue`, also of an equal value, starts the delay again;
// when it passes, the latest value is written to `debouncedValue` (also when equal
// to the old one). The initial value is written once as well, one delay after
// construction. Each write of either value is announced on its stream after it is
// stored. Main thread only (the delay runs on the thread's event loop); the object
// has identity and is neither copied nor moved.
template <typename T> class DebouncedState {
public:
    DebouncedState(T initial, std::chrono::milliseconds delay)
        : m_current(initial), m_debounced(std::move(initial)), m_delay(delay) {
        m_timer.setSingleShot(true);
        // A coarse timer may fire up to 5 % early, which would cut a burst short.
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(delay);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { setDebouncedValue(m_current); });
        m_timer.start();
    }

    DebouncedState(const DebouncedState&) = delete;
    DebouncedState& operator=(const DebouncedState&) = delete;

    std::chrono::milliseconds delay() const { return m_delay; }

    const T& currentValue() const { return m_current; }
    void setCurrentValue(T value) {
        m_current = std::move(value);
        m_timer.start();
        m_currentChanges.send(m_current);
        m_changes.send(Void{});
    }

    const T& debouncedValue() const { return m_debounced; }
    void setDebouncedValue(T value) {
        m_debounced = std::move(value);
        m_debouncedChanges.send(m_debounced);
        m_changes.send(Void{});
    }

    // True while a written value waits for its delay to pass.
    bool isPending() const { return m_timer.isActive(); }

    // Every write of `currentValue`, with the value written.
    Stream<T> currentValueChanges() const { return m_currentChanges.stream(); }
    // Every write of `debouncedValue`, with the value written.
    Stream<T> debouncedValueChanges() const { return m_debouncedChanges.stream(); }
    // Every write of either value: what a view watches to redraw.
    Stream<Void> changes() const { return m_changes.stream(); }

private:
    T m_current;
    T m_debounced;
    std::chrono::milliseconds m_delay;
    QTimer m_timer;
    PassthroughSubject<T> m_currentChanges;
    PassthroughSubject<T> m_debouncedChanges;
    PassthroughSubject<Void> m_changes;
};

} // namespace velmora
