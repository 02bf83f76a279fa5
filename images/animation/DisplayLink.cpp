#include "images/animation/DisplayLink.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace velmora::images {

DisplayLink::DisplayLink(std::function<void(DisplayLink&)> action, QObject* parent)
    : QObject(parent), m_action(std::move(action)) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DisplayLink::fire);
}

DisplayLink::~DisplayLink() {
    m_timer.stop();
}

double DisplayLink::refreshPeriod() {
    const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                                ? QGuiApplication::primaryScreen()
                                : nullptr;
    const double rate = screen ? screen->refreshRate() : 0.0;
    return (std::isfinite(rate) && rate > 0) ? 1.0 / rate : 1.0 / 60.0;
}

void DisplayLink::addToRunLoop(const QString& mode) {
    if (!mode.isNull()) {
        m_mode = mode;
    }
}

void DisplayLink::removeFromRunLoop(const QString& mode) {
    if (!mode.isNull()) {
        m_mode.clear();
    }
}

void DisplayLink::start() {
    m_previousFireTime = 0;
    m_duration = 0;
    m_clock.start();
    m_timer.start(std::max(1, int(std::lround(refreshPeriod() * 1000.0))));
}

void DisplayLink::stop() {
    m_timer.stop();
    m_previousFireTime = 0;
    m_duration = 0;
}

double DisplayLink::duration() const {
    return m_duration > 0 ? m_duration : refreshPeriod();
}

void DisplayLink::fire() {
    if (m_mode.isEmpty()) {
        return;
    }
    const double now = double(m_clock.nsecsElapsed()) / 1e9;
    m_duration = now - m_previousFireTime;
    m_previousFireTime = now;
    if (m_action) {
        m_action(*this);
    }
}

} // namespace velmora::images
