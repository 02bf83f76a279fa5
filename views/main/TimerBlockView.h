#pragma once

#include "state/TimerViewModel.h"
#include <QPointer>
#include <QWidget>

class QLabel;
class QToolButton;

namespace velmora {

class TimeEditFieldView;

// The timer at the foot of the sidebar: the tracked task's reference (a clock when
// there is none), the editable elapsed time and the buttons the timer's state
// allows: stop and pause while it runs, stop and continue while paused, none while
// idle. Stopping pauses the timer and lets the sidebar open the booking sheet.
class TimerBlockView : public QWidget {
    Q_OBJECT

public:
    static constexpr qreal cornerRadius = 10.0;

    explicit TimerBlockView(TimerViewModel& timer, QWidget* parent = nullptr);

    QLabel* referenceLabel() const { return m_reference; }
    // True while the clock shows in place of a reference.
    bool showsClock() const;
    TimeEditFieldView* timeField() const { return m_timeField; }
    QToolButton* stopButton() const { return m_stop; }
    QToolButton* pauseButton() const { return m_pause; }
    QToolButton* playButton() const { return m_play; }

    // The block's background: tertiary at half opacity in dark appearance, at a
    // fifth in light appearance.
    QColor backgroundColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refresh();
    void updateIcons();

    QPointer<TimerViewModel> m_timer;
    QLabel* m_reference = nullptr;
    QLabel* m_clock = nullptr;
    TimeEditFieldView* m_timeField = nullptr;
    QToolButton* m_stop = nullptr;
    QToolButton* m_pause = nullptr;
    QToolButton* m_play = nullptr;
};

} // namespace velmora
