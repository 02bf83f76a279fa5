#include "state/ElapsedTicker.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace velmora {

ElapsedTicker::ElapsedTicker(TimerViewModel& timer, int unitSeconds, std::function<void()> tick,
                             QObject* parent)
    : QObject(parent), m_timer(&timer), m_unitSeconds(std::max(unitSeconds, 1)), m_tick(std::move(tick)) {
    auto changed = [this] {
        m_tick();
        schedule();
    };
    connect(&timer, &TimerViewModel::stateChanged, this, changed);
    connect(&timer, &TimerViewModel::durationChanged, this, changed);
    schedule();
}

long long ElapsedTicker::unitIndex() const {
    return static_cast<long long>(std::floor(m_timer->elapsed() / m_unitSeconds));
}

void ElapsedTicker::schedule() {
    const quint64 generation = ++m_generation;
    if (!m_timer || m_timer->state() != TimerViewModel::State::active) {
        return;
    }
    // The elapsed time counts in whole milliseconds: wait until the next whole unit
    // has been reached, not a moment less.
    const double elapsed = m_timer->elapsed();
    const long long index = static_cast<long long>(std::floor(elapsed / m_unitSeconds));
    const double next = static_cast<double>(index + 1) * m_unitSeconds;
    const auto delay =
        std::chrono::milliseconds(std::max<long long>(1, std::llround(std::ceil((next - elapsed) * 1000))));
    m_timer->clock()->callAfter(delay, this, [this, generation, index] { onScheduled(generation, index); });
}

void ElapsedTicker::onScheduled(quint64 generation, long long index) {
    if (generation != m_generation || !m_timer) {
        return;
    }
    // A timer that fired early (a coarse one may) waits for the rest.
    if (unitIndex() > index) {
        m_tick();
    }
    schedule();
}

} // namespace velmora
