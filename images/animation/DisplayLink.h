#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace velmora::images {

// A display-refresh timer: a precise timer on the main thread at the screen's refresh rate
// (60 Hz without a screen) that calls its action once per refresh and reports the time that
// really passed since the previous one. It fires only once added to a run-loop mode.
class DisplayLink : public QObject {
    Q_OBJECT

public:
    explicit DisplayLink(std::function<void(DisplayLink&)> action, QObject* parent = nullptr);
    ~DisplayLink() override;

    // Qt has one event loop and no modes: any non-empty mode lets the link fire.
    void addToRunLoop(const QString& mode);
    void removeFromRunLoop(const QString& mode);
    const QString& runLoopMode() const { return m_mode; }

    void start();
    void stop();
    bool isRunning() const { return m_timer.isActive(); }

    // Seconds per refresh: the measured time between the last two fires, else the refresh
    // period of the screen.
    double duration() const;
    static double refreshPeriod();

private:
    void fire();

    std::function<void(DisplayLink&)> m_action;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QString m_mode;
    double m_previousFireTime = 0;
    double m_duration = 0;
};

} // namespace velmora::images
